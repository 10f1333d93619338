// Any store contents for the refresh and auto-ping settings, from the leaf files to the ping
// command line: the input cut at 0xFF gives the five leaf files (refresh interval, ping interval,
// retries, time-out, address; a missing piece is a missing leaf), then the settings are loaded
// and one watchdog pass with pppd alive runs with the ping due. The shell must only ever see
// "fping -c1 -t<number> -I ppp1 <target> > /dev/null 2>&1" with a target of letters, digits,
// dots and dashes that is the loaded address, whole, inside the command buffer.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "store/leaves.h"
#include "supervision/watchdog.h"

static std::string store;
static const char* const kLeaves[] = {LEAF_REFRESH_INTERVAL, LEAF_AUTO_PING_INTERVAL, LEAF_AUTO_PING_RETRIES,
                                      LEAF_AUTO_PING_TIMEOUT, LEAF_AUTO_PING_IP};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    store = fuzz::Store();
    toolkit::CElement e;
    e.set_int(0);
    for (const char* leaf : kLeaves) {
        api_status_t st = CDS_STATUS_OK;
        std::string text;
        api.set_leaf(leaf, e, st, 0, text);
    }
    std::string root = fuzz::Root();
    std::string cmd = "mkdir -p " + root + "/var/run && echo 4242 > " + root + "/var/run/ppp1.pid";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}

static bool OnlyTargetCharacters(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!ok) return false;
    }
    return s[0] != '-';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::vector<std::string> pieces = fuzz::SplitPieces(data, size);
    for (size_t i = 0; i < 5; i++) {
        if (i < pieces.size()) {
            fuzz::PutLeafFile(store, kLeaves[i], pieces[i]);
        } else {
            unlink((store + kLeaves[i]).c_str());
        }
    }
    fakeos::Reset();
    fakeos::killHook = [](pid_t, int) { return 0; };  // pppd is alive
    bool pingAnswers = size & 1;
    fakeos::systemHook = [pingAnswers](const char*) { return pingAnswers ? 0 : 256; };
    LoadWatchdogSettings();
    ResetWatchdogCounters();
    int portFd = -1;
    static char rxBuf[RX_BUF_SIZE];
    try {
        // Enough seconds for the aux poll, a refresh and the ping to be due in this one pass.
        int64_t elapsed = static_cast<int64_t>(watchdogSettings.autoPingInterval) + 1;
        if (elapsed < 61) elapsed = 61;
        if (elapsed > INT32_MAX) elapsed = INT32_MAX;
        RunWatchdogPass(static_cast<int>(elapsed), 1700000000, &portFd, rxBuf);
    } catch (const fakeos::ExitCalled&) {
    }

    const std::string ip(watchdogSettings.autoPingIp, strnlen(watchdogSettings.autoPingIp, sizeof watchdogSettings.autoPingIp));
    if (ip.size() >= sizeof watchdogSettings.autoPingIp) __builtin_trap();
    for (const std::string& command : fakeos::commands) {
        if (command.rfind("fping ", 0) != 0) continue;
        static const char head[] = "fping -c1 -t", tail[] = " > /dev/null 2>&1";
        const std::string middle = " -I ppp1 " + ip + tail;
        if (command.size() >= 100) __builtin_trap();  // it had to fit the 100-byte buffer
        if (command.compare(0, sizeof head - 1, head) != 0) __builtin_trap();
        if (command.size() < sizeof head - 1 + middle.size()) __builtin_trap();
        if (command.compare(command.size() - middle.size(), middle.size(), middle) != 0) __builtin_trap();
        std::string timeout = command.substr(sizeof head - 1, command.size() - middle.size() - (sizeof head - 1));
        if (timeout.empty() || timeout.find_first_not_of("-0123456789") != std::string::npos) __builtin_trap();
        if (!OnlyTargetCharacters(ip)) __builtin_trap();
    }
    fflush(stdout);
    return 0;
}
