// The real side of the seam's descriptor half: straight calls into the C library. Kept apart
// from the rest of the seam so that unit tests can fake the clock and the shell while the serial
// code still talks to real pseudo-terminals.
#include <fcntl.h>
#include <unistd.h>

#include "base/os_seam.h"

int OsOpen(const char* path, int flags) { return open(path, flags); }
ssize_t OsRead(int fd, void* buf, size_t count) { return read(fd, buf, count); }
ssize_t OsWrite(int fd, const void* buf, size_t count) { return write(fd, buf, count); }
int OsClose(int fd) { return close(fd); }
int OsDup2(int oldFd, int newFd) { return dup2(oldFd, newFd); }
int OsFcntl(int fd, int cmd, int arg) { return fcntl(fd, cmd, arg); }
int OsStat(const char* path, struct stat* st) { return stat(path, st); }
int OsFstat(int fd, struct stat* st) { return fstat(fd, st); }
int OsPoll(struct pollfd* fds, nfds_t count, int timeoutMs) { return poll(fds, count, timeoutMs); }
int OsTcgetattr(int fd, struct termios* tio) { return tcgetattr(fd, tio); }
int OsTcsetattr(int fd, int actions, const struct termios* tio) {
    return tcsetattr(fd, actions, tio);
}
int OsTcflush(int fd, int queue) { return tcflush(fd, queue); }
