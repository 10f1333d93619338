// Fake side of the operating-system seam for unit tests.
#include "fake_os.h"

#include <errno.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include "base/os_seam.h"

namespace fakeos {

static int64_t clockUs = 0;  // the wall clock
static int64_t monotonicUs = 0;
std::vector<int64_t> sleepsUs;
std::function<void(int64_t)> onSleep;
std::vector<std::string> commands;
std::function<int(const char*)> systemHook;
std::vector<std::pair<pid_t, int>> kills;
std::function<int(pid_t, int)> killHook;
std::function<std::string(pid_t)> processNameHook;
std::vector<std::pair<int, std::string>> syslogLines;
std::vector<int> openlogOptions;

void Reset(int64_t startSec) {
    clockUs = startSec * 1000000;
    monotonicUs = MONOTONIC_START_US;
    sleepsUs.clear();
    onSleep = nullptr;
    commands.clear();
    systemHook = nullptr;
    kills.clear();
    killHook = nullptr;
    processNameHook = nullptr;
    syslogLines.clear();
    openlogOptions.clear();
}

int64_t NowUs() { return clockUs; }
void Advance(int64_t us) {
    clockUs += us;
    monotonicUs += us;
}
void StepWallClock(int64_t us) { clockUs += us; }

static void Sleep(int64_t us) {
    sleepsUs.push_back(us);
    clockUs += us;
    monotonicUs += us;
    if (onSleep) onSleep(us);
}

}  // namespace fakeos

unsigned int OsSleep(unsigned int seconds) {
    fakeos::Sleep(static_cast<int64_t>(seconds) * 1000000);
    return 0;
}

int OsUsleep(unsigned int usec) {
    fakeos::Sleep(usec);
    return 0;
}

int OsGettimeofday(struct timeval* tv) {
    tv->tv_sec = static_cast<time_t>(fakeos::clockUs / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(fakeos::clockUs % 1000000);
    return 0;
}

time_t OsTime() { return static_cast<time_t>(fakeos::clockUs / 1000000); }

time_t OsMonotonicSeconds() { return static_cast<time_t>(fakeos::monotonicUs / 1000000); }

int OsSystem(const char* command) {
    fakeos::commands.push_back(command ? command : "");
    return fakeos::systemHook ? fakeos::systemHook(command) : 0;
}

int OsKill(pid_t pid, int sig) {
    fakeos::kills.emplace_back(pid, sig);
    if (fakeos::killHook) return fakeos::killHook(pid, sig);
    errno = ESRCH;
    return -1;
}

int OsProcessName(pid_t pid, char* name, size_t size) {
    const std::string found = fakeos::processNameHook ? fakeos::processNameHook(pid) : "pppd";
    if (found.empty() || size == 0) return -1;
    snprintf(name, size, "%s", found.c_str());
    return 0;
}

void OsOpenlog(const char*, int option, int) { fakeos::openlogOptions.push_back(option); }

void OsSyslog(int priority, const char* text) { fakeos::syslogLines.emplace_back(priority, text); }

void OsExit(int status) { throw fakeos::ExitCalled{status}; }
