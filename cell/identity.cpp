// Identity queries of the cellular modem: IMEI, SIM ID and firmware version. Each asks twice at
// most, falls back to a fixed placeholder when the modem answers without a value, and publishes
// what it has so that the store always shows the latest attempt.
#include "cell/identity.h"

#include <limits.h>
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

// The number buffer of a query: 40 characters and a terminator.
enum { NUMBER_BUF = 41, NUMBER_SIZE = 40 };
// Each half of the firmware version: 14 characters and a terminator.
enum { FW_PART_BUF = 16, FW_PART_SIZE = 15 };

const char kImeiUnknown[] = "IMEI Unknown";
const char kSimIdUnknown[] = "SIM ID unknown";
const char kFwVersionUnknown[] = "??.??.???";
const char kFwSuffixUnknown[] = "???";

// Copies at most maxChars characters of src into dst and terminates it.
void CopyBounded(char* dst, const char* src, size_t maxChars) {
    size_t n = strnlen(src, maxChars);
    memcpy(dst, src, n);
    dst[n] = 0;
}

struct NumberQuery {
    const char* cmd;
    int reportFailures;
    const char* placeholder;
    const char* notFoundMsg;  // printed each time an answer holds no number; null for none
    size_t maxChars;          // kept in the caller's output buffer
    const char* leaf;
};

// One identity number, e.g. "AT+CGSN\r\r\n353535099996462\r\n\r\nOK\r\n" -> 353535099996462.
// An unanswered query leaves the empty text; an answer without digits the placeholder.
int QueryNumber(const NumberQuery& q, int fd, char* out, char* rxBuf) {
    char number[NUMBER_BUF];
    memset(number, 0, sizeof number);

    int status = NOT_OK;
    for (int pass = 0; pass < 2 && status != OK; ++pass) {
        status = SendCellModemCmd(fd, q.cmd, 5, rxBuf, 1, kCmdDelayUs, "OK", q.reportFailures);
        if (status != OK) continue;
        status = YankStrNumbers(AnswerValueStart(rxBuf, q.cmd), number, NUMBER_SIZE);
        if (status != OK) {
            if (q.notFoundMsg) printf("%s", q.notFoundMsg);
            CopyBounded(number, q.placeholder, NUMBER_SIZE);
            OsUsleep(kNoValuePauseUs);
        }
    }

    CopyBounded(out, number, q.maxChars);
    WriteTextLeaf(out, q.leaf);
    return status;
}

}  // namespace

int ReadImei(int fd, char* imei, char* rxBuf) {
    // The IMEI is 15 digits; 16 leaves room for the 16-digit IMEISV some modems give instead.
    static const NumberQuery q = {"AT+CGSN", 0, kImeiUnknown, nullptr, 16, LEAF_CELL_IMEI};
    return QueryNumber(q, fd, imei, rxBuf);
}

int ReadSimId(int fd, char* simId, char* rxBuf) {
    // An ICCID is 19 or 20 digits; keep whatever the card gives up to the buffer's 39.
    static const NumberQuery q = {"AT+CCID", 1, kSimIdUnknown, "\nCFG-SIM: ReadSimId: not found",
                                  39, LEAF_CELL_CCID};
    return QueryNumber(q, fd, simId, rxBuf);
}

// The firmware version comes in two halves: the release from AT+GMR ("20.00.524") and the
// factory configuration number from AT#CFVR ("#CFVR: 2"). They are shown joined as
// "20.00.524.02" and published as two integers.
int ReadFwVersion(int fd, char* fwVersion, char* rxBuf) {
    if (vexDebug) printf("\n\nStart ReadFwVersion");

    char high[FW_PART_BUF];
    char low[FW_PART_BUF];
    memset(high, 0, sizeof high);
    memset(low, 0, sizeof low);
    int factory = 0;

    // Whatever the caller's buffer held (the configuration sequence reuses one buffer for all
    // queries) must not end up in front of the suffix when AT+GMR gives nothing.
    CopyBounded(fwVersion, kFwVersionUnknown, FW_PART_SIZE - 1);

    int status = NOT_OK;
    for (int pass = 0; pass < 2 && status != OK; ++pass) {
        status = SendCellModemCmd(fd, "AT+GMR", 5, rxBuf, 1, kCmdDelayUs, "OK", 1);
        if (status != OK) {
            printf("\nCFG-RFV: **** ReadFwVersion: ERROR, status != OK ***");
            continue;
        }
        status = YankStrNumbers(AnswerValueStart(rxBuf, "AT+GMR"), high, FW_PART_SIZE);
        if (status == OK) {
            CopyBounded(fwVersion, high, FW_PART_SIZE - 1);
        } else {
            printf("\nCFG-RFV: ReadFwVersion: FW version not found");
            CopyBounded(high, kFwVersionUnknown, FW_PART_SIZE - 1);
        }
    }

    status = NOT_OK;
    for (int pass = 0; pass < 2 && status != OK; ++pass) {
        status = SendCellModemCmd(fd, "AT#CFVR", 5, rxBuf, 1, kCmdDelayUs, "OK", 1);
        if (status != OK) {
            printf("\nCFG-RFV: **** ReadFwVersion, Least sig value: ERROR, status != OK ***");
            continue;
        }
        status = YankStrNumbers(AnswerValueStart(rxBuf, "AT#CFVR"), low, FW_PART_SIZE);
        if (status != OK) {
            printf("\nCFG-RFV: ReadFwVersion: FW version not found");
            CopyBounded(low, kFwSuffixUnknown, FW_PART_SIZE - 1);
        }
        factory = LeadingDecimal(low);
        if (vexDebug) printf("\nCFG-RFV: fw_ls_str: %s ==> low FW version byte: %d", low, factory);
    }

    if (vexDebug) printf("\nCFG-RFV: fw_ver str, msb part: %s", high);

    if (status == OK) {
        // ".02"; a number too long for the display is cut to 6 characters with its dot.
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%02d", factory);
        CopyBounded(fwVersion + strlen(fwVersion), suffix, 6);
        if (vexDebug) printf("\nCFG-RFV: fw_ver str, with lsb part: %s int:%d ", fwVersion, 0);
    } else {
        CopyBounded(fwVersion, kFwSuffixUnknown, FW_PART_SIZE - 1);
    }

    int packed = StrToVersion(high);
    if (vexDebug) printf("\nCFG-RFV: write high int FW version, %d (%xh), to leaf", packed, packed);
    WriteIntLeaf(packed, LEAF_CELL_VERSION);

    if (vexDebug) printf("\nCFG-RFV: write low int FW version, %d (%xh), to CDS", factory, factory);
    WriteIntLeaf(factory, LEAF_CELL_FACTORY_CONFIG_VERSION);

    return status;
}
