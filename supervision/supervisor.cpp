// What the process does for the rest of its life once a cellular modem is configured: an endless
// loop of passes about a second apart, opening the aux port first and then running one watchdog
// pass each time. Only the watchdog ends the process.
#include "supervision/supervisor.h"

#include <stdio.h>
#include <termios.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "serial/port.h"
#include "supervision/watchdog.h"

int supervisionState = HCM_OPEN_AUX_PORT;

// Returns 1 when the clock is to move to this pass (the aux port is usable or known absent).
static int OpenAuxPort(int* portFd) {
    // Only a stored 0 means "no port yet". After a failed open it holds -1 and the port is not
    // tried again: supervision goes on without status polls (they count as good on -1).
    if (*portFd == 0) {
        *portFd = OpenModemPort(CELL_AUX_PORT);
        if (*portFd < 0) return 0;
        ConfigModemPort(*portFd, B115200);
    }
    SetCellPortTimeout(*portFd, 1);
    supervisionState = HCM_SUPERVISE_PPP;
    return 1;
}

void HandleCellModem(int* portFd, char* rxBuf) {
    LoadWatchdogSettings();
    // Pass tops are read from the monotonic clock, so that a wall clock set forward or back
    // neither fires nor silences the watchdog; `now` is the wall clock, for the trace only.
    int previousPassTime = LowClockSeconds(OsMonotonicSeconds());
    ResetWatchdogCounters();

    for (;;) {
        OsSleep(1);
        int passTime = LowClockSeconds(OsMonotonicSeconds());
        int now = LowClockSeconds(OsTime());
        // Grows over passes that leave previousPassTime, so a slow pass counts in full.
        int elapsed = SecondsBetween(previousPassTime, passTime);

        switch (supervisionState) {
        case HCM_OPEN_AUX_PORT:
            if (OpenAuxPort(portFd)) previousPassTime = passTime;
            break;
        case HCM_SUPERVISE_PPP:
            if (RunWatchdogPass(elapsed, now, portFd, rxBuf)) supervisionState = HCM_OPEN_AUX_PORT;
            previousPassTime = passTime;
            break;
        default:
            if (vexDebug) {
                GetSystemTime();
                printf("\n\n%lld.%03d) CFG-HCE: **** HIT DEFAULT STATE **** ",
                       static_cast<long long>(globalSec), globalMsec);
                fflush(stdout);
            }
            supervisionState = HCM_OPEN_AUX_PORT;
            break;
        }
    }
}
