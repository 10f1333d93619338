// What the process does for the rest of its life once a cellular modem is configured: an endless
// loop of passes about a second apart, opening the aux port first and then running one watchdog
// pass each time. Only the watchdog ends the process.
#include "supervision/supervisor.h"

#include <limits.h>
#include <stdio.h>
#include <termios.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "serial/port.h"
#include "supervision/watchdog.h"

int supervisionState = HCM_OPEN_AUX_PORT;

// Seconds between two clock readings, kept within int even across a stepped clock.
static int SecondsBetween(int earlier, int later) {
    long long d = static_cast<long long>(later) - earlier;
    if (d > INT_MAX) return INT_MAX;
    if (d < INT_MIN) return INT_MIN;
    return static_cast<int>(d);
}

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
    int previousPassTime = static_cast<int>(OsTime());
    ResetWatchdogCounters();

    for (;;) {
        OsSleep(1);
        int now = static_cast<int>(OsTime());
        // Grows over passes that leave previousPassTime, so a slow pass counts in full.
        int elapsed = SecondsBetween(previousPassTime, now);

        switch (supervisionState) {
        case HCM_OPEN_AUX_PORT:
            if (OpenAuxPort(portFd)) previousPassTime = now;
            break;
        case HCM_SUPERVISE_PPP:
            if (RunWatchdogPass(elapsed, now, portFd, rxBuf)) supervisionState = HCM_OPEN_AUX_PORT;
            previousPassTime = now;
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
