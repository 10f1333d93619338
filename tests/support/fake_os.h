// The test side of the operating-system seam: a clock that jumps instead of sleeping, recorded
// shell commands and signals with scripted results, recorded syslog lines, and exit as an
// exception, so that never-returning code can be driven pass by pass.
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

// Clears every record and hook and sets the clock to startSec seconds after the epoch.
void Reset(int64_t startSec = 1700000000);

// The fake clock in microseconds since the epoch; Advance moves it forward without sleeping.
int64_t NowUs();
void Advance(int64_t us);

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

// syslog lines (priority, text) and openlog calls' option words.
extern std::vector<std::pair<int, std::string>> syslogLines;
extern std::vector<int> openlogOptions;

}  // namespace fakeos
