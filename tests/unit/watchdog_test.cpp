#include <fcntl.h>

#include <algorithm>
#include <climits>

#include "link_fixture.h"
#include "base/os_seam.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static const int UNSET = INT_MIN + 1;  // the leaf is not written (no row uses this value)

class Watchdog : public LinkFixture {
protected:
    std::vector<int> asks;  // passes (1-based, per Run) that asked for state 0

    void SetUp() override {
        LinkFixture::SetUp();
        ResetWatchdogCounters();
    }
    // Runs n passes of `elapsed` seconds; the exit status, or -1 when the process did not end.
    int Run(int n, int elapsed = 1) {
        CaptureStdout();
        int status = -1;
        try {
            for (int i = 1; i <= n; i++) {
                fakeos::Advance(elapsed * 1000000LL);
                if (RunWatchdogPass(elapsed, static_cast<int>(OsTime()), &fd, rx)) asks.push_back(i);
            }
        } catch (const fakeos::ExitCalled& e) {
            status = e.status;
        }
        out = GetCapturedStdout();
        return status;
    }
    void Load(const std::string& ip) {
        fakeos::Reset();
        store.SetText(LEAF_AUTO_PING_IP, ip);
        CaptureStdout();
        LoadWatchdogSettings();
        out = GetCapturedStdout();
    }
};

// The settings summary of the cellular start-up, from the leaves at their paths on the box (spelt
// out here, so that a wrong path in the daemon shows). Settings that would stop pppd every pass
// or fail every ping are refused with one line each and replaced (no refresh, a 1000 ms
// time-out); while the auto-ping is off the time-out is only shown, as it comes.
#define SETTINGS "/U6C/Comms/CellModem/Settings/"
#define SUMMARY(interval, timeout, ip)                                                               \
    "\nHCM:Auto-Ping::Interval = " #interval "\nHCM:Auto-Ping::Retry count = 2\nHCM:Auto-Ping::Timeout = " \
    #timeout "\nHCM:Auto-Ping::IP = " ip "\n"
TEST_F(Watchdog, settings_summary_comes_from_the_leaves_with_refused_values_replaced) {
    const char* const noRefresh = "CFG-HCE: Error while reading " SETTINGS "RefreshInterval/Value.\n"
                                  "CFG-HCE: connRefreshInterval = 0\n";
    const struct { int refresh, interval, timeout; std::string want; } rows[] = {
        {UNSET, UNSET, UNSET, noRefresh + std::string(SUMMARY(0, 0, ""))},
        {1, 10, 2, "CFG-HCE: connRefreshInterval = 60\n" SUMMARY(10, 2000, "8.8.8.8")},
        {UNSET, 3, 10, noRefresh + std::string(SUMMARY(3, 3000, "8.8.8.8"))},  // capped to the interval
        {UNSET, UNSET, 5, noRefresh + std::string(SUMMARY(0, 1, ""))},
        {0, -3, -5, "CFG-HCE: connRefreshInterval = 0\n" SUMMARY(-3, -5000, "")},
        {35791394, 10, 1, "CFG-HCE: connRefreshInterval = 2147483640\n" SUMMARY(10, 1000, "8.8.8.8")},
        {5, 10, 0,
         "CFG-HCE: connRefreshInterval = 300\n"
         "CFG-HCE: " SETTINGS "AutoPingTimeout/Value = 0 refused (seconds, 1 to 2147483); ping time-out 1000 ms\n"
         SUMMARY(10, 1000, "8.8.8.8")},
        {-5, 10, -5,
         "CFG-HCE: " SETTINGS "RefreshInterval/Value = -5 refused (minutes: 0 for none, or 1 to 35791394); no refresh\n"
         "CFG-HCE: connRefreshInterval = 0\n"
         "CFG-HCE: " SETTINGS "AutoPingTimeout/Value = -5 refused (seconds, 1 to 2147483); ping time-out 1000 ms\n"
         SUMMARY(10, 1000, "8.8.8.8")},
        {INT_MIN, INT_MAX, INT_MAX,
         "CFG-HCE: " SETTINGS "RefreshInterval/Value = -2147483648 refused (minutes: 0 for none, or 1 to 35791394); no "
         "refresh\nCFG-HCE: connRefreshInterval = 0\n"
         "CFG-HCE: " SETTINGS "AutoPingTimeout/Value = 2147483647 refused (seconds, 1 to 2147483); ping time-out 1000 ms\n"
         SUMMARY(2147483647, 1000, "8.8.8.8")},
        {35791395, 10, UNSET,
         "CFG-HCE: " SETTINGS "RefreshInterval/Value = 35791395 refused (minutes: 0 for none, or 1 to 35791394); no "
         "refresh\nCFG-HCE: connRefreshInterval = 0\n"
         "CFG-HCE: " SETTINGS "AutoPingTimeout/Value could not be read; ping time-out 1000 ms\n"
         SUMMARY(10, 1000, "8.8.8.8")},
        {INT_MAX, 2147483, 2147483,
         "CFG-HCE: " SETTINGS "RefreshInterval/Value = 2147483647 refused (minutes: 0 for none, or 1 to 35791394); no "
         "refresh\nCFG-HCE: connRefreshInterval = 0\n" SUMMARY(2147483, 2147483000, "8.8.8.8")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refresh);
        TempStore fresh;
        const char* paths[] = {SETTINGS "RefreshInterval/Value", SETTINGS "AutoPingInterval/Value",
                               SETTINGS "AutoPingTimeout/Value"};
        const int values[] = {row.refresh, row.interval, row.timeout};
        for (int i = 0; i < 3; i++)
            if (values[i] != UNSET) fresh.SetInt(paths[i], values[i]);
        fresh.SetInt(SETTINGS "AutoPingRetries/Value", 2);
        fresh.SetText(SETTINGS "AutoPingIp/Value", row.interval != UNSET && row.interval > 0 ? "8.8.8.8" : "");
        CaptureStdout();
        LoadWatchdogSettings();
        EXPECT_EQ(GetCapturedStdout(), row.want);
    }
}

