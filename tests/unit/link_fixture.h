// The pppd world of the supervision tests: a store, a root holding pppd's pid file (pid 4321), and
// a pppd that lives until SIGTERM, comes up when its start command succeeds and then fails
// `failChecks` liveness checks. Any other shell command is a ping answered from pingResults.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "fake_os.h"
#include "temp_store.h"
#include "base/globals.h"
#include "store/leaves.h"
#include "supervision/watchdog.h"

class LinkFixture : public testing::Test {
protected:
    TempStore store;
    TempRoot root;
    bool alive = true;
    int failChecks = 0, startResult = 0, fd = -1;
    std::vector<int> pingResults;  // consumed in order; 0 once empty
    char rx[RX_BUF_SIZE] = {};
    std::string out;

    void SetUp() override {
        fakeos::Reset();
        watchdogSettings = watchdog_settings_t{};
        alive = true;
        failChecks = startResult = 0;
        for (const char* dir : {"/var", "/var/run", "/dev"}) mkdir(root.Path(dir).c_str(), 0755);
        std::ofstream(root.Path("/var/run/ppp1.pid")) << "4321\n";
        store.SetText(LEAF_PPP1_IP_ADDRESS, "10.1.2.3");
        fakeos::killHook = [this](pid_t, int sig) {
            if (sig == SIGTERM) alive = false;
            if (!alive || (sig == 0 && failChecks-- > 0)) return -1;
            return 0;
        };
        fakeos::systemHook = [this](const char* cmd) {
            if (strstr(cmd, "/sbin/pppd")) {
                alive = alive || startResult == 0;
                return startResult;
            }
            if (pingResults.empty()) return 0;
            int r = pingResults.front();
            pingResults.erase(pingResults.begin());
            return r;
        };
    }
    void TearDown() override {
        vexDebug = 0;
        if (fd > 0) close(fd);
    }
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
        return n;
    }
};
