// The bounded, retried configuration sequence of the fitted modem.
#pragma once

// Returns OK when configured (a cellular modem's port is then handed to pppd and *portFd is 0),
// NOT_OK otherwise; ends the process with status 1 when pppd does not come up.
int ConfigureModem(int baudIndex, int modemType, int* portFd, char* rxBuf, int cellBaud,
                   int pingMode);

// The rate attempts made before the configuration gives up (50000). Only tests change it, to reach
// the end of the attempts without fifty thousand power cycles.
extern int configAttemptLimit;