TEST_F(Watchdog, detached_store_disables_refresh_and_auto_ping_and_tells_syslog) {
    store.SetInt(LEAF_AUTO_PING_INTERVAL, 10);
    api.set_handle(0);
    Load("8.8.8.8");
    EXPECT_EQ(Count(std::string("CFG-HCE: Error while reading ") + LEAF_REFRESH_INTERVAL + ".\n"), 1u);
    EXPECT_EQ(Count("[CON_MODEM:HCM] get_leaves failed; auto-ping timer disabled\n"), 1u);
    EXPECT_EQ(fakeos::openlogOptions, std::vector<int>{0x23});
    EXPECT_EQ(fakeos::syslogLines, (std::vector<std::pair<int, std::string>>{
                                       {3, "CON_MODEM:HCM: get_leaves failed. auto-ping timer disabled"}}));
    EXPECT_EQ(watchdogSettings.autoPingInterval, 0);
}

TEST_F(Watchdog, only_an_address_or_host_name_becomes_the_ping_target) {
    const struct { std::string ip, shown; } rows[] = {  // shown empty: accepted
        {"8.8.8.8", ""}, {"host-1.example", ""}, {"1234567890123456789", ""}, {"", "\"\""},
        {"1.2.3.4; reboot", "\"1.2.3.4; reboot\""}, {"$(x)", "\"$(x)\""}, {"-c9", "\"-c9\""},
        {"-f/etc/passwd", "\"-f/etc/passwd\""}, {"a b", "\"a b\""},
        {"12345678901234567890", "\"12345678901234567890\""},  // would be cut short
        {"\xe6\x9e\x98\x01", "\"\\xe6\\x9e\\x98\\x01\""},
        // Shown cut to its first 40 bytes, also when each of them takes four characters.
        {"$(reboot)" + std::string(40, 'x'), "\"$(reboot)" + std::string(31, 'x') + "...\""},
        {std::string(41, '\xff'), [] {
             std::string shown = "\"";
             for (int i = 0; i < 40; i++) shown += "\\xff";
             return shown + "...\"";
         }()},
    };
    store.SetInt(LEAF_AUTO_PING_INTERVAL, 10);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ip);
        Load(row.ip);
        const bool accepted = row.shown.empty();
        EXPECT_EQ(watchdogSettings.autoPingInterval, accepted ? 10 : 0);
        EXPECT_EQ(watchdogSettings.autoPingIp, accepted ? row.ip : "");
        EXPECT_EQ(Count("ping time-out"), accepted ? 1u : 0u) << out;  // the time-out leaf is unset
        ASSERT_EQ(fakeos::syslogLines.size(), accepted ? 0u : 1u);
        if (accepted) continue;
        EXPECT_NE(fakeos::syslogLines[0].second.find(row.shown), std::string::npos);
        EXPECT_EQ(Count("AutoPingIp " + row.shown), 1u) << out;
        EXPECT_EQ(out.find('\xe6'), std::string::npos);
    }
}

