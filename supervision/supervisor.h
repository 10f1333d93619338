// The never-returning supervision state machine of a configured cellular modem.
#pragma once

enum HCM_STATE { HCM_OPEN_AUX_PORT = 0, HCM_SUPERVISE_PPP = 4 };

extern int supervisionState;

[[noreturn]] void HandleCellModem(int* portFd, char* rxBuf);
