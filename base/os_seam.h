// The one seam between the daemon and the operating system: everything it does to the world or
// waits on goes through here. Sleeps, the clock, shell commands, signals and the names of the
// processes they go to, syslog and process exit (os_seam.cpp); descriptors: the modem's serial
// ports and their line settings, the pid file, the standard descriptors (os_files.cpp).
// The target build links both files, which call the C library directly. Unit tests link a fake
// of the first half with a clock that jumps, and the real second half, so that the serial code
// runs over real pseudo-terminals. The field simulator links a simulated box for both.
// Every function returns what its C library namesake returns and sets errno as it does.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

unsigned int OsSleep(unsigned int seconds);
int OsUsleep(unsigned int usec);
int OsGettimeofday(struct timeval* tv);
// The wall clock: what the trace prints. It can be stepped (by hand, by NTP, by a flat RTC
// battery), so no interval is ever measured with it.
time_t OsTime();
// Whole seconds of CLOCK_MONOTONIC: a clock that only ever runs forward at the pace of real
// time, whatever is done to the wall clock. Intervals are measured with it.
time_t OsMonotonicSeconds();
// Runs a command line through /bin/sh; returns what system() returns.
int OsSystem(const char* command);
int OsKill(pid_t pid, int sig);
// The command name the kernel keeps for a process (/proc/PID/comm, at most 15 characters), without
// its newline, into name (size bytes). 0 when read, -1 when there is no such process to read.
int OsProcessName(pid_t pid, char* name, size_t size);
void OsOpenlog(const char* ident, int option, int facility);
// Logs one fixed text (never used as a format).
void OsSyslog(int priority, const char* text);
[[noreturn]] void OsExit(int status);

// Descriptors. No file is ever created, so open takes no mode.
int OsOpen(const char* path, int flags);
ssize_t OsRead(int fd, void* buf, size_t count);
ssize_t OsWrite(int fd, const void* buf, size_t count);
int OsClose(int fd);
int OsDup2(int oldFd, int newFd);
// fcntl with an int argument (F_GETFD, F_SETFL); the argument is ignored where the command takes
// none.
int OsFcntl(int fd, int cmd, int arg);
int OsStat(const char* path, struct stat* st);
int OsFstat(int fd, struct stat* st);
int OsPoll(struct pollfd* fds, nfds_t count, int timeoutMs);
int OsTcgetattr(int fd, struct termios* tio);
int OsTcsetattr(int fd, int actions, const struct termios* tio);
int OsTcflush(int fd, int queue);
