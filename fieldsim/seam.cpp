// The seam as a daemon process in the simulated box sees it: every call lands in the world, and
// every wait moves the world's clock instead of sleeping. Each start is a fork of the simulator
// taken before any of the daemon's code ran, so its globals are those a fresh process has.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "app/linkwarden.h"
#include "base/os_seam.h"
#include "world.h"

namespace fieldsim {

namespace {

// Descriptors of this daemon process; 0 to 2 are always open (init gives it /dev/null and the
// pipe to logger).
enum { FD_FREE = 0, FD_PORT, FD_PIDFILE, FD_NULL };
struct Fd {
    int kind, flags, port, offset;
    char text[16];
};
const int FD_MAX = 1024;
Fd fds[FD_MAX];
int openFds = 0;

const char kSupervisionBegins[] = "connRefreshInterval = ";

Fd* Lookup(int fd) {
    if (fd < 3 || fd >= FD_MAX || fds[fd].kind == FD_FREE) return nullptr;
    return &fds[fd];
}

int Fail(int err) {
    errno = err;
    return -1;
}

int64_t HeapInUse() { return (int64_t)mallinfo2().uordblks; }

[[noreturn]] void Leave(int code) {
    fflush(stdout);
    world->fdLast = openFds;
    world->heapLast = HeapInUse();
    _exit(code);
}

// After every call: the first broken invariant ends this process and the run.
void Checkpoint() {
    if (world->violation[0]) Leave(EXIT_VIOLATION);
    // A daemon that calls the seam on and on without ever waiting is spinning.
    if (++world->seamCallsSinceWait > 10000000) Violation("daemon-spins", "10000000 calls without a wait");
}

void Wait(int64_t us) {
    CheckTraceSilence();
    if (!AdvanceTo(world->now + us)) Leave(world->violation[0] ? EXIT_VIOLATION : EXIT_RUN_OVER);
    Checkpoint();
}

// The trace: each line with the world's time, into the ring the violation report prints from.
void TraceByte(char c) {
    World& w = *world;
    w.trace[w.traceHead++ % TRACE_RING] = c;
}

char line[200];
int lineLen = 0;

void Stamp() {
    char stamp[32];
    int len = snprintf(stamp, sizeof stamp, "[%11.3f] ", (double)world->now / SEC);
    for (int k = 0; k < len; k++) TraceByte(stamp[k]);
}

ssize_t TraceWrite(void*, const char* buf, size_t n) {
    World& w = *world;
    for (size_t i = 0; i < n; i++) {
        char c = buf[i];
        if (c == '\n') {
            TraceByte(c);
            w.traceMidLine = false;
            if (lineLen > 0) {
                line[lineLen] = '\0';
                memcpy(w.lastLine, line, (size_t)lineLen + 1);
                if (strstr(line, "connection resurrected") || strstr(line, "connection not resurrected"))
                    w.restartWait = false;
                if (const char* r = strstr(line, kSupervisionBegins)) {
                    w.inSupervision = true;
                    w.refreshSetting = atoll(r + strlen(kSupervisionBegins)) * SEC;
                    w.refreshBase = w.now;
                }
            }
            lineLen = 0;
            continue;
        }
        if (!w.traceMidLine) {
            Stamp();
            w.traceMidLine = true;
        }
        TraceByte(c);
        if (lineLen < (int)sizeof line - 1) line[lineLen++] = c;
        if (c != ' ' && c != '\r') w.lastTraceAt = w.now;
    }
    return (ssize_t)n;
}

int Port(const char* path) {
    if (strcmp(path, "/dev/ttyPSC7") == 0) return PORT_DATA;
    if (strcmp(path, "/dev/ttyPSC3") == 0) return PORT_AUX;
    return -1;
}

// A serial read as the tty gives it: VMIN 0 and VTIME t return what has arrived, else wait up to
// t tenths for the first byte and return what has arrived by then.
ssize_t SerialRead(Fd& f, char* buf, size_t count) {
    const SerialPort& p = world->ports[f.port];
    if (PortArrived(f.port) > 0) return PortTake(f.port, buf, (int)count);
    if (f.flags & O_NONBLOCK) return Fail(EAGAIN);
    if (p.vmin == 0 && p.vtime == 0) return 0;
    const int64_t deadline = p.vmin == 0 ? world->now + p.vtime * 100 * MS : world->end + SEC;
    for (;;) {
        int64_t next = PortNextArrival(f.port);
        int64_t until = next >= 0 && next < deadline ? next : deadline;
        if (until - world->now > 3600 * SEC) until = world->now + 3600 * SEC;
        Wait(until - world->now);
        if (PortArrived(f.port) > 0) return PortTake(f.port, buf, (int)count);
        if (world->now >= deadline) return 0;
    }
}

}  // namespace

void WorldNote(const char* fmt, ...) {
    char text[200];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (world->traceMidLine) TraceByte('\n');
    Stamp();
    for (const char* c = "(world) "; *c; c++) TraceByte(*c);
    for (const char* c = text; *c; c++) TraceByte(*c);
    TraceByte('\n');
    world->traceMidLine = false;
}

void Violation(const char* name, const char* detailFmt, ...) {
    World& w = *world;
    if (w.violation[0]) return;
    snprintf(w.violation, sizeof w.violation, "%s", name);
    va_list args;
    va_start(args, detailFmt);
    vsnprintf(w.violationDetail, sizeof w.violationDetail, detailFmt, args);
    va_end(args);
    w.violationAt = w.now;
}

int OpenDescriptors() { return openFds; }

void RunDaemonProcess(int argc, char** argv) {
    cookie_io_functions_t io = {nullptr, TraceWrite, nullptr, nullptr};
    stdout = fopencookie(nullptr, "w", io);
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    int status = RunLinkwarden(argc, argv);
    fflush(stdout);
    exit(status);
}

}  // namespace fieldsim

