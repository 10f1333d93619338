// Any replies of the analog modem to its four set-up commands. The input's first four bytes are
// the rings leaf (a 32-bit integer, big-endian), the fifth picks the debug trace and whether the
// modem counts as analog (the terminal read controls are then tried on the port, which is no
// terminal here, and fail); the rest, cut at 0xFF, is one reply per command. A sixth piece onwards
// goes to one more ReadFromModem with a time-out and a minimum taken from the fifth byte.
#include <cstdint>
#include <cstring>

#include "app/modem_select.h"
#include "base/globals.h"
#include "configure/analog.h"
#include "fuzz_support.h"
#include "store/leaves.h"

static std::string store;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    store = fuzz::Store();
    toolkit::CElement e;
    e.set_bool(false);
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    api.set_leaf(LEAF_ANALOG_RINGS_TO_ANSWER, e, st, 0, text);  // makes the leaf's folders
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5 || size > 4096) return 0;
    fakeos::Reset();
    int32_t rings = static_cast<int32_t>((uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) |
                                         (uint32_t(data[2]) << 8) | uint32_t(data[3]));
    fuzz::PutLeafFile(store, LEAF_ANALOG_RINGS_TO_ANSWER, "int " + std::to_string(rings) + "\n");
    vexDebug = data[4] & 1;
    toolkit::CElement e;
    e.set_bool(data[4] & 2);
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    api.set_leaf(LEAF_OPTION_ANALOG, e, st, 0, text);
    ForgetModemType();

    fuzz::PieceModem modem(fuzz::SplitPieces(data + 5, size - 5));
    int result = SendModemCmd(modem.port());
    if (result != 0 && result != 1) __builtin_trap();

    // The read primitive alone, with any time-out and minimum (a time-out of 0 is the half-second
    // default), on the next piece or on the shut modem end, so that the read never waits.
    modem.AnswerNow();
    static char buffer[301];
    int count = -1;
    int got = ReadFromModem(modem.port(), data[4] >> 5, buffer, &count, static_cast<short>((data[4] >> 2) & 7));
    if (got != 4 && got != 5 && got != 6 && got != 13) __builtin_trap();
    if (got == 6 && (count < 0 || count > 300)) __builtin_trap();
    fflush(stdout);
    return 0;
}
