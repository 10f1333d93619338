// Any bytes as the pppd pid file: read, then the liveness check and the stop that act on it.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fake_os.h"
#include "supervision/ppp_control.h"
#include "fuzz_support.h"

static std::string pidFile;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    std::string root = fuzz::Root();
    pidFile = root + "/var/run/ppp1.pid";
    std::string cmd = "mkdir -p " + root + "/var/run";
    if (system(cmd.c_str()) != 0) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(pidFile.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    fakeos::Reset();
    int pid = GetCellModemPPPDataInterfacePid();
    CheckPPPDataConnection();
    StopPPPDataConnection();
    for (const auto& k : fakeos::kills)
        if (k.first <= 0 || k.first != pid) __builtin_trap();  // never a signal to a group or to init
    fflush(stdout);
    return 0;
}
