// Any argument vector through main's argument loop: the input cut at NUL bytes is argv, program
// name included. Addresses and masks land in the six whitelist entries and nowhere else, every
// entry stays terminated, and "-reset" runs the hardware reset against an empty store.
#include <cstdint>
#include <cstring>
#include <memory>

#include "app/command_line.h"
#include "app/modem_select.h"
#include "base/globals.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    fuzz::Store();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    fakeos::Reset();
    ForgetModemType();
    vexDebug = 0;
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    // Ten arguments reach past the sixth "-ip"; more would only repeat the same paths, each
    // "-reset" at the cost of a whole reset against the store.
    if (args.size() > 10) return 0;
    // Each argument in its own allocation of its exact size, so that a read past its end is seen.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    for (const std::string& a : args) {
        storage.emplace_back(new char[a.size() + 1]);
        memcpy(storage.back().get(), a.c_str(), a.size() + 1);
        argv.push_back(storage.back().get());
    }
    std::unique_ptr<whitelist_t[]> whitelist(new whitelist_t[WHITELIST_ENTRIES]);
    ReadCommandLine(static_cast<int>(argv.size()), argv.data(), whitelist.get());
    for (int i = 0; i < WHITELIST_ENTRIES; i++) {
        if (!memchr(whitelist[i].ip, 0, sizeof whitelist[i].ip) ||
            !memchr(whitelist[i].mask, 0, sizeof whitelist[i].mask))
            __builtin_trap();
    }
    fflush(stdout);
    return 0;
}
