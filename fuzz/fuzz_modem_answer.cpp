// Any conversation with the cellular modem: the input's first byte picks the debug trace and the
// operation to start with; the rest, cut at 0xFF, is the modem's answers, one per exchange (a
// piece starting with 0xFE makes that exchange's write fail instead). The operations then run in
// the configuration's order, round and round, until the answers are used up (the one after the
// last answer finds the modem silent): the AT exchange with
// its retry, the identity queries (AT+GMR and AT#CFVR included, so every number and version text
// a modem can send reaches their parsers), the signal level and the status poll of the supervision.
#include <cstdint>
#include <cstring>

#include "base/globals.h"
#include "cell/identity.h"
#include "cell/signal.h"
#include "fuzz_support.h"
#include "serial/at_exchange.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    fuzz::Store();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    fakeos::Reset();
    vexDebug = data[0] & 0x80;
    std::vector<std::string> pieces = fuzz::SplitPieces(data + 1, size - 1);
    fuzz::PieceModem modem(std::move(pieces));
    int fd = modem.port();

    static char rxBuf[RX_BUF_SIZE];
    enum { OPERATIONS = 8 };
    // Each operation asks at least one question, so the rounds end once the answers are gone.
    for (size_t step = 0; step == 0 || !modem.done(); step++) {
        char out[64];
        memset(out, 0, sizeof out);
        int dBm, csq, bars;
        switch ((data[0] + step) % OPERATIONS) {
        case 0: SendCellModemCmd(fd, "AT", 5, rxBuf, 1, 100000, "OK", 1); break;
        case 1: SendCellModemCmd(fd, "AT#ICMP=2", 1, rxBuf, 1, 100000, "OK", 0); break;
        case 2: ReadImei(fd, out, rxBuf); break;
        case 3: ReadSimId(fd, out, rxBuf); break;
        case 4: ReadFwVersion(fd, out, rxBuf); break;
        case 5: ReadSigLevel(fd, &dBm, &csq, rxBuf, &bars); break;
        case 6: UpdateCellStatus(fd, rxBuf); break;
        case 7: SendCellModemCmd(fd, "AT+CSQ", 1, rxBuf, 0, 100000, nullptr, data[0] & 1); break;
        }
        // Every text the operations hand on stays inside its buffer.
        if (!memchr(rxBuf, 0, sizeof rxBuf) || !memchr(out, 0, 40)) __builtin_trap();
    }
    fflush(stdout);
    return 0;
}
