// The link watchdog keeps the cellular data link up once supervision runs: it restarts pppd when
// it is gone, polls the modem's aux port, ends each refresh period by stopping pppd, and pings a
// configured address through ppp1. When recovery fails it ends the process and leaves the restart
// (which resets and reconfigures the modem) to whatever runs the program.
#include "supervision/watchdog.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "base/globals.h"
#include "base/os_seam.h"
#include "cell/signal.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"
#include "supervision/ppp_control.h"

watchdog_settings_t watchdogSettings = {};

static watchdog_counters_t counters = {};

// Thresholds, in seconds added up from the passes' elapsed time.
enum {
    AUX_POLL_PERIOD = 60,
    AUX_FAILS_BEFORE_EXIT = 5,  // the sixth failed poll in a row ends the process
    PPP_START_SETTLE = 3,
    PPP_START_CHECKS = 30,      // one second apart
    PPP_REST_AFTER_CHANGE = 15  // after a restart and after a refresh stop
};

// A ping command: "fping -c1 -t<ms> -I ppp1 <target> > /dev/null 2>&1" always fits.
enum { PING_COMMAND_SIZE = 100 };

// A rejected store text is shown escaped and cut to this many of its bytes.
enum { SHOWN_TEXT_MAX = 40 };

static const int SYSLOG_OPTIONS = LOG_PID | LOG_CONS | LOG_PERROR;  // 0x23

static int ClampToInt(long long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Accumulators add wall-clock seconds; a clock stepped by years must not overflow them.
static int AddSeconds(int total, int elapsed) {
    return ClampToInt(static_cast<long long>(total) + elapsed);
}

void ResetWatchdogCounters() { counters = watchdog_counters_t{}; }

watchdog_counters_t GetWatchdogCounters() { return counters; }

int IsPingTargetAcceptable(const char* text, size_t length) {
    if (length == 0 || length >= sizeof watchdogSettings.autoPingIp) return 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (i == 0 && !alnum) return 0;
        if (!alnum && c != '.' && c != '-') return 0;
    }
    return 1;
}

// Writes text into out as printable ASCII only: quotes, backslashes and every byte outside
// 0x20..0x7e become \xNN, and a text longer than SHOWN_TEXT_MAX bytes ends in "...".
static void EscapeForMessage(const std::string& text, char* out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < text.size() && i < SHOWN_TEXT_MAX; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[5];
        if (c >= 0x20 && c <= 0x7e && c != '"' && c != '\\') {
            piece[0] = static_cast<char>(c);
            piece[1] = '\0';
        } else {
            snprintf(piece, sizeof piece, "\\x%02x", c);
        }
        size_t len = strlen(piece);
        if (used + len + 4 > size) break;
        memcpy(out + used, piece, len + 1);
        used += len;
    }
    if (text.size() > SHOWN_TEXT_MAX && used + 4 <= size) memcpy(out + used, "...", 4);
}

static void ReportAutoPingOff(const char* syslogText, const char* stdoutText) {
    OsOpenlog(nullptr, SYSLOG_OPTIONS, 0);
    OsSyslog(LOG_ERR, syslogText);
    puts(stdoutText);
}

// Settings that would tear a healthy link down every pass or make every ping fail are refused,
// each with one line naming the leaf and its value, and a safe value takes their place.
//
// The refresh period in minutes: a negative one would stop pppd on every pass (a modem reset
// loop through the failed pings), and one whose seconds do not fit an int has no meaning. Both
// give no refresh, as an unreadable leaf does: the link then stays up and the pppd check and the
// auto-ping still look after it.
enum { REFRESH_MINUTES_MAX = INT_MAX / 60 };
// The shortest ping time-out a cellular link can meet: the leaf's own one-second step, above a
// round trip through a radio that first has to wake from idle. Anything shorter (0 became 1 ms, a
// negative value went onto the command line) fails every ping on a healthy link.
enum { PING_TIMEOUT_FLOOR_MS = 1000, PING_TIMEOUT_MAX_S = INT_MAX / 1000 };

