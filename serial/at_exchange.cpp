// The one primitive for text traffic with the cellular modem: write a command, wait a fixed
// time, take whatever has arrived in a single read, and accept it only with the echo and the
// expected text. Deliberately no framing: an answer that comes late is left for the next read.
#include "serial/at_exchange.h"

#include <stdio.h>
#include <string.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "serial/port.h"

enum {
    // At most 199 characters of a command are sent, then CR; the line keeps a terminator
    // after them. AT commands are far shorter.
    CMD_TEXT_MAX = 199,
    CMD_LINE_SIZE = CMD_TEXT_MAX + 2,
    RX_READ_MAX = RX_BUF_SIZE - 1,  // room for the terminator after the bytes read
    RX_CLEAR_BYTES = 400,
    EXCHANGE_BASE_DELAY_US = 100000,
    WRITE_FAIL_PAUSE_S = 2,
    EXCHANGE_ATTEMPTS = 2
};

// An answer counts only when it holds the modem's echo of the command ("AT..."): bytes without
// it are line noise, a modem at another speed, or a modem in data mode.
static const char kEcho[] = "AT";

static unsigned int ResponseDelayUs(int respDelayUs) {
    long long us = static_cast<long long>(respDelayUs) + EXCHANGE_BASE_DELAY_US;
    if (us < 0) us = 0;
    if (us > 0xFFFFFFFFLL) us = 0xFFFFFFFFLL;
    return static_cast<unsigned int>(us);
}

int SendCellModemCmd(int fd, const char* cmd, int minRespLen, char* rxBuf, int waitForResp,
                     int respDelayUs, const char* expectedResp, int reportFailures) {
    rxBuf[0] = '\0';
    if (cmd == nullptr) cmd = "";

    char line[CMD_LINE_SIZE];
    size_t cmdLen = strnlen(cmd, CMD_TEXT_MAX);
    memcpy(line, cmd, cmdLen);
    line[cmdLen] = '\r';
    line[cmdLen + 1] = '\0';
    int lineLen = static_cast<int>(cmdLen) + 1;  // the terminator is not sent

    for (int attempt = 0; attempt < EXCHANGE_ATTEMPTS; attempt++) {
        int written = WriteModemPort(fd, line, lineLen);
        if (written != lineLen && reportFailures == 1) {
            if (vexDebug) printf("\nCFG-SMC: write command '%s' failed, attempt %d ", cmd, attempt);
            fflush(stdout);
            OsSleep(WRITE_FAIL_PAUSE_S);
            continue;
        }

        if (waitForResp != 1) {
            if (reportFailures == 1 && vexDebug) strcpy(rxBuf, "[Didn't wait for resp] ");
            return OK;
        }

        memset(rxBuf, 0, RX_CLEAR_BYTES);
        OsUsleep(ResponseDelayUs(respDelayUs));
        int got = ReadModemPort(fd, rxBuf, RX_READ_MAX);
        if (got < minRespLen || got < 0) continue;
        // A NUL from the modem ends the text here as well: the match sees up to the first one.
        rxBuf[got] = '\0';

        if (expectedResp == nullptr) return OK;
        if (strstr(rxBuf, kEcho) != nullptr && strstr(rxBuf, expectedResp) != nullptr) return OK;

        if (reportFailures == 1) {
            if (vexDebug) {
                if (attempt == 0) {
                    printf("\nCFG-SMC:  attempt %d) FAILED: response match, expected resp: '%s', "
                           "rxbuf: '%s',  strstr result: '%s' ",
                           attempt, expectedResp, rxBuf, rxBuf);
                } else {
                    printf("\nCFG-SMC:  attempt %d) *** Too many unexpected resp: cmd: %s "
                           "expected: %s, \nGot rxbuf: %s ***\n",
                           attempt, cmd, expectedResp, rxBuf);
                }
            }
            fflush(stdout);
        }
    }

    // This last line is tagged "CFG-SCM", unlike the "CFG-SMC" lines above. The text is fixed
    // and matched by readers of the trace: do not "correct" it.
    if (reportFailures == 1 && vexDebug) {
        printf("\nCFG-SCM: Failed command '%s' ", cmd);
        fflush(stdout);
    }
    return NOT_OK;
}
