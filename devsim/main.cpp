// linkwarden-devsim: the simulated modem and its world as a foreground program, scripted through a
// Unix socket, so that the real linkwarden binary can run on a PC. Also its own control client.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/internal.h"
#include "sim_device.h"

namespace {

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int sig) { stopSignal = sig; }

void Usage(FILE* out) {
    fprintf(out, "%s",
            "Usage: linkwarden-devsim --root DIR [--type cell|analog|none] [--rate BPS]\n"
            "                         [--data-peer CMD] [--set \"CONTROL LINE\"]...\n"
            "       linkwarden-devsim --root DIR ctl \"CONTROL LINE\"\n"
            "\n"
            "Plays the world outside linkwarden on a PC: the modem behind two pseudo-terminals\n"
            "linked at DIR/dev/ttyPSC7 (data port) and DIR/dev/ttyPSC3 (aux port), the device's\n"
            "service that acts on the modem power and reset requests in the configuration store,\n"
            "and the network files read by the PPP stand-ins. Runs in the foreground until\n"
            "SIGTERM or SIGINT, then removes its links, socket and pid file.\n"
            "\n"
            "Options\n"
            "  --root DIR      the sandbox folder (required)\n"
            "  --type T        cell (default), analog, or none (no ports at all)\n"
            "  --rate BPS      the modem's current and saved line rate (default 115200)\n"
            "  --set LINE      a control line run at start, in order; may be repeated\n"
            "  --data-peer CMD each call the modem connects on the data port runs /bin/sh -c CMD\n"
            "                  with its standard input and output as the network side: the call's\n"
            "                  bytes pass untouched both ways (PPP frames to a network-side pppd,\n"
            "                  e.g. ppp/network-side). The host hangs up by closing the port or\n"
            "                  setting its line speed to 0; the modem then ends CMD, returns to\n"
            "                  command mode and clears the line. Without it the PPP stand-ins\n"
            "                  play the network.\n"
            "  ctl LINE        send one control line to the running simulator and print the answer;\n"
            "                  exit 0 for ok or text, 1 for error:, 2 when no simulator answers\n"
            "  --help          this text\n"
            "\n"
            "Files (under DIR/devsim)\n"
            "  devsim.pid      the process id while running\n"
            "  commands.log    every command line received: \"<time> <port> <command>\"\n"
            "  control.sock    the control socket: one line in, the answer out, then close\n"
            "  world/          ppp_fault, pings, link_address: one line each\n"
            "\n"
            "Environment\n"
            "  CDS_STORE       the configuration store folder the power service watches; without\n"
            "                  a usable store the power service stays off\n"
            "\n");
    fprintf(out, "%s\n", devsim::ControlHelp());
}

bool SocketAddress(const std::string& path, struct sockaddr_un& addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "linkwarden-devsim: socket path too long: %s\n", path.c_str());
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int Connect(const std::string& path) {
    struct sockaddr_un addr;
    if (!SocketAddress(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += (size_t)n;
    }
    return true;
}

// Reads until EOF, a newline (when untilLine) or timeoutMs of quiet.
std::string ReadText(int fd, bool untilLine, int timeoutMs, size_t max) {
    std::string got;
    while (got.size() < max) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[1024];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, (size_t)n);
        if (untilLine && got.find('\n') != std::string::npos) break;
    }
    return got;
}

int RunClient(const std::string& root, const std::string& line) {
    const std::string sock = root + "/devsim/control.sock";
    int fd = Connect(sock);
    if (fd < 0) {
        fprintf(stderr, "linkwarden-devsim: no simulator answers at %s\n", sock.c_str());
        return 2;
    }
    WriteAll(fd, line + "\n");
    shutdown(fd, SHUT_WR);
    std::string answer = ReadText(fd, false, 10000, 1 << 20);
    close(fd);
    if (answer.empty()) {
        fprintf(stderr, "linkwarden-devsim: no answer from %s\n", sock.c_str());
        return 2;
    }
    fputs(answer.c_str(), stdout);
    if (answer.back() != '\n') fputc('\n', stdout);
    return answer.rfind("error:", 0) == 0 ? 1 : 0;
}

