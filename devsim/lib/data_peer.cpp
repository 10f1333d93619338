// The network side of a data call and the watch on who holds the data port. A call that the modem
// answered with CONNECT carries its bytes to and from a program (a network-side pppd in its own
// network namespace, in a rehearsal); a host that closes the port or drops its line speed to 0
// hangs the call up, as DTR does on the box's UART.
#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "lib/internal.h"

namespace devsim {

namespace {

// A peer told to end gets this long to go before its whole process group is killed.
const int kEndGraceMs = 3000;
// How often the namespace of a starting peer is looked for while its ping setting is not in force.
const int kPingsRetryMs = 200;

std::string NetNamespace(pid_t pid) {
    char path[64];
    char target[128];
    snprintf(path, sizeof path, "/proc/%d/ns/net", (int)pid);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return "";
    target[n] = '\0';
    return target;
}

// A process of the peer's process group that already lives in a network namespace other than
// ours: the network side's own. -1 while there is none.
pid_t PeerNamespaceHolder(pid_t group) {
    const std::string ours = NetNamespace(getpid());
    DIR* dir = opendir("/proc");
    if (!dir) return -1;
    pid_t found = -1;
    while (struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end || getpgid((pid_t)pid) != group) continue;
        const std::string ns = NetNamespace((pid_t)pid);
        if (!ns.empty() && ns != ours) {
            found = (pid_t)pid;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Sets whether the kernel of holder's network namespace answers pings. A forked child enters the
// namespace: /proc/sys/net shows the namespace of the process that opens it.
bool SetPingAnswers(pid_t holder, bool answered) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/net", (int)holder);
    int nsFd = open(path, O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) return false;
    pid_t child = fork();
    if (child == 0) {
        if (setns(nsFd, CLONE_NEWNET) != 0) _exit(1);
        int fd = open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC);
        if (fd < 0) _exit(1);
        _exit(write(fd, answered ? "0\n" : "1\n", 2) == 2 ? 0 : 1);
    }
    close(nsFd);
    if (child < 0) return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool PeerStart(DataPeer& p, int64_t nowMs) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    pid_t child = fork();
    if (child < 0) {
        close(sv[0]);
        close(sv[1]);
        return false;
    }
    if (child == 0) {
        // A process group of its own, so that ending the call reaches everything it started.
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(sv[1], 0);
        dup2(sv[1], 1);
        // Nothing else of ours: a data port descriptor held here would keep the line open.
        close_range(3, ~0U, 0);
        execl("/bin/sh", "sh", "-c", p.command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(child, child);  // also here: the group must exist before any kill reaches it
    close(sv[1]);
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    p.pid = child;
    p.fd = sv[0];
    p.toPort.clear();
    p.toPeer.clear();
    // A fresh namespace answers pings; only a drop has to be put in force, once it exists.
    p.pingsInForce = !p.pingsDropped;
    p.pingsTriedMs = nowMs - kPingsRetryMs;
    return true;
}

void PeerEnd(DataPeer& p, int64_t nowMs) {
    if (p.fd >= 0) close(p.fd);
    p.fd = -1;
    p.toPort.clear();
    p.toPeer.clear();
    if (p.pid > 0) {
        kill(-p.pid, SIGTERM);
        p.ending.push_back({p.pid, nowMs, false});
    }
    p.pid = -1;
}

void PeerReap(DataPeer& p, bool wait) {
    const int64_t startMs = MonoMs();
    for (;;) {
        const int64_t nowMs = MonoMs();
        for (size_t k = 0; k < p.ending.size();) {
            EndingPeer& e = p.ending[k];
            waitpid(e.group, nullptr, WNOHANG);
            if (kill(-e.group, 0) != 0) {
                p.ending.erase(p.ending.begin() + (long)k);
                continue;
            }
            if (!e.killed && nowMs - e.sinceMs >= kEndGraceMs) {
                kill(-e.group, SIGKILL);
                e.killed = true;
            }
            k++;
        }
        if (!wait || p.ending.empty() || nowMs - startMs > kEndGraceMs + 2000) return;
        usleep(20000);
    }
}

void PeerPings(DataPeer& p, int64_t nowMs) {
    if (p.pid <= 0 || p.pingsInForce) return;
    if (nowMs - p.pingsTriedMs < kPingsRetryMs) return;
    p.pingsTriedMs = nowMs;
    pid_t holder = PeerNamespaceHolder(p.pid);
    if (holder > 0 && SetPingAnswers(holder, !p.pingsDropped)) p.pingsInForce = true;
}

int LineWatchAdd(const std::string& slaveName) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    if (inotify_add_watch(fd, slaveName.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int LineWatchRead(int fd, int& holders) {
    int closedToNone = 0;
    alignas(struct inotify_event) char buf[1024];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event* e = (const struct inotify_event*)(buf + at);
            if (e->mask & IN_OPEN) holders++;
            if (e->mask & IN_CLOSE) {
                if (holders > 0) holders--;
                if (holders == 0) closedToNone = 1;
            }
            at += (ssize_t)sizeof *e + e->len;
        }
    }
    return closedToNone;
}

}  // namespace devsim
