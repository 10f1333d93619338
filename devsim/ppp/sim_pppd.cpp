// Stand-in for pppd on a PC without PPP in the kernel. It takes only the command line the daemon
// uses and, like pppd without nodetach, puts itself into the background first; there it dials
// through the connect script over the data port, keeps the line, writes the pid file only once the
// dial connected, publishes the link address in the store (the ip-up hook's job on the device)
// and runs until SIGTERM. A failed dial ends it without a pid file. Faults of the simulated world come from
// <root>/devsim/world/ppp_fault. Everything it does goes to <root>/devsim/pppd.log.
//
// Exit statuses follow pppd's where one fits: 2 bad options and 1 the "fail-start" fault (a pppd
// that cannot start at all) come from the command itself; the background pppd ends with 7 when
// the port could not be opened, 8 when the connect script failed, 16 when the modem hung up.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cds.h"
#include "world.h"

namespace {

const char kAddressLeaf[] = "/U6C/Comms/EthPort/3/General/IPAddress/Value";
const char kDefaultAddress[] = "10.170.3.25";

std::string g_root;
std::string g_pidFile;
volatile sig_atomic_t g_stop = 0;

void Say(const std::string& text) { simppp::Log(g_root, "pppd.log", "pppd", text); }

void OnStop(int) { g_stop = 1; }

// The one command line the daemon runs, with every path under the sandbox root.
std::vector<std::string> ExpectedArgs(const std::string& root) {
    return {"debug",  "noipdefault", "usepeerdns", "noauth",  "ifname",
            "ppp1",   root + "/dev/ttyPSC7",       "115200",  "connect",
            root + "/sbin/chat -v -f " + root + "/etc/ppp/chat.cellmodem.data"};
}

// Raw 8N1 at 115200 without modem control, as pppd sets a port it was given "115200".
// Returns the open descriptor or -1.
int OpenDataPort(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Say("cannot open " + path + ": " + strerror(errno));
        return -1;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        Say("tcgetattr " + path + ": " + strerror(errno));
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    struct termios back;
    if (tcsetattr(fd, TCSANOW, &tio) != 0 || tcgetattr(fd, &back) != 0 ||
        cfgetospeed(&back) != B115200) {
        Say("cannot set " + path + " to 115200 raw");
        close(fd);
        return -1;
    }
    // The connect script reads the port with its own time-out: hand it a blocking descriptor.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// Runs the connect command through /bin/sh with the port as its standard input and output and
// the log as its standard error. Returns the script's exit status (-1 when it did not run).
int RunConnect(int port, const std::string& command) {
    std::string logPath = g_root + "/devsim/pppd.log";
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(port, 0);
        dup2(port, 1);
        if (log >= 0) dup2(log, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

// Writes "<pid>\n" through a temporary file, so that a reader never sees half a number.
bool WritePidFile(int pid) {
    std::string tmp = g_pidFile + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) {
        Say("cannot write " + tmp + ": " + strerror(errno));
        return false;
    }
    fprintf(f, "%d\n", pid);
    bool ok = fclose(f) == 0 && rename(tmp.c_str(), g_pidFile.c_str()) == 0;
    if (!ok) Say("cannot write " + g_pidFile);
    return ok;
}

// The address the peer gave us, as text in the leaf that the daemon reads after bring-up.
void PublishAddress() {
    std::string address = simppp::WorldLine(g_root, "link_address", kDefaultAddress);
    toolkit::CCds store(pcd_init());
    toolkit::CElement element;
    element.set_string(address);
    api_status_t status = CDS_STATUS_OK;
    std::string unused;
    int rc = store.set_leaf(kAddressLeaf, element, status, 0, unused);
    if (rc == 0 && status == CDS_STATUS_OK)
        Say("local IP address " + address + " published in " + kAddressLeaf);
    else
        Say("cannot publish the local address in " + std::string(kAddressLeaf));
}

// The modem leaves data mode on the escape; on the device a closing port drops DTR instead,
// which a pseudo-terminal cannot do.
void ReleaseLine(int port) {
    static const char kEscape[] = "+++";
    ssize_t n = write(port, kEscape, sizeof kEscape - 1);
    (void)n;
    tcdrain(port);
    close(port);
}

void RemoveOwnPidFile() {
    if (simppp::ReadPidFile(g_pidFile) == getpid()) unlink(g_pidFile.c_str());
}

// A pid that belonged to a process which has already ended.
int DeadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    if (child < 0) return 0;
    waitpid(child, nullptr, 0);
    return child;
}

// Everything a detached daemon must not hold: the caller's terminal, pipes and ports.
void DropInheritedFiles(int keepA, int keepB) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 4096) max = 4096;
    for (int fd = 3; fd < max; fd++)
        if (fd != keepA && fd != keepB) close(fd);
}