// One client: one line in, the answer and a newline out.
void ServeClient(devsim::SimDevice& sim, int fd) {
    std::string line = ReadText(fd, true, 2000, 4096);
    size_t nl = line.find('\n');
    if (nl != std::string::npos) line.resize(nl);
    WriteAll(fd, sim.Control(line) + "\n");
}

int RunServer(const std::string& root, const std::string& type, int rate,
              const std::string& dataPeer, const std::vector<std::string>& sets) {
    const std::string dir = root + "/devsim";
    const std::string sock = dir + "/control.sock";
    const std::string pidFile = dir + "/devsim.pid";
    if (devsim::MakeDirs(dir) != 0) {
        fprintf(stderr, "linkwarden-devsim: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    int other = Connect(sock);
    if (other >= 0) {
        close(other);
        fprintf(stderr, "linkwarden-devsim: a simulator already serves %s\n", sock.c_str());
        return 1;
    }

    devsim::SimDevice sim(root);
    std::string answer = sim.Control("type " + type);
    if (answer == "ok" && rate > 0) answer = sim.Control("rate " + std::to_string(rate));
    if (answer == "ok" && rate > 0) answer = sim.Control("saved-rate " + std::to_string(rate));
    if (answer != "ok") {
        fprintf(stderr, "linkwarden-devsim: %s\n", answer.c_str());
        return 1;
    }
    if (sim.Control("power-service on") != "ok")
        fprintf(stderr, "linkwarden-devsim: no configuration store (CDS_STORE): power service off\n");
    sim.SetCommandFile(dir + "/commands.log");
    sim.SetDataPeer(dataPeer);
    if (!sim.Start()) return 1;
    for (const std::string& line : sets) {
        answer = sim.Control(line);
        if (answer.rfind("error:", 0) == 0) {
            fprintf(stderr, "linkwarden-devsim: --set \"%s\": %s\n", line.c_str(), answer.c_str());
            return 1;
        }
    }

    struct sockaddr_un addr;
    if (!SocketAddress(sock, addr)) return 1;
    unlink(sock.c_str());  // left behind by a simulator that was killed
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0 || bind(lfd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(lfd, 8) != 0) {
        fprintf(stderr, "linkwarden-devsim: cannot serve %s: %s\n", sock.c_str(), strerror(errno));
        return 1;
    }
    FILE* pf = fopen(pidFile.c_str(), "w");
    if (pf) {
        fprintf(pf, "%d\n", (int)getpid());
        fclose(pf);
    }
    printf("linkwarden-devsim: %s modem, data %s, aux %s, control %s\n", type.c_str(),
           sim.PortPath(0).c_str(), sim.PortPath(1).c_str(), sock.c_str());
    fflush(stdout);

    while (!stopSignal) {
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) continue;
        ServeClient(sim, cfd);
        close(cfd);
    }

    close(lfd);
    unlink(sock.c_str());
    unlink(pidFile.c_str());
    sim.Stop();
    printf("linkwarden-devsim: stopped by signal %d\n", (int)stopSignal);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string root;
    std::string type = "cell";
    int rate = 0;
    std::string dataPeer;
    std::vector<std::string> sets;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--root" && hasValue) {
            root = argv[++i];
        } else if (a == "--type" && hasValue) {
            type = argv[++i];
        } else if (a == "--rate" && hasValue) {
            rate = atoi(argv[++i]);
            if (rate <= 0) {
                fprintf(stderr, "linkwarden-devsim: --rate needs a line rate in bps\n");
                return 1;
            }
        } else if (a == "--data-peer" && hasValue) {
            dataPeer = argv[++i];
        } else if (a == "--set" && hasValue) {
            sets.push_back(argv[++i]);
        } else if (a == "ctl" && hasValue && i + 2 == argc) {
            if (root.empty()) break;
            return RunClient(root, argv[i + 1]);
        } else {
            fprintf(stderr, "linkwarden-devsim: unexpected argument '%s' (try --help)\n", a.c_str());
            return 1;
        }
    }
    if (root.empty()) {
        fprintf(stderr, "linkwarden-devsim: --root DIR is required (try --help)\n");
        return 1;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (type != "cell" && type != "analog" && type != "none") {
        fprintf(stderr, "linkwarden-devsim: --type is cell, analog or none\n");
        return 1;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return RunServer(root, type, rate, dataPeer, sets);
}
