// The test side of the operating-system seam: a clock that jumps instead of sleeping, recorded
// shell commands and signals with scripted results, scripted process names, recorded syslog
// lines, and exit as an exception, so that never-returning code can be driven pass by pass.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fakeos {

// Thrown by OsExit.
struct ExitCalled {
    int status;
};

// The monotonic clock after Reset: some time after boot, nothing to do with the wall clock.
const int64_t MONOTONIC_START_US = 5000 * 1000000LL;

// Clears every record and hook, sets the wall clock to startSec seconds after the epoch and the
// monotonic clock to MONOTONIC_START_US.
void Reset(int64_t startSec = 1700000000);

// The fake wall clock in microseconds since the epoch. Sleeps and Advance move both clocks
// forward alike (time passing); StepWallClock moves the wall clock alone, by any amount either way
// (a clock set by hand or by NTP).
int64_t NowUs();
void Advance(int64_t us);
void StepWallClock(int64_t us);

// Every sleep requested, in microseconds, in order.
extern std::vector<int64_t> sleepsUs;
// Called after each sleep has moved the clock, with the sleep's length in microseconds.
extern std::function<void(int64_t)> onSleep;

// Every shell command line run, in order, and the hook that gives its result (default 0).
extern std::vector<std::string> commands;
extern std::function<int(const char*)> systemHook;

// Every signal sent, and the hook that gives kill's result (default -1 with ESRCH).
extern std::vector<std::pair<pid_t, int>> kills;
extern std::function<int(pid_t, int)> killHook;

// The name of the process behind a pid (its /proc comm); "" means no such process. Default:
// every pid is pppd.
extern std::function<std::string(pid_t)> processNameHook;

// syslog lines (priority, text) and openlog calls' option words.
extern std::vector<std::pair<int, std::string>> syslogLines;
extern std::vector<int> openlogOptions;

}  // namespace fakeos
