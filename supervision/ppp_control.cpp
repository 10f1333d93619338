// Placeholder until this module is built.
#include "supervision/ppp_control.h"
int StartPPPDataConnection() { return -1; }
int GetCellModemPPPDataInterfacePid() { return -1; }
int StopPPPDataConnection() { return -1; }
int CheckPPPDataConnection() { return -1; }
int GeneratePPPChatScript() { return -1; }
