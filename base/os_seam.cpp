// The real side of the operating-system seam: straight calls into the C library.
#include "base/os_seam.h"

#include <signal.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

unsigned int OsSleep(unsigned int seconds) { return sleep(seconds); }
int OsUsleep(unsigned int usec) { return usleep(usec); }
int OsGettimeofday(struct timeval* tv) { return gettimeofday(tv, nullptr); }
time_t OsTime() { return time(nullptr); }
int OsSystem(const char* command) { return system(command); }
int OsKill(pid_t pid, int sig) { return kill(pid, sig); }
void OsOpenlog(const char* ident, int option, int facility) { openlog(ident, option, facility); }
void OsSyslog(int priority, const char* text) { syslog(priority, "%s", text); }
void OsExit(int status) { exit(status); }
