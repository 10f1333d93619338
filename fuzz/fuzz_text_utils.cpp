// Any modem answer through the number and version parsers, with every destination size the
// daemon uses.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "serial/text_utils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char source[2001];
    size_t n = size < sizeof source - 1 ? size : sizeof source - 1;
    static const int sizes[] = {15, 20, 40};
    for (int dsize : sizes) {
        memcpy(source, data, n);
        source[n] = '\0';
        char destination[41];
        memset(destination, 0, sizeof destination);
        YankStrNumbers(source, destination, dsize);
        if (memchr(destination, '\0', dsize) == nullptr) __builtin_trap();
    }
    char version[16];
    size_t v = n < sizeof version - 1 ? n : sizeof version - 1;
    memcpy(version, data, v);
    version[v] = '\0';
    StrToVersion(version);
    fflush(stdout);
    return 0;
}