TEST_F(Watchdog, an_unreadable_ping_target_is_told_apart_and_nothing_is_checked_while_auto_ping_is_off) {
    const std::string file = store.dir() + LEAF_AUTO_PING_IP;
    // status: the read status the message names; 0: no message
    const struct { int interval; std::string content, shownIp; int status; } rows[] = {
        {10, "string " + std::string(5000, '1') + "\n", "", CDS_STATUS_BAD_LEAF},
        {10, std::string("string 8.8\0.8.8\n", 16), "", CDS_STATUS_BAD_LEAF},
        {10, "ipv4 8.8.8.8\n", "", CDS_STATUS_BAD_LEAF},
        {10, "", "", CDS_STATUS_NO_LEAF},  // no leaf file at all
        {0, "string 1.2.3.4; reboot\n", "1.2.3.4; reboot", 0},
        {-1, "string 12345678901234567890\n", "1234567890123456789", 0},
        {0, "ipv4 8.8.8.8\n", "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.content.substr(0, 24));
        fakeos::Reset();
        store.SetInt(LEAF_AUTO_PING_INTERVAL, row.interval);
        store.SetText(LEAF_AUTO_PING_IP, "");  // makes the leaf's folder
        unlink(file.c_str());
        if (!row.content.empty()) std::ofstream(file, std::ios::binary) << row.content;
        CaptureStdout();
        LoadWatchdogSettings();
        out = GetCapturedStdout();
        EXPECT_EQ(watchdogSettings.autoPingInterval, row.status ? 0 : row.interval);
        EXPECT_EQ(Count("\nHCM:Auto-Ping::IP = " + row.shownIp + "\n"), 1u) << out;
        EXPECT_EQ(Count("AutoPingIp"), row.status ? 1u : 0u) << out;
        ASSERT_EQ(fakeos::syslogLines.size(), row.status ? 1u : 0u);
        if (!row.status) continue;
        const std::string status = "(status " + std::to_string(row.status) + ")";
        EXPECT_EQ(Count("[CON_MODEM:HCM] AutoPingIp could not be read " + status + "; auto-ping timer disabled\n"), 1u)
            << out;
        EXPECT_EQ(fakeos::syslogLines[0].second, "CON_MODEM:HCM: AutoPingIp unreadable " + status +
                                                      ". auto-ping timer disabled");
    }
}

TEST_F(Watchdog, restart_waits_up_to_thirty_checks_then_publishes_the_address_or_exits) {
    for (int failed : {0, 30, 31}) {
        SCOPED_TRACE(failed);
        SetUp();
        watchdogSettings.connRefreshInterval = 600;
        Run(5);
        alive = false;
        failChecks = failed;
        store.SetInt(LEAF_CELL_IP_ADDR, 0);
        EXPECT_EQ(Run(1), failed > 30 ? 1 : -1);
        std::vector<int64_t> sleeps(1, 3000000);
        sleeps.insert(sleeps.end(), failed > 30 ? 30 : failed, 1000000);
        if (failed <= 30) sleeps.push_back(15000000);
        EXPECT_EQ(fakeos::sleepsUs, sleeps);
        EXPECT_EQ(Count(failed > 30 ? "HCM: PPP1 connection not resurrected. Exiting to let binary restart\n"
                                    : "HCM: PPP1 connection resurrected\n"),
                  1u);
        if (failed > 30) continue;
        EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), 0x0A010203);
        EXPECT_EQ(GetWatchdogCounters().refreshElapsed, 0);
        EXPECT_EQ(GetWatchdogCounters().auxPollElapsed, 5);  // the restart pass adds nothing
    }
    SetUp();
    alive = false;
    startResult = 1;  // a start that fails is tried again on the next pass, without waiting
    EXPECT_EQ(Run(3), -1);
    EXPECT_EQ(Count("Starting pppd"), 3u);
    EXPECT_TRUE(fakeos::sleepsUs.empty());
}

