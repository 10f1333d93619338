// The process-wide globals, all in one translation unit so that they are constructed in this
// order and destroyed in reverse: the store connection is closed last, at process exit.
#include "base/globals.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/os_seam.h"
#include "store/leaves.h"

int OpenStandardDescriptors() {
    int opened = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (OsFcntl(fd, F_GETFD, 0) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one, as those below it are open by now. Left open
        // across exec: the shell's children expect their standard descriptors too.
        int got = OsOpen("/dev/null", O_RDWR | O_NOCTTY);
        if (got < 0) return opened;
        if (got != fd) {
            OsDup2(got, fd);
            OsClose(got);
        }
        opened++;
    }
    return opened;
}

static const int standardDescriptorsOpened = OpenStandardDescriptors();
toolkit::CCds api(pcd_init());
std::string leafpath;
toolkit::CElement value;
element_property_t property = {};
api_status_t retCode = LEAF_DONE;
int64_t globalSec = 0;
int globalMsec = 0;
char ppp1IpAddr[20] = "";
int vexDebug = 0;
const char* buildDate = __DATE__;
const char* buildTime = __TIME__;
