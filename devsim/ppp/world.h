// What the PPP stand-ins share: where the sandbox is, the simulated network's state under
// <root>/devsim/world/, their log files, and leaving the sped-up clock of the daemon behind.
#pragma once

#include <string>

namespace simppp {

// The stand-ins talk to the simulated modem, which runs in real time. The daemon may run under a
// preloaded fake clock that speeds up sleeps and poll time-outs, and its children inherit it; so
// a stand-in that finds it in its environment removes it and starts itself again.
// Returns only when the clock is real (or the re-exec failed, which is logged to stderr).
void LeaveFakeClock(char** argv);

// The sandbox folder: $LINKWARDEN_ROOT when set and not empty, else the folder two levels above
// the running program (<root>/sbin/pppd, <root>/bin/fping). Never ends in "/".
std::string SandboxRoot();

// First line of <root>/devsim/world/<name> without its line end; `fallback` when the file is
// missing or empty. Lines are cut to 200 characters.
std::string WorldLine(const std::string& root, const char* name, const char* fallback);

// Appends "<seconds.millis> <tag>[<pid>]: <text>\n" to <root>/devsim/<file>, creating the devsim
// folder when needed. Logging failures are ignored: the log is a diagnostic aid.
void Log(const std::string& root, const char* file, const char* tag, const std::string& text);

// Seconds of a clock that no preloaded library fakes and that never jumps.
double MonotonicSeconds();

// The pid named by the text of a pid file (decimal, leading blanks allowed), 0 when none.
int ParsePid(const std::string& text);
// Reads <path> (at most 31 bytes) and returns its pid, 0 when missing or not a number.
int ReadPidFile(const std::string& path);
// 1 when the pid names a live process, 0 otherwise.
int PidAlive(int pid);

}  // namespace simppp
