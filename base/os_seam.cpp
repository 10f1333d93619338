// The real side of the seam's process half (clock, sleeps, shell, signals, syslog, exit): straight
// calls into the C library.
#include "base/os_seam.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

// The box runs for more than ten years: a 32-bit time_t ends in January 2038, after which time()
// and gettimeofday() fail. The build turns on the 64-bit time functions of the C library; only an
// explicit choice for an old C library may build without them.
#ifndef LINKWARDEN_ALLOW_32BIT_TIME
static_assert(sizeof(time_t) >= 8, "time_t must be 64 bits wide (see LINKWARDEN_ALLOW_32BIT_TIME)");
#endif

unsigned int OsSleep(unsigned int seconds) { return sleep(seconds); }
int OsUsleep(unsigned int usec) { return usleep(usec); }
int OsGettimeofday(struct timeval* tv) { return gettimeofday(tv, nullptr); }
time_t OsTime() { return time(nullptr); }
time_t OsMonotonicSeconds() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return ts.tv_sec;
}
int OsSystem(const char* command) { return system(command); }
int OsKill(pid_t pid, int sig) { return kill(pid, sig); }
int OsProcessName(pid_t pid, char* name, size_t size) {
    char path[40];
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    if (size == 0) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t got = read(fd, name, size - 1);
    close(fd);
    if (got <= 0) return -1;
    if (name[got - 1] == '\n') got--;
    name[got] = '\0';
    return 0;
}
void OsOpenlog(const char* ident, int option, int facility) { openlog(ident, option, facility); }
void OsSyslog(int priority, const char* text) { syslog(priority, "%s", text); }
void OsExit(int status) { exit(status); }
