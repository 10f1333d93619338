// The one seam between the daemon and the operating-system calls that wait or act on the world:
// sleeps, the clock, shell commands, signals and the names of the processes they go to, syslog
// and process exit. The target build links os_seam.cpp, which calls the C library directly; unit
// tests link a fake with a clock that jumps.
// Serial I/O does not go through here: it is tested over real pseudo-terminals.
#pragma once

#include <stddef.h>
#include <sys/time.h>
#include <sys/types.h>
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