static void LoadRefreshInterval() {
    toolkit::CElement element;
    api_status_t status = LEAF_DONE;
    element_property_t info = {};
    int result = api.get_leaf(LEAF_REFRESH_INTERVAL, status, element, info);
    watchdogSettings.connRefreshInterval = 0;
    if (result != 0 || status != LEAF_DONE) {
        printf("CFG-HCE: Error while reading %s.\n", LEAF_REFRESH_INTERVAL);
    } else {
        int minutes = element.to_int();
        if (minutes >= 0 && minutes <= REFRESH_MINUTES_MAX) {
            watchdogSettings.connRefreshInterval = minutes * 60;
        } else {
            printf("CFG-HCE: %s = %d refused (minutes: 0 for none, or 1 to %d); no refresh\n",
                   LEAF_REFRESH_INTERVAL, minutes, static_cast<int>(REFRESH_MINUTES_MAX));
        }
    }
    printf("CFG-HCE: connRefreshInterval = %d\n", watchdogSettings.connRefreshInterval);
}

// The ping time-out in milliseconds from the leaf's seconds, no longer than the interval.
// Returns 0 when a ping that will run could not meet it.
static int TakePingTimeout(int seconds) {
    if (seconds > watchdogSettings.autoPingInterval) seconds = watchdogSettings.autoPingInterval;
    if (seconds >= 1 && seconds <= PING_TIMEOUT_MAX_S) {
        watchdogSettings.autoPingTimeout = seconds * 1000;
        return 1;
    }
    // While the auto-ping is off the value is only shown, so it is kept as it comes.
    if (watchdogSettings.autoPingInterval > 0) return 0;
    int ms = ClampToInt(seconds * 1000LL);
    watchdogSettings.autoPingTimeout = ms == 0 ? 1 : ms;
    return 1;
}

static void ClearAutoPing() {
    watchdogSettings.autoPingInterval = 0;
    watchdogSettings.autoPingRetries = 0;
    watchdogSettings.autoPingTimeout = 0;
    memset(watchdogSettings.autoPingIp, 0, sizeof watchdogSettings.autoPingIp);
}

// The ping target goes into a shell command line run as root, so while the auto-ping is on only
// an address or a host name is taken; a leaf that could not be read, or any other text, turns the
// auto-ping off and says which of the two it was. While it is off the text is only shown.
static void TakePingTarget(api_status_t status, const std::string& target) {
    if (watchdogSettings.autoPingInterval <= 0) {
        size_t length = target.size() < sizeof watchdogSettings.autoPingIp
                            ? target.size()
                            : sizeof watchdogSettings.autoPingIp - 1;
        memcpy(watchdogSettings.autoPingIp, target.data(), length);
        watchdogSettings.autoPingIp[length] = '\0';
        return;
    }
    if (status == LEAF_DONE && IsPingTargetAcceptable(target.data(), target.size())) {
        memcpy(watchdogSettings.autoPingIp, target.data(), target.size());
        watchdogSettings.autoPingIp[target.size()] = '\0';
        return;
    }
    char shown[4 * SHOWN_TEXT_MAX + 8];
    char logText[sizeof shown + 96];
    char outText[sizeof shown + 128];
    if (status != LEAF_DONE) {
        snprintf(logText, sizeof logText,
                 "CON_MODEM:HCM: AutoPingIp unreadable (status %d). auto-ping timer disabled",
                 static_cast<int>(status));
        snprintf(outText, sizeof outText,
                 "[CON_MODEM:HCM] AutoPingIp could not be read (status %d); auto-ping timer "
                 "disabled",
                 static_cast<int>(status));
    } else {
        EscapeForMessage(target, shown, sizeof shown);
        snprintf(logText, sizeof logText,
                 "CON_MODEM:HCM: AutoPingIp \"%s\" rejected. auto-ping timer disabled", shown);
        snprintf(outText, sizeof outText,
                 "[CON_MODEM:HCM] AutoPingIp \"%s\" is not an IPv4 address or host name; auto-ping "
                 "timer disabled",
                 shown);
    }
    ClearAutoPing();
    ReportAutoPingOff(logText, outText);
}