using namespace fieldsim;

unsigned int OsSleep(unsigned int seconds) {
    World& w = *world;
    if (seconds == 1 && w.inSupervision && w.passes++ >= 2) {
        // A pass top, the aux port open since the first pass: what the daemon holds must not
        // grow from pass to pass. The heap is sampled once an hour.
        CheckPassTop(openFds, w.passes % 3600 == 3 ? HeapInUse() : -1);
    }
    Wait((int64_t)seconds * SEC);
    return 0;
}

int OsUsleep(unsigned int usec) {
    Wait(usec);
    return 0;
}

int OsGettimeofday(struct timeval* tv) {
    int64_t wall = WallUs();
    tv->tv_sec = (time_t)(wall / SEC);
    tv->tv_usec = (suseconds_t)(wall % SEC);
    Checkpoint();
    return 0;
}

time_t OsTime() {
    Checkpoint();
    return (time_t)(WallUs() / SEC);
}

time_t OsMonotonicSeconds() {
    Checkpoint();
    return (time_t)(MonotonicUs() / SEC);
}

int OsSystem(const char* command) {
    int inherited = 0;
    for (int fd = 3; fd < FD_MAX; fd++)
        if (fds[fd].kind != FD_FREE && !(fds[fd].flags & O_CLOEXEC)) inherited++;
    CheckShellCommand(command, inherited);
    int status = RunShell(command);
    Checkpoint();
    return status;
}

int OsKill(pid_t pid, int sig) {
    World& w = *world;
    int result = Fail(ESRCH);
    const Proc* proc = pid > 0 ? FindProc(pid) : nullptr;
    CheckSignal(pid, sig, proc ? proc->name : "");
    if (proc) {
        result = 0;
        if (sig == SIGTERM) w.refreshBase = w.now;
        if (sig == SIGTERM && w.inSupervision) RefreshBegins();
        for (int i = 0; i < 3; i++)
            if (w.pppd[i].phase != PPPD_NONE && w.pppd[i].pid == pid && sig != 0) PppdSignal(i, sig);
    }
    Checkpoint();
    return result;
}

int OsProcessName(pid_t pid, char* name, size_t size) {
    const Proc* proc = FindProc(pid);
    Checkpoint();
    if (!proc || size == 0) return -1;
    snprintf(name, size, "%s", proc->name);
    return 0;
}

void OsOpenlog(const char*, int, int) { Checkpoint(); }
void OsSyslog(int, const char*) { Checkpoint(); }

void OsExit(int status) {
    fflush(stdout);
    exit(status);
}

int OsOpen(const char* path, int flags) {
    Checkpoint();
    int fd = 3;
    while (fd < FD_MAX && fds[fd].kind != FD_FREE) fd++;
    if (fd == FD_MAX) return Fail(EMFILE);
    Fd f = {};
    f.flags = flags;
    f.port = Port(path);
    if (f.port >= 0) {
        f.kind = FD_PORT;
        PortOpened(f.port);
    } else if (strcmp(path, "/var/run/ppp1.pid") == 0) {
        if (!world->pidFileExists) return Fail(ENOENT);
        f.kind = FD_PIDFILE;
        memcpy(f.text, world->pidFile, sizeof f.text);
    } else if (strcmp(path, "/dev/null") == 0) {
        f.kind = FD_NULL;
    } else {
        return Fail(ENOENT);
    }
    fds[fd] = f;
    openFds++;
    return fd;
}

