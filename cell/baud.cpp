// Baud-rate detection: after a power cycle the cellular modem may be at any of several line
// speeds, so find the one it answers at, then move it (and our end of the line) to the rate we run.
#include "cell/baud.h"

#include <stdio.h>
#include <string.h>
#include <termios.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "serial/at_exchange.h"
#include "serial/port.h"

namespace {

struct BaudProbe {
    unsigned int speed;    // termios B* constant, 0 ends the table
    const char* rateText;  // for the trace only
};

// 57600 and 115200 appear twice on purpose: they are where the modem almost always is, and a
// modem still booting after its reset may miss the first round. The second round buys it a few
// more seconds before we fall back to the slow rates. There is deliberately no 300, 19200 or
// 38400: the modem is never left at those.
const BaudProbe kBaudProbes[] = {
    {B57600, "57600"}, {B115200, "115200"}, {B57600, "57600"}, {B115200, "115200"},
    {B9600, "9600"},   {B2400, "2400"},     {B1200, "1200"},   {0, nullptr},
};

// A probe gives the modem 2 s to answer, far longer than an ordinary command: it may just be
// coming out of its reset.
const int kProbeDelayUs = 2000000;
const int kCmdDelayUs = 100000;

// One probe: "AT" at the port's current speed. A modem whose saved profile has echo off (ATE0
// kept by AT&W) answers "\r\nOK\r\n" without the echo an answer needs, at every power-up, so it
// would never be found and every attempt would power-cycle it again: turn its echo on and ask
// once more. The AT&W after the rate change then keeps echo on in the profile.
int Probe(int fd, char* rxBuf, int idx) {
    if (SendCellModemCmd(fd, "AT", 5, rxBuf, 1, kProbeDelayUs, "OK", 0) == OK) return OK;
    if (strstr(rxBuf, "OK") == nullptr || strstr(rxBuf, "AT") != nullptr) return NOT_OK;
    printf("\nCFG-SCB: idx:%d, %s bps: OK without the echo; echo turned on (ATE1)", idx,
           kBaudProbes[idx].rateText);
    fflush(stdout);
    SendCellModemCmd(fd, "ATE1", 1, rxBuf, 1, kCmdDelayUs, nullptr, 0);
    return SendCellModemCmd(fd, "AT", 5, rxBuf, 1, kProbeDelayUs, "OK", 0);
}

}  // namespace

int SetCellBaud(int fd, int rate, char* rxBuf) {
    if (vexDebug) printf("\nCFG-SCB: Detect current cell data rate & then set to 115200 bps\n ");
    fflush(stdout);

    SetCellPortTimeout(fd, 1);

    char iprCmd[24];
    snprintf(iprCmd, sizeof iprCmd, "AT+IPR=%d", rate);

    int found = 0;
    for (int idx = 0; kBaudProbes[idx].speed != 0; ++idx) {
        ConfigModemPort(fd, kBaudProbes[idx].speed);
        OsSleep(1);
        if (Probe(fd, rxBuf, idx) == OK) {
            if (vexDebug) {
                printf("\nCFG-SCB: found cell's current baud: idx:%d, %s bps. ", idx,
                       kBaudProbes[idx].rateText);
            }
            fflush(stdout);
            found = 1;
            break;
        }
        OsSleep(1);
    }

    if (!found) {
        if (vexDebug) printf("\nCFG-SCB: *** DIDN'T FIND CURRENT BAUD IN ANY SELECTION ***\n ");
        fflush(stdout);
        return NOT_OK;
    }

    // The modem switches after its OK, so the OK still comes at the old speed.
    int status = SendCellModemCmd(fd, iprCmd, 5, rxBuf, 1, kCmdDelayUs, "OK", 0);
    if (status == OK) {
        printf("\nCFG-SCB: cell modem set to %d bps.  \n", rate);
        fflush(stdout);
        // Our side knows only the two rates it ever runs at.
        ConfigModemPort(fd, rate == 115200 ? B115200 : B57600);
        // Store the rate in the modem's profile so it comes back at it after the next reset;
        // a modem that does not confirm still runs at the new rate, so that is not a failure.
        SendCellModemCmd(fd, "AT&W", 5, rxBuf, 1, kCmdDelayUs, "OK", 0);
    }
    fflush(stdout);
    return status;
}
