// Control of the pppd that runs the ppp1 link over the modem's data port.
#pragma once

// 0 when the pppd command line succeeded.
int StartPPPDataConnection();
// The pid from the pid file, -1 when it cannot be opened or read.
int GetCellModemPPPDataInterfacePid();
// SIGTERM to pppd; -1 when there is no valid pid, else kill's result.
int StopPPPDataConnection();
// 0 while pppd is alive; -1 otherwise.
int CheckPPPDataConnection();
// 0 when the chat-script generator succeeded.
int GeneratePPPChatScript();
