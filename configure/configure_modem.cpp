// The configuration pass run once at start-up: line speed, then either the analog set-up or the
// cellular sequence (rate detection with power cycles between attempts, ping answering, identity,
// port layout, one more power cycle) that ends with the data port handed to pppd.
#include "configure/configure_modem.h"

#include <termios.h>

#include <cstdio>

#include "base/globals.h"
#include "app/hw_reset.h"
#include "base/os_seam.h"
#include "cell/baud.h"
#include "cell/identity.h"
#include "cell/signal.h"
#include "configure/analog.h"
#include "serial/at_exchange.h"
#include "serial/port.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"
#include "supervision/ppp_control.h"

// Each failed attempt costs a power cycle of over a minute, so this is in effect "for ever".
int configAttemptLimit = 50000;
// The cellular modem is always driven at 115200 bps from the start, whatever the leaf says.
static const int kCellBaudIndex = 8;
static const int kPppChecks = 10;
static const unsigned int kOldPppExitSec = 10;
static const unsigned int kAttemptPauseSec = 2;
static const unsigned int kPortCfgRebootSec = 20;
static const unsigned int kPppFirstCheckSec = 3;
static const unsigned int kPppAddressSettleSec = 15;

static const char kRule48Dash[] = "------------------------------------------------";
static const char kRule69Dash[] =
    "---------------------------------------------------------------------";
static const char kRule41Dash[] = "-----------------------------------------";
static const char kRule66Star[] =
    "******************************************************************";

// Serial speed of each configured baud index. Index 7 repeats 57600 on purpose: the selector has
// no eighth rate of its own. Anything outside the table falls back to 9600.
static const speed_t kConfiguredRates[] = {B300,   B1200,  B2400,  B9600,  B19200,
                                           B38400, B57600, B57600, B115200};
static const int kConfiguredRateCount =
    static_cast<int>(sizeof kConfiguredRates / sizeof kConfiguredRates[0]);

static speed_t ConfiguredRate(int baudIndex) {
    if (baudIndex < 0 || baudIndex >= kConfiguredRateCount) return B9600;
    return kConfiguredRates[baudIndex];
}

static int SendOkCommand(int fd, const char* cmd, char* rxBuf, int reportFailures) {
    return SendCellModemCmd(fd, cmd, 1, rxBuf, 1, 100000, "OK", reportFailures);
}

// Finds the modem's rate and moves it to cellBaud, power-cycling the modem between attempts.
// Returns OK once a second detection right after the first one confirms the rate.
static int BringModemToCellBaud(int fd, char* rxBuf, int cellBaud) {
    int attempt = 0;
    for (;;) {
        if (vexDebug) {
            printf("\n\n%s  ", kRule69Dash);
            printf("\nCFG-CFG: Attempt %d out of %d) to configure cell modem data port", attempt,
                   configAttemptLimit);
            printf("\n%s  ", kRule69Dash);
        }
        ConfigModemPort(fd, B115200);
        if (SetCellBaud(fd, cellBaud, rxBuf) == OK) {
            // Nothing is sent to the modem between the two detections (no enhanced reset any
            // more); the second one confirms that the rate just set holds.
            if (vexDebug) {
                // Log texts kept whole so that they can be searched for.
                printf("\nCFG-CFG: Reset the cell modem with the awful AT#ENHRST command at 115200 bps. ");
                printf("\nCFG-CFG: TEST: *** DON'T Reset the cell modem with the awful AT#ENHRST command. *** ");
                printf("\nCFG-CFG: Now set cell baud again after that awful hardware reset ");
            }
            fflush(stdout);
            if (SetCellBaud(fd, cellBaud, rxBuf) == OK) return OK;
            if (vexDebug) {
                printf("\nCFG-CFG: *** cell failed configuration attempt #%d out of %d\n", attempt,
                       configAttemptLimit);
            }
            fflush(stdout);
        }
        RequestHwReset();
        attempt++;
        OsSleep(kAttemptPauseSec);
        if (attempt >= configAttemptLimit) {
            printf("\n%s", kRule66Star);
            printf("\nCFG-CFG: *** cell failed all configuration attempts (%d), exit ", attempt);
            printf("\n%s\n", kRule66Star);
            fflush(stdout);
            return NOT_OK;
        }
    }
}

// Turns on the modem's answer to pings and, when it accepted that, prints its identity.
static void EnablePingAndShowIdentity(int fd, char* rxBuf, int pingMode) {
    if (vexDebug) printf("\nCFG-CFG: enable ping code: %d", pingMode);
    char cmd[32];
    snprintf(cmd, sizeof cmd, "AT#ICMP=%d", pingMode);
    if (SendOkCommand(fd, cmd, rxBuf, 0) != OK) {
        if (vexDebug)
            printf("\nCFG-CFG: *** ERROR: failed ping configuration ***  rxbuf: %s", rxBuf);
        return;
    }

    printf("\nCFG-CFG: Cell modem comms OK ");
    printf("\n\n%s", kRule41Dash);
    char text[64] = "";
    ReadSimId(fd, text, rxBuf);
    printf("\n\n Sim ID: %s    ", text);
    ReadImei(fd, text, rxBuf);
    printf("\n IMEI: %s   ", text);
    ReadFwVersion(fd, text, rxBuf);
    printf("\n FW Ver: %s", text);
    int dBm = 0;
    int csq = 0;
    int bars = 0;
    ReadSigLevel(fd, &dBm, &csq, rxBuf, &bars);
    printf("\n Signal: %d dBm   bars:%d", dBm, bars);
    printf("\n%s\n", kRule41Dash);
}

