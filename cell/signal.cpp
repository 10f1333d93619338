// Signal level: the modem's AT+CSQ reading turned into dBm and bars and published, and the
// periodic status poll that the link watchdog runs on the aux port.
#include "cell/signal.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "serial/at_exchange.h"
#include "serial/text_utils.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"

namespace {

const int kCmdDelayUs = 100000;
const int kNoValuePauseUs = 100000;
const int kMaxBars = 5;

// CSQ 0..31 is a level; 99 means the modem does not know it.
const int kCsqMax = 31;
// Marks "no reading" in dBm; publishes as 0 bars and the floor of the dBm leaf.
const int kNoReadingDbm = -9999;
// The dBm leaf's range. CSQ 0 and 1 (-113, -111 dBm) both publish the floor; -50 and above, which
// CSQ cannot give, publish -51.
const int kDbmFloor = -111;
const int kDbmCeiling = -51;

}  // namespace

int ReadSigLevel(int fd, int* dBm, int* csq, char* rxBuf, int* bars) {
    // Until a pass reads a level the outputs say "no reading", so that the leaves and the callers'
    // traces get defined values also when the modem never answered.
    *dBm = kNoReadingDbm;
    *csq = 0;

    int status = NOT_OK;
    for (int pass = 0; pass < 2 && status != OK; ++pass) {
        if (SendCellModemCmd(fd, "AT+CSQ", 5, rxBuf, 1, kCmdDelayUs, "+CSQ:", 1) != OK) {
            status = NOT_OK;
            continue;
        }
        // "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n": the first number of the +CSQ: line is the level,
        // also when a "+CREG: 5" stands in front of it.
        char number[40];
        memset(number, 0, sizeof number);
        if (YankStrNumbers(AnswerValueStart(rxBuf, "AT+CSQ"), number, 20) == OK) {
            int level = LeadingDecimal(number);
            if (level <= kCsqMax) {
                *csq = level;
                *dBm = 2 * level - 113;
                status = OK;
            } else {
                *dBm = kNoReadingDbm;
                *csq = 0;
                status = NOT_OK;
            }
        } else {
            *dBm = kNoReadingDbm;
            OsUsleep(kNoValuePauseUs);
            *csq = 0;
            status = NOT_OK;
        }
    }

    *bars = WriteLeafSigLevel(*csq, kMaxBars, *dBm);
    return status;
}

int WriteLeafSigLevel(int csq, int maxBars, int dBm) {
    // Single precision on purpose: the bar limits of the table (4 -> 1 bar, 28 -> 5 bars) are
    // those of csq / 31.0f * maxBars rounded half away from zero.
    float scaled = static_cast<float>(csq) / 31.0f * static_cast<float>(maxBars);
    int bars = static_cast<int>(lroundf(scaled));
    if (bars > maxBars) bars = maxBars;
    WriteIntLeaf(bars, LEAF_CELL_SIGNAL_STRENGTH);

    if (dBm < kDbmFloor) dBm = kDbmFloor;
    if (dBm > kDbmCeiling) dBm = kDbmCeiling;
    WriteIntLeaf(dBm, LEAF_CELL_DB_LEVEL);
    return bars;
}

int UpdateCellStatus(int fd, char* rxBuf) {
    // No port yet (or the data line belongs to pppd): nothing to poll, and not a failure.
    if (fd < 0) return 1;

    int dBm, csq, bars;
    int status = ReadSigLevel(fd, &dBm, &csq, rxBuf, &bars);
    if (vexDebug) printf(" [sig %d dBm, %d bars", dBm, bars);
    fflush(stdout);
    return status;
}
