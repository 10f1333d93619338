// Any bytes from the modem through the answer match of the AT exchange and through the
// identity and signal queries that parse it. The "port" is one end of a non-blocking socket
// pair whose other end already holds the answer, so an attempt after the first reads nothing.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/globals.h"
#include "cell/identity.h"
#include "cell/signal.h"
#include "fake_os.h"
#include "serial/at_exchange.h"
#include "temp_store.h"

static TempStore* store;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    store = new TempStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 2100) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    if (write(sv[1], data + 1, size - 1) < 0) {
    }
    fakeos::Reset();
    vexDebug = data[0] & 0x80;

    static char rxBuf[RX_BUF_SIZE];
    char out[64];
    memset(out, 0, sizeof out);
    int dBm, csq, bars;
    switch (data[0] % 6) {
    case 0: SendCellModemCmd(sv[0], "AT", 5, rxBuf, 1, 100000, "OK", 1); break;
    case 1: SendCellModemCmd(sv[0], "AT+CSQ", 1, rxBuf, 1, 100000, nullptr, 0); break;
    case 2: ReadImei(sv[0], out, rxBuf); break;
    case 3: ReadSimId(sv[0], out, rxBuf); break;
    case 4: ReadFwVersion(sv[0], out, rxBuf); break;
    case 5: ReadSigLevel(sv[0], &dBm, &csq, rxBuf, &bars); break;
    }
    if (!memchr(rxBuf, 0, sizeof rxBuf) || !memchr(out, 0, 40)) __builtin_trap();
    fflush(stdout);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