static void LoadAutoPing() {
    ClearAutoPing();

    const std::vector<std::string> paths = {LEAF_AUTO_PING_INTERVAL, LEAF_AUTO_PING_RETRIES,
                                            LEAF_AUTO_PING_TIMEOUT, LEAF_AUTO_PING_IP};
    std::vector<api_status_t> statuses;
    std::vector<toolkit::CElement> elements;
    std::vector<element_property_t> infos;
    int result = api.get_leaves(paths, statuses, elements, infos);
    if (result != 0) {
        ReportAutoPingOff("CON_MODEM:HCM: get_leaves failed. auto-ping timer disabled",
                          "[CON_MODEM:HCM] get_leaves failed; auto-ping timer disabled");
        return;
    }
    if (statuses.size() != paths.size()) {
        ReportAutoPingOff(
            "[CON_MODEM:HCM] get_leaves retcodes.size failed. auto-ping timer disabled",
            "[CON_MODEM:HCM] get_leaves retcodes.size failed; auto-ping timer disabled");
        return;
    }
    if (elements.size() != statuses.size()) {
        ReportAutoPingOff(
            "[CON_MODEM:HCM] pcd_get_leaves localPathlist.size failed. auto-ping timer disabled",
            "[CON_MODEM:HCM] pcd_get_leaves localPathlist.size failed; auto-ping timer disabled");
        return;
    }

    // A single leaf that could not be read keeps its default without a message, except where a
    // ping that will run could not work with it: the time-out and the target. The target is
    // judged before the time-out is spoken of, so that a target that turns the auto-ping off
    // leaves no line about a time-out no ping will use.
    if (statuses[0] == LEAF_DONE) watchdogSettings.autoPingInterval = elements[0].to_int();
    if (statuses[1] == LEAF_DONE) watchdogSettings.autoPingRetries = elements[1].to_int();
    const bool timeoutRead = statuses[2] == LEAF_DONE;
    const bool timeoutUnreadable = watchdogSettings.autoPingInterval > 0 && !timeoutRead;
    const bool timeoutRefused = timeoutRead && !TakePingTimeout(elements[2].to_int());
    std::string target;
    if (statuses[3] == LEAF_DONE) elements[3].to_string(target);
    TakePingTarget(statuses[3], target);
    if (watchdogSettings.autoPingInterval <= 0) return;
    if (timeoutUnreadable) {
        printf("CFG-HCE: %s could not be read; ping time-out %d ms\n", LEAF_AUTO_PING_TIMEOUT,
               static_cast<int>(PING_TIMEOUT_FLOOR_MS));
        watchdogSettings.autoPingTimeout = PING_TIMEOUT_FLOOR_MS;
    } else if (timeoutRefused) {
        printf("CFG-HCE: %s = %d refused (seconds, 1 to %d); ping time-out %d ms\n",
               LEAF_AUTO_PING_TIMEOUT, elements[2].to_int(), static_cast<int>(PING_TIMEOUT_MAX_S),
               static_cast<int>(PING_TIMEOUT_FLOOR_MS));
        watchdogSettings.autoPingTimeout = PING_TIMEOUT_FLOOR_MS;
    }
}

void LoadWatchdogSettings() {
    LoadRefreshInterval();
    LoadAutoPing();
    printf("\nHCM:Auto-Ping::Interval = %d", watchdogSettings.autoPingInterval);
    printf("\nHCM:Auto-Ping::Retry count = %d", watchdogSettings.autoPingRetries);
    printf("\nHCM:Auto-Ping::Timeout = %d", watchdogSettings.autoPingTimeout);
    printf("\nHCM:Auto-Ping::IP = %s\n", watchdogSettings.autoPingIp);
    fflush(stdout);
}

// pppd is gone: start it, give it time to come up, and publish the new link address. A start
// command that fails is simply tried again on the next pass.
static void RestartPppd() {
    if (StartPPPDataConnection() != 0) return;
    OsSleep(PPP_START_SETTLE);
    for (int i = 0; i < PPP_START_CHECKS; i++) {
        if (CheckPPPDataConnection() == 0) break;
        OsSleep(1);
    }
    if (CheckPPPDataConnection() != 0) {
        puts("HCM: PPP1 connection not resurrected. Exiting to let binary restart");
        fflush(stdout);
        OsExit(1);
    }
    puts("HCM: PPP1 connection resurrected");
    fflush(stdout);
    OsSleep(PPP_REST_AFTER_CHANGE);
    PublishPPP1IpAddr();
    counters.refreshElapsed = 0;
}

