// The process-wide globals, all in one translation unit so that they are constructed in this
// order and destroyed in reverse: the store connection is closed last, at process exit.
#include "base/globals.h"

toolkit::CCds api(pcd_init());
std::string leafpath;
toolkit::CElement value;
element_property_t property = {};
api_status_t retCode = CDS_STATUS_OK;
int64_t globalSec = 0;
int globalMsec = 0;
char ppp1IpAddr[20] = "";
int vexDebug = 0;
const char* buildDate = __DATE__;
const char* buildTime = __TIME__;