ssize_t OsRead(int fd, void* buf, size_t count) {
    Checkpoint();
    if (fd >= 0 && fd < 3) return 0;
    Fd* f = Lookup(fd);
    if (!f) return Fail(EBADF);
    if (f->kind == FD_PORT) return SerialRead(*f, (char*)buf, count);
    if (f->kind != FD_PIDFILE) return 0;
    size_t left = strlen(f->text) - (size_t)f->offset;
    size_t n = count < left ? count : left;
    memcpy(buf, f->text + f->offset, n);
    f->offset += (int)n;
    return (ssize_t)n;
}

ssize_t OsWrite(int fd, const void* buf, size_t count) {
    Checkpoint();
    if (fd >= 0 && fd < 3) return (ssize_t)count;
    Fd* f = Lookup(fd);
    if (!f) return Fail(EBADF);
    if (f->kind == FD_PIDFILE) return Fail(EBADF);
    if (f->kind == FD_PORT) PortWrite(f->port, (const char*)buf, (int)count);
    return (ssize_t)count;
}

int OsClose(int fd) {
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f) return fd >= 0 && fd < 3 ? 0 : Fail(EBADF);
    if (f->kind == FD_PORT) PortClosed(f->port);
    *f = Fd();
    openFds--;
    return 0;
}

int OsDup2(int oldFd, int newFd) {
    Checkpoint();
    return oldFd >= 0 && newFd >= 0 && newFd < 3 ? newFd : Fail(EBADF);
}

int OsFcntl(int fd, int cmd, int arg) {
    if (fd >= 0 && fd < 3) return 0;  // before main, too: the world may not be there yet
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f) return Fail(EBADF);
    if (cmd == F_GETFD) return (f->flags & O_CLOEXEC) ? FD_CLOEXEC : 0;
    if (cmd == F_GETFL) return f->flags & ~O_CLOEXEC;
    if (cmd == F_SETFL) f->flags = (f->flags & O_CLOEXEC) | (arg & O_NONBLOCK) | (f->flags & O_ACCMODE);
    return 0;
}

int OsStat(const char* path, struct stat* st) {
    Checkpoint();
    memset(st, 0, sizeof *st);
    if (Port(path) >= 0) {
        st->st_mode = S_IFCHR | 0660;
        return 0;
    }
    if (strcmp(path, "/var/run/ppp1.pid") == 0 && world->pidFileExists) {
        st->st_mode = S_IFREG | 0644;
        st->st_size = (off_t)strlen(world->pidFile);
        return 0;
    }
    return Fail(ENOENT);
}

int OsFstat(int fd, struct stat* st) {
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f) return Fail(EBADF);
    memset(st, 0, sizeof *st);
    st->st_mode = f->kind == FD_PIDFILE ? S_IFREG | 0644 : S_IFCHR | 0660;
    return 0;
}

int OsPoll(struct pollfd* pfds, nfds_t count, int timeoutMs) {
    Checkpoint();
    int64_t deadline = world->now + (int64_t)timeoutMs * MS;
    for (;;) {
        int ready = 0;
        int64_t next = -1;
        for (nfds_t i = 0; i < count; i++) {
            Fd* f = Lookup(pfds[i].fd);
            pfds[i].revents = 0;
            if (!f || f->kind != FD_PORT) continue;
            if (PortArrived(f->port) > 0) {
                pfds[i].revents = POLLIN;
                ready++;
            }
            int64_t a = PortNextArrival(f->port);
            if (a >= 0 && (next < 0 || a < next)) next = a;
        }
        if (ready > 0 || world->now >= deadline) return ready;
        Wait((next >= 0 && next < deadline ? next : deadline) - world->now);
    }
}

int OsTcgetattr(int fd, struct termios* tio) {
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f || f->kind != FD_PORT) return Fail(ENOTTY);
    const SerialPort& p = world->ports[f->port];
    memset(tio, 0, sizeof *tio);
    tio->c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(tio, p.speed);
    cfsetospeed(tio, p.speed);
    tio->c_cc[VMIN] = (cc_t)p.vmin;
    tio->c_cc[VTIME] = (cc_t)p.vtime;
    return 0;
}

int OsTcsetattr(int fd, int, const struct termios* tio) {
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f || f->kind != FD_PORT) return Fail(ENOTTY);
    SerialPort& p = world->ports[f->port];
    p.speed = (unsigned)cfgetospeed(tio);
    p.vmin = tio->c_cc[VMIN];
    p.vtime = tio->c_cc[VTIME];
    return 0;
}

int OsTcflush(int fd, int queue) {
    Checkpoint();
    Fd* f = Lookup(fd);
    if (!f || f->kind != FD_PORT) return Fail(ENOTTY);
    if (queue == TCIFLUSH || queue == TCIOFLUSH) PortFlushInput(f->port);
    return 0;
}