// Returns 1 when there is no port to poll (the stored descriptor is 0).
static int PollAuxPort(int elapsed, int* portFd, char* rxBuf) {
    int reopen = 0;
    counters.auxPollElapsed = AddSeconds(counters.auxPollElapsed, elapsed);
    if (counters.auxPollElapsed < AUX_POLL_PERIOD) return 0;
    if (*portFd == 0) {
        reopen = 1;
    } else if (UpdateCellStatus(*portFd, rxBuf) == 1) {
        counters.auxFailCount = 0;
    } else {
        counters.auxFailCount++;
        printf("HCM:Failed to read from cell modem aux port. Count = %d\n", counters.auxFailCount);
        if (counters.auxFailCount > AUX_FAILS_BEFORE_EXIT) {
            printf("\n\n\nHCM:Failed to read from cell modem aux port %d times. Exiting\n\n\n",
                   counters.auxFailCount);
            fflush(stdout);
            OsExit(0);
        }
    }
    counters.auxPollElapsed = 0;
    return reopen;
}

// Stopping pppd is the whole refresh: the next pass finds it gone and brings the link up afresh.
// Returns 1 when it stopped pppd.
static int RefreshLink(int elapsed, int now) {
    if (watchdogSettings.connRefreshInterval == 0) return 0;
    counters.refreshElapsed = AddSeconds(counters.refreshElapsed, elapsed);
    if (counters.refreshElapsed <= watchdogSettings.connRefreshInterval) return 0;
    printf("HCM: Refresh time elapsed. now = %d\n", now);
    fflush(stdout);
    StopPPPDataConnection();
    OsSleep(PPP_REST_AFTER_CHANGE);
    counters.refreshElapsed = 0;
    return 1;
}

// linkStopped: this pass has just stopped pppd. A ping now could only fail and cost a retry (with
// AutoPingRetries 1 it would end the process and reset a healthy modem), so a due ping waits: the
// account keeps its time and the ping goes out in the first pass after the link is back.
static void AutoPing(int elapsed, int now, int linkStopped) {
    if (watchdogSettings.autoPingInterval <= 0) return;
    counters.pingElapsed = AddSeconds(counters.pingElapsed, elapsed);
    if (counters.pingElapsed <= watchdogSettings.autoPingInterval || linkStopped) return;

    printf("HCM: Pinging %s; now = %d\n", watchdogSettings.autoPingIp, now);
    char command[PING_COMMAND_SIZE];
    memset(command, 0, sizeof command);
    snprintf(command, sizeof command, "fping -c1 -t%d -I ppp1 %s > /dev/null 2>&1",
             watchdogSettings.autoPingTimeout, watchdogSettings.autoPingIp);
    printf("HCM: %s\n", command);
    fflush(stdout);
    // Any non-zero result is a failed ping, including a shell that could not run fping.
    if (OsSystem(command) == 0) {
        puts("HCM: Ping successful");
        counters.pingFailCount = 0;
    } else {
        counters.pingFailCount++;
        printf("HCM: Ping failed. pingFailCount = %d\n", counters.pingFailCount);
        if (counters.pingFailCount >= watchdogSettings.autoPingRetries) {
            printf("HCM: Ping failed %d times. Restarting the modem\n",
                   watchdogSettings.autoPingRetries);
            fflush(stdout);
            OsExit(1);
        }
    }
    fflush(stdout);
    counters.pingElapsed = 0;
}

int RunWatchdogPass(int elapsed, int now, int* portFd, char* rxBuf) {
    // A pass that finds pppd gone only restarts it; the time that took counts in the next pass.
    if (CheckPPPDataConnection() != 0) {
        RestartPppd();
        return 0;
    }
    int reopen = PollAuxPort(elapsed, portFd, rxBuf);
    int linkStopped = RefreshLink(elapsed, now);
    AutoPing(elapsed, now, linkStopped);
    return reopen;
}
