// The link watchdog: pppd restart, aux-port status poll, refresh period, auto-ping.
#pragma once

#include <cstddef>

struct watchdog_settings_t {
    int connRefreshInterval;  // seconds; 0: no refresh
    int autoPingInterval;     // seconds; 0 or less: no auto-ping
    int autoPingRetries;
    int autoPingTimeout;      // milliseconds
    char autoPingIp[20];
};

extern watchdog_settings_t watchdogSettings;

// The watchdog's counters and accumulators (seconds added up from each pass's elapsed time).
struct watchdog_counters_t {
    int auxPollElapsed;  // since the last aux-port poll
    int auxFailCount;    // aux-port polls in a row that failed
    int refreshElapsed;  // since the last refresh or successful pppd restart
    int pingElapsed;     // since the last ping
    int pingFailCount;   // pings in a row that failed
};

// Reads the refresh and auto-ping settings from the store, once per process.
void LoadWatchdogSettings();
// Sets every counter and accumulator to 0.
void ResetWatchdogCounters();
// A copy of the counters and accumulators as they are now (for traces and tests).
watchdog_counters_t GetWatchdogCounters();
// 1 when text may stand as the ping target on an fping command line: a dotted IPv4 address or a
// host name of 1 to 19 characters from letters, digits, '.' and '-', starting with a letter or
// digit (a leading '-' would make it an fping option). Everything else is refused.
int IsPingTargetAcceptable(const char* text, size_t length);
// One pass. Returns 1 when the state machine is to go to state 0 (the stored descriptor was 0 at
// an aux-port poll), else 0; or ends the process.
int RunWatchdogPass(int elapsed, int now, int* portFd, char* rxBuf);
