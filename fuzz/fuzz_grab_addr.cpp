// Any command-line argument through the whitelist address grammar: the address parse and the
// mask parse that continues where it stopped, exactly as the argument loop does.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/globals.h"
#include "app/modem_select.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string arg(reinterpret_cast<const char*>(data), size);
    arg = arg.c_str();  // an argument ends at its first NUL
    vexDebug = size & 1;
    whitelist_t entry;
    memset(entry.ip, 0, sizeof entry.ip);
    strcpy(entry.mask, "255.255.255.255");
    int pos = 0;
    GrabAddrFromStr(&arg[0], entry.ip, &pos);
    if (pos < 0 || static_cast<size_t>(pos) > arg.size()) __builtin_trap();
    GrabAddrFromStr(&arg[0] + pos, entry.mask, &pos);
    if (static_cast<size_t>(pos) > arg.size()) __builtin_trap();
    if (!memchr(entry.ip, 0, sizeof entry.ip) || !memchr(entry.mask, 0, sizeof entry.mask))
        __builtin_trap();
    return 0;
}