// The detached pppd, once the connect script has connected: holds the line until told to stop,
// the modem hangs up, or a fault ends it.
int RunLink(int port, const std::string& fault) {
    if (fault == "stale-pidfile") {
        int dead = DeadPid();
        WritePidFile(dead);
        Say("fault stale-pidfile: pid file names dead process " + std::to_string(dead));
        ReleaseLine(port);
        return 0;
    }
    if (fault == "no-pidfile")
        Say("fault no-pidfile: no pid file written");
    else
        WritePidFile(getpid());
    PublishAddress();
    Say("link up on ppp1");

    double dieAt = -1;
    int dieAfter = 0;
    if (sscanf(fault.c_str(), "die-after %d", &dieAfter) == 1 && dieAfter >= 0)
        dieAt = simppp::MonotonicSeconds() + dieAfter;

    char drain[512];
    while (!g_stop) {
        if (dieAt >= 0 && simppp::MonotonicSeconds() >= dieAt) {
            Say("fault die-after: dying, pid file left behind");
            ReleaseLine(port);
            _exit(1);
        }
        struct pollfd p = {port, POLLIN, 0};
        int r = poll(&p, 1, 200);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t got = read(port, drain, sizeof drain);  // PPP frames of the peer: dropped
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                Say("modem hangup");
                RemoveOwnPidFile();
                close(port);
                return 16;
            }
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            Say("modem hangup");
            RemoveOwnPidFile();
            close(port);
            return 16;
        }
    }
    Say("terminating on signal; releasing the line");
    RemoveOwnPidFile();
    ReleaseLine(port);
    return 0;
}

// The background pppd: dials through the connect script, then runs the link. Whatever happens
// here, the command that started pppd has already returned 0.
int RunDetached(const std::vector<std::string>& args, const std::string& fault) {
    int port = OpenDataPort(args[6]);
    if (port < 0) return 7;
    int script = RunConnect(port, args[9]);
    if (script != 0) {
        Say("connect script failed, status " + std::to_string(script));
        close(port);
        return 8;
    }
    Say("connect script finished");
    return RunLink(port, fault);
}

}  // namespace

int main(int argc, char** argv) {
    simppp::LeaveFakeClock(argv);
    g_root = simppp::SandboxRoot();
    g_pidFile = g_root + "/var/run/ppp1.pid";

    std::vector<std::string> expected = ExpectedArgs(g_root);
    std::vector<std::string> got(argv + 1, argv + argc);
    std::string line;
    for (const std::string& a : got) line += " '" + a + "'";
    Say("command line:" + line);
    if (got != expected) {
        std::string want;
        for (const std::string& a : expected) want += " '" + a + "'";
        Say("unexpected command line; expected:" + want);
        fprintf(stderr, "pppd: unexpected command line (see %s/devsim/pppd.log)\n", g_root.c_str());
        return 2;
    }

    std::string fault = simppp::WorldLine(g_root, "ppp_fault", "none");
    if (fault == "fail-start") {
        Say("fault fail-start: exiting 1");
        return 1;
    }

    // Without nodetach pppd goes into the background before it opens the port and dials: the
    // command returns 0 at once, and a dial that fails later only shows as a pid file that
    // never appears.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        close(pipeFds[0]);
        setsid();
        DropInheritedFiles(pipeFds[1], -1);
        signal(SIGHUP, OnStop);
        signal(SIGINT, OnStop);
        signal(SIGTERM, OnStop);
        signal(SIGPIPE, SIG_IGN);
        simppp::Log(g_root, "pppd.pids", "pppd", "started");
        close(pipeFds[1]);  // the caller's command returns now
        _exit(RunDetached(expected, fault));
    }
    close(pipeFds[1]);
    char one = 0;
    ssize_t n;
    do {
        n = read(pipeFds[0], &one, 1);
    } while (n < 0 && errno == EINTR);
    return 0;
}