TEST_F(Watchdog, aux_poll_every_sixty_seconds_counts_failures_to_the_sixth) {
    fd = 0;  // no port: the poll asks for the aux port to be opened
    EXPECT_EQ(Run(61), -1);
    EXPECT_EQ(asks, std::vector<int>{60});
    fd = -1;  // no aux port at all: polls always succeed
    EXPECT_EQ(Run(20, 60), -1);
    const int silent = open("/dev/null", O_RDWR);  // a modem that never answers
    fd = silent;
    Run(2, 60);
    fd = -1;
    Run(1, 60);  // a success in between starts the count again
    fd = silent;
    EXPECT_EQ(Run(10, 60), 0);
    for (int i = 1; i <= 6; i++) EXPECT_EQ(Count("aux port. Count = " + std::to_string(i) + "\n"), 1u);
    EXPECT_EQ(Count("Count = 6\n\n\n\nHCM:Failed to read from cell modem aux port 6 times. Exiting\n\n\n"), 1u);
}

TEST_F(Watchdog, refresh_of_one_minute_stops_pppd_and_the_next_pass_brings_it_back) {
    watchdogSettings.connRefreshInterval = 60;
    Run(60);
    EXPECT_TRUE(fakeos::sleepsUs.empty());
    const std::string now = std::to_string(OsTime() + 1);
    Run(1);
    EXPECT_EQ(out, "HCM: Refresh time elapsed. now = " + now + "\n");
    EXPECT_EQ(fakeos::kills.back(), std::make_pair(static_cast<pid_t>(4321), SIGTERM));
    EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>{15000000});
    store.SetInt(LEAF_CELL_IP_ADDR, 0);
    Run(1);
    EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), 0x0A010203);
    // A failed address read publishes nothing: the address ip-up published since stays.
    Run(61);
    unlink((store.dir() + LEAF_PPP1_IP_ADDRESS).c_str());
    store.SetInt(LEAF_CELL_IP_ADDR, 0x0A090807);
    Run(1);
    EXPECT_EQ(Count("ReadPPP1IpAddrFromCds: Error while reading"), 1u) << out;
    EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), 0x0A090807);
}

TEST_F(Watchdog, a_refresh_pass_does_not_ping_and_the_due_ping_follows_once_the_link_is_back) {
    watchdogSettings = {60, 60, 1, 1000, "8.8.8.8"};  // a single failed ping ends the process
    const auto shell = fakeos::systemHook;
    fakeos::systemHook = [&](const char* cmd) { return strstr(cmd, "fping") && !alive ? 1 : shell(cmd); };
    std::string passes;  // per pass: R refresh, S pppd start, P ping, . nothing
    for (int i = 0; i < 400; i++) {
        ASSERT_EQ(Run(1), -1) << passes;
        passes += Count("Refresh time elapsed") ? 'R' : Count("resurrected") ? 'S' : Count("Pinging") ? 'P' : '.';
        if (passes.back() == 'R') {
            EXPECT_EQ(Count("Pinging"), 0u);
        }
    }
    // Pass 61 is due for both: the ping waits for the restart and goes out in the pass after it.
    EXPECT_EQ(passes.substr(58, 6), "..RSP.");
    EXPECT_EQ(std::count(passes.begin(), passes.end(), 'P'), 6);
}

TEST_F(Watchdog, pings_after_the_interval_and_exits_after_retries_failures_in_a_row) {
    const struct { int retries; std::vector<int> results; int exitStatus, pings; } rows[] = {
        {0, {1}, 1, 1}, {3, {1, 1, 0, 1, 1}, -1, 6}, {3, {1, 1, 0, 1, 1, 256}, 1, 6}};
    for (const auto& row : rows) {
        SetUp();
        watchdogSettings = {0, 10, row.retries, 1000, "8.8.8.8"};
        pingResults = row.results;
        Run(10);
        EXPECT_TRUE(fakeos::commands.empty());
        EXPECT_EQ(Run(56), row.exitStatus);  // a ping every eleventh pass
        ASSERT_EQ(fakeos::commands.size(), static_cast<size_t>(row.pings));
        EXPECT_EQ(fakeos::commands[0], "fping -c1 -t1000 -I ppp1 8.8.8.8 > /dev/null 2>&1");
        const std::string last = "HCM: Ping failed " + std::to_string(row.retries) + " times. Restarting the modem\n";
        EXPECT_EQ(Count(last), row.exitStatus == 1 ? 1u : 0u);
    }
    SetUp();  // default settings: no refresh, no ping
    EXPECT_EQ(Run(500, 7), -1);
    EXPECT_TRUE(fakeos::commands.empty() && fakeos::sleepsUs.empty());
}