// Sets the modem's port layout and power-cycles it so that the layout takes effect, then
// confirms the rate once more.
static void PreparePortsForPpp(int fd, char* rxBuf, int cellBaud) {
    SendOkCommand(fd, "AT+CMEE=2", rxBuf, 1);
    SendOkCommand(fd, "ATE1", rxBuf, 1);
    FlushRxData(fd);
    SendOkCommand(fd, "AT#PORTCFG=3", rxBuf, 1);
    RequestHwReset();
    OsSleep(kPortCfgRebootSec);
    if (SetCellBaud(fd, cellBaud, rxBuf) == OK) printf("\nCFG-CFG:Set baud after reboot");
}

// Hands the data port to pppd and waits for the link. Returns only once the link was seen up
// within the bring-up wait; ends the process when pppd is not running at all afterwards.
static void BringUpPpp(int* portFd, char* rxBuf, int cellBaud) {
    bool seenOnlyAtLastLook = false;
    for (;;) {
        if (*portFd != 0) {
            PreparePortsForPpp(*portFd, rxBuf, cellBaud);
            // pppd opens the data port itself; from here on the line is its own.
            OsClose(*portFd);
            *portFd = 0;
        }
        if (GeneratePPPChatScript() != 0) continue;
        // A link seen only at the last look is carried by the pppd that look found, its dial
        // answered late. A second pppd would open the port beside it (nothing locks the port:
        // the next pppd after a hang-up must not wait for the old one's lock) and drop DTR
        // before its chat runs, which hangs up the live call. While that pppd lives, this pass
        // only waits for it again.
        if (seenOnlyAtLastLook && CheckPPPDataConnection() == 0) {
            printf("\nCFG-HCE: pppd still running; no second pppd started");
        } else if (StartPPPDataConnection() != 0) {
            continue;
        }

        OsSleep(kPppFirstCheckSec);
        bool confirmed = false;
        for (int i = 0; i < kPppChecks && !confirmed; i++) {
            if (CheckPPPDataConnection() == 0) {
                confirmed = true;
            } else {
                OsSleep(1);
            }
        }
        if (CheckPPPDataConnection() != 0) {
            printf("\nCFG-HCE: PPP1 connection not up. Exiting");
            fflush(stdout);
            OsExit(1);
        }
        printf("\nCFG-HCE: PPP1 connection up");
        OsSleep(kPppAddressSettleSec);
        PublishPPP1IpAddr();
        if (confirmed) {
            printf("\nCFG-CFG: Successfully brought up PPP connection");
            return;
        }
        // Up only at the last look: it may not stay up, so go through the start-up again.
        seenOnlyAtLastLook = true;
    }
}

int ConfigureModem(int baudIndex, int modemType, int* portFd, char* rxBuf, int cellBaud,
                   int pingMode) {
    if (vexDebug) {
        printf("\n\n%s", kRule48Dash);
        printf("\n CFG-CFG: Start ConfigureModem ");
        printf("\n%s  ", kRule48Dash);
    }
    bool cellular = modemType > MODEM_ANALOG;
    if (cellular) {
        // A pppd left from an earlier run would hold the data port.
        StopPPPDataConnection();
        OsSleep(kOldPppExitSec);
        baudIndex = kCellBaudIndex;
    }

    if (*portFd < 0) {
        *portFd = OpenModemPort(CELL_DATA_PORT);
        if (*portFd == -1 && vexDebug) {
            printf("\nCFG-CFG: *** Failed to open serial port PSC7, fd:%d ***\n", *portFd);
        }
        fflush(stdout);
    }
    if (*portFd < 0) return NOT_OK;
    if (ConfigModemPort(*portFd, ConfiguredRate(baudIndex)) != 1) return NOT_OK;

    if (cellular) {
        if (BringModemToCellBaud(*portFd, rxBuf, cellBaud) != OK) return NOT_OK;
        EnablePingAndShowIdentity(*portFd, rxBuf, pingMode);
    }

    WriteIntLeaf(modemType, LEAF_CELL_MODEM_TYPE);
    if (modemType == MODEM_ANALOG) {
        // The analog modem answers calls on its own from here; its set-up result is only traced.
        SendModemCmd(*portFd);
        return OK;
    }
    // Every other type, "none" included, goes on to pppd: the rate attempts above are only for
    // a modem known to be cellular, but the data port is handed over whatever was detected.

    BringUpPpp(portFd, rxBuf, cellBaud);
    return OK;
}
