// The simulator's engine: two pseudo-terminals standing in for the modem's UARTs, a thread that
// serves them, and the control language that scripts the modem and the world around it.
#include "sim_device.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include "lib/internal.h"
#include "lib/modem.h"

namespace devsim {

namespace {

// Serve's poll slots beyond the two ports.
const int kPeerSlot = 2;
const int kWatchSlot = 3;

const char* const kLinkNames[2] = {"ttyPSC7", "ttyPSC3"};
const char* const kPortNames[2] = {"data", "aux"};

// What a UART at the wrong speed makes of the host's bytes.
const char kNoise[] = "\xe6\x9e\x98\xfc\x80";

// A flooding line: 8-bit bytes only, so no echo, no "OK", no NUL and no line end can appear.
const size_t kFloodChunk = 512;

// A command line longer than this is cut; real modems keep far less.
const size_t kLineMax = 512;
// Pieces of a split answer go out this far apart.
const int kSplitGapMs = 50;
// Bytes of a data call held on their way in either direction; beyond this a side that does not
// read loses them, as behind a modem's full buffer.
const size_t kRelayMax = 65536;
const char kNoCarrier[] = "\r\nNO CARRIER\r\n";

struct Pending {
    int64_t dueMs;
    std::string bytes;
};

struct Port {
    int master = -1;
    int slave = -1;  // our own descriptor: keeps the line alive while the host closes and reopens
    std::string slaveName;
    std::string line;
    int plusRun = 0;  // '+' characters in a row while in data mode
    std::deque<Pending> out;
};

// Straight from the kernel: a daemon under a faked clock must not move the log's time stamps.
double RealNow() {
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An identity answer as the control line gives it: printable text in which "\xHH" stands for any
// byte, so that NULs and 8-bit bytes can be put inside an answer. CR and LF are refused: they
// would frame the answer anew. False for anything else, or for more than max bytes.
bool IdentityText(const std::string& s, size_t max, std::string& out) {
    out.clear();
    for (size_t k = 0; k < s.size(); k++) {
        unsigned char c = (unsigned char)s[k];
        if (c < 0x20 || c > 0x7e) return false;
        if (c == '\\' && k + 3 < s.size() && s[k + 1] == 'x' && HexDigit(s[k + 2]) >= 0 &&
            HexDigit(s[k + 3]) >= 0) {
            c = (unsigned char)(HexDigit(s[k + 2]) * 16 + HexDigit(s[k + 3]));
            if (c == '\r' || c == '\n') return false;
            k += 3;
        }
        out.push_back((char)c);
    }
    return out.size() <= max;
}

}  // namespace

struct SimDevice::Impl {
    std::string root;
    mutable std::mutex mu;
    Modem modem;
    Port ports[2];
    bool started = false;
    bool plugged = true;
    int bootMs = 300;
    unsigned generation = 0;  // bumped whenever descriptors change under the poll thread
    std::vector<LogEntry> log;
    std::string logFile;
    PowerService power;
    DataPeer peer;
    int lineWatch = -1;  // inotify descriptor watching the data port's slave; -1 for none
    int holders = 0;     // open descriptions of the data port, the simulator's own not counted
    std::thread thread;
    std::atomic<bool> stopping{false};

    std::string LinkPath(int i) const { return root + "/dev/" + kLinkNames[i]; }
    std::string WorldDir() const { return root + "/devsim/world"; }

    bool OpenPorts();
    void ClosePorts();
    void Serve();
    void Receive(int i, const char* data, size_t n);
    void LineDone(int i);
    void Queue(int i, const std::string& bytes, int64_t nowMs, bool faults);
    void SendDue(int64_t nowMs);
    void Flood();
    void StartCall(std::string& answer, int64_t nowMs);
    void EndCall(bool noCarrier, int64_t nowMs);
    void ClearDataLine();
    void Relay(int64_t nowMs);
    void WatchHangUp(bool closed, int64_t nowMs);
    int64_t NextDueMs() const;
    void SetType(int type);
    std::string Status() const;
    std::string Run(const std::string& line);
};

bool SimDevice::Impl::OpenPorts() {
    for (int i = 0; i < 2; i++) {
        Port& p = ports[i];
        char name[128];
        if (openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0) {
            fprintf(stderr, "devsim: openpty failed: %s\n", strerror(errno));
            ClosePorts();
            return false;
        }
        p.slaveName = name;
        struct termios t;
        if (tcgetattr(p.slave, &t) == 0) {
            cfmakeraw(&t);
            // Start at the modem's own rate; the host sets what it wants when it configures.
            unsigned int speed = SpeedOfRate(modem.rate);
            if (speed != 0) {
                cfsetispeed(&t, speed);
                cfsetospeed(&t, speed);
            }
            tcsetattr(p.slave, TCSANOW, &t);
        }
        fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
        fcntl(p.master, F_SETFD, FD_CLOEXEC);
        fcntl(p.slave, F_SETFD, FD_CLOEXEC);
        const std::string link = LinkPath(i);
        unlink(link.c_str());  // a stale link from an earlier run
        if (symlink(name, link.c_str()) != 0) {
            fprintf(stderr, "devsim: cannot link %s: %s\n", link.c_str(), strerror(errno));
            ClosePorts();
            return false;
        }
    }
    if (!peer.command.empty()) {
        lineWatch = LineWatchAdd(ports[PORT_DATA].slaveName);
        holders = 0;
        if (lineWatch < 0)
            fprintf(stderr, "devsim: cannot watch %s: a closed port will not hang up the call\n",
                    ports[PORT_DATA].slaveName.c_str());
    }
    generation++;
    return true;
}

void SimDevice::Impl::ClosePorts() {
    if (peer.pid > 0) PeerEnd(peer, MonoMs());
    if (lineWatch >= 0) close(lineWatch);
    lineWatch = -1;
    for (int i = 0; i < 2; i++) {
        Port& p = ports[i];
        if (p.master >= 0) close(p.master);
        if (p.slave >= 0) close(p.slave);
        if (!p.slaveName.empty()) unlink(LinkPath(i).c_str());
        p = Port();
    }
    generation++;
}

void SimDevice::Impl::Queue(int i, const std::string& bytes, int64_t nowMs, bool faults) {
    if (bytes.empty()) return;
    int delay = faults ? modem.delayMs : 0;
    int pieces = faults ? modem.split : 1;
    if (pieces < 1) pieces = 1;
    if ((size_t)pieces > bytes.size()) pieces = (int)bytes.size();
    size_t at = 0;
    for (int k = 0; k < pieces; k++) {
        size_t len = (bytes.size() - at) / (size_t)(pieces - k);
        ports[i].out.push_back({nowMs + delay + (int64_t)k * kSplitGapMs, bytes.substr(at, len)});
        at += len;
    }
}

void SimDevice::Impl::SendDue(int64_t nowMs) {
    for (Port& p : ports) {
        // The power service may have switched the modem off with answers still on their way.
        if (!modem.powered) p.out.clear();
        while (!p.out.empty() && p.out.front().dueMs <= nowMs) {
            const std::string& b = p.out.front().bytes;
            if (p.master >= 0) {
                // A host that never reads loses what does not fit, as with a real UART.
                ssize_t w = write(p.master, b.data(), b.size());
                (void)w;
            }
            p.out.pop_front();
        }
    }
}

// A port in flood carries nothing but noise, as fast as the line takes it; answers drown in it.
void SimDevice::Impl::Flood() {
    static char chunk[kFloodChunk];
    if (chunk[0] == 0)
        for (size_t k = 0; k < sizeof chunk; k++) chunk[k] = (char)(0x80 + k % 0x40);
    for (int i = 0; i < 2; i++) {
        Port& p = ports[i];
        if (!(modem.flood & (1 << i))) continue;
        p.out.clear();
        if (p.master < 0) continue;
        ssize_t w = write(p.master, chunk, sizeof chunk);  // a full line refuses the rest
        (void)w;
    }
}

int64_t SimDevice::Impl::NextDueMs() const {
    int64_t next = -1;
    for (const Port& p : ports)
        for (const Pending& q : p.out)
            if (next < 0 || q.dueMs < next) next = q.dueMs;
    return next;
}

void SimDevice::Impl::Receive(int i, const char* data, size_t n) {
    Port& p = ports[i];
    const int64_t now = MonoMs();
    if (modem.type == MODEM_NONE) return;
    if (modem.type == MODEM_CELL) {
        // The host's line speed against the modem's: mismatched bytes are noise to the UART.
        struct termios t;
        unsigned int hostSpeed = 0;
        if (p.slave >= 0 && tcgetattr(p.slave, &t) == 0) hostSpeed = cfgetospeed(&t);
        if (hostSpeed != SpeedOfRate(modem.rate)) {
            p.line.clear();
            if (modem.garbage && modem.powered && now >= modem.readyAtMs && !modem.silent)
                Queue(i, kNoise, now, false);
            return;
        }
    }
    if (i == PORT_DATA && modem.dataMode && peer.pid > 0) {
        // The call's bytes go to the network untouched. The escape counts only alone in its
        // read, standing in for the guard time around it: PPP frames may carry "+++".
        if (n == 3 && memcmp(data, "+++", 3) == 0) {
            modem.dataMode = false;
            Queue(i, "\r\nOK\r\n", now, true);
        } else {
            peer.toPeer.append(data, std::min(n, kRelayMax - std::min(kRelayMax, peer.toPeer.size())));
        }
        return;
    }
    for (size_t k = 0; k < n; k++) {
        const char c = data[k];
        if (i == PORT_DATA && modem.dataMode) {
            // The call's bytes are not commands; only the escape brings the modem back.
            p.plusRun = c == '+' ? p.plusRun + 1 : 0;
            if (p.plusRun == 3) {
                p.plusRun = 0;
                modem.dataMode = false;
                if (modem.powered) Queue(i, "\r\nOK\r\n", now, true);
            }
            continue;
        }
        if (c == '\n') continue;
        if (c == '\r') {
            LineDone(i);
            p.line.clear();
            continue;
        }
        if (p.line.size() < kLineMax) p.line.push_back(c);
    }
}

void SimDevice::Impl::LineDone(int i) {
    const std::string line = ports[i].line;
    if (line.empty()) return;
    LogEntry e{RealNow(), i, line};
    log.push_back(e);
    if (!logFile.empty()) {
        FILE* f = fopen(logFile.c_str(), "a");
        if (f) {
            fprintf(f, "%.3f %s %s\n", e.time, kPortNames[i], line.c_str());
            fclose(f);
        }
    }
    const int64_t now = MonoMs();
    if (!modem.powered || now < modem.readyAtMs || modem.silent) return;
    if (modem.type == MODEM_ANALOG && i != PORT_DATA) return;  // an analog modem has one port
    if (!modem.noanswer.empty()) {
        const std::string u = UpperText(line);
        const std::string& na = modem.noanswer;
        if (u.compare(0, na.size(), na) == 0 &&
            (u.size() == na.size() || u[na.size()] == '=' || u[na.size()] == '?'))
            return;
    }
    const bool wasInCall = modem.inCall;
    std::string answer = ModemAnswer(modem, i, line);
    if (i == PORT_DATA && !wasInCall && modem.inCall && !peer.command.empty())
        StartCall(answer, now);
    if (modem.type == MODEM_ANALOG) {
        if (modem.analogReply == ANALOG_REPLY_NONE) answer.clear();
        if (modem.analogReply == ANALOG_REPLY_SHORT && answer.size() > 5) answer.resize(5);
    }
    Queue(i, answer, now, true);
}

// The modem said CONNECT: the network side of the call starts. When it cannot, the call fails.
void SimDevice::Impl::StartCall(std::string& answer, int64_t nowMs) {
    generation++;
    if (PeerStart(peer, nowMs)) return;
    fprintf(stderr, "devsim: cannot start the network side: %s\n", strerror(errno));
    modem.inCall = false;
    modem.dataMode = false;
    answer = answer.substr(0, answer.rfind("\r\nCONNECT")) + kNoCarrier;
}

// The call is over: the network side goes, the modem is back in command mode.
void SimDevice::Impl::EndCall(bool noCarrier, int64_t nowMs) {
    if (peer.pid > 0) {
        PeerEnd(peer, nowMs);
        generation++;
    }
    const bool was = modem.inCall;
    modem.inCall = false;
    modem.dataMode = false;
    ports[PORT_DATA].plusRun = 0;
    if (was && noCarrier) Queue(PORT_DATA, kNoCarrier, nowMs, false);
}

// A UART drops what nobody holds the port for; a pseudo-terminal would keep it for the next
// program that opens the port (leftover PPP frames, a stale "NO CARRIER" in chat's way).
void SimDevice::Impl::ClearDataLine() {
    Port& p = ports[PORT_DATA];
    p.out.clear();
    p.line.clear();
    p.plusRun = 0;
    if (p.slave >= 0) tcflush(p.slave, TCIOFLUSH);
    if (p.master >= 0) {
        tcflush(p.master, TCIOFLUSH);
        char buf[512];
        while (read(p.master, buf, sizeof buf) > 0) {
        }
    }
}

// The host hangs up as pppd does on the box: it closes the port (DTR drops with the last close)
// or sets its line speed to 0.
void SimDevice::Impl::WatchHangUp(bool closed, int64_t nowMs) {
    Port& p = ports[PORT_DATA];
    bool speedZero = false;
    struct termios t;
    if (modem.inCall && p.slave >= 0 && tcgetattr(p.slave, &t) == 0) speedZero = cfgetospeed(&t) == B0;
    if (closed || speedZero) {
        EndCall(false, nowMs);
        ClearDataLine();
    }
    // The last close of a serial port gives it back its plain line discipline. The simulator's
    // own hold on the slave keeps that close from being the last, so a pppd killed outright would
    // leave its PPP discipline behind, and every write of the next chat would be refused.
    int plain = N_TTY;
    if (closed && p.slave >= 0) ioctl(p.slave, TIOCSETD, &plain);
}

// Moves the call's bytes between the data port and the network side.
void SimDevice::Impl::Relay(int64_t nowMs) {
    Port& p = ports[PORT_DATA];
    if (peer.pid > 0 && !modem.inCall) {  // hung up by ATH, power, unplug or the network
        PeerEnd(peer, nowMs);
        generation++;
    }
    if (peer.fd >= 0 && !peer.toPeer.empty()) {
        ssize_t w = write(peer.fd, peer.toPeer.data(), peer.toPeer.size());
        if (w > 0) peer.toPeer.erase(0, (size_t)w);
    }
    // The network's bytes follow the modem's own answers (CONNECT first).
    if (!peer.toPort.empty() && p.out.empty() && p.master >= 0) {
        ssize_t w = write(p.master, peer.toPort.data(), peer.toPort.size());
        if (w > 0) peer.toPort.erase(0, (size_t)w);
    }
    PeerPings(peer, nowMs);
    PeerReap(peer, false);
}

void SimDevice::Impl::Serve() {
    while (!stopping.load()) {
        struct pollfd fds[4];
        int idx[4];
        int nfds = 0;
        unsigned gen;
        int timeoutMs = 20;
        {
            std::lock_guard<std::mutex> lock(mu);
            gen = generation;
            for (int i = 0; i < 2; i++) {
                if (ports[i].master < 0) continue;
                fds[nfds].fd = ports[i].master;
                fds[nfds].events = POLLIN;
                fds[nfds].revents = 0;
                idx[nfds++] = i;
            }
            if (peer.fd >= 0 && peer.toPort.size() < kRelayMax) {
                fds[nfds] = {peer.fd, POLLIN, 0};
                idx[nfds++] = kPeerSlot;
            }
            if (lineWatch >= 0) {
                fds[nfds] = {lineWatch, POLLIN, 0};
                idx[nfds++] = kWatchSlot;
            }
            if (!peer.toPort.empty() || !peer.toPeer.empty()) timeoutMs = 2;
            int64_t due = NextDueMs();
            if (due >= 0) {
                int64_t wait = due - MonoMs();
                if (wait < timeoutMs) timeoutMs = wait < 0 ? 0 : (int)wait;
            }
        }
        int r = poll(nfds ? fds : nullptr, (nfds_t)nfds, timeoutMs);
        std::lock_guard<std::mutex> lock(mu);
        bool closed = false;
        if (r > 0 && gen == generation) {
            for (int k = 0; k < nfds; k++) {
                if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (idx[k] == kWatchSlot) {
                    closed = LineWatchRead(lineWatch, holders) == 1;
                    continue;
                }
                if (idx[k] != kPeerSlot && !(fds[k].revents & POLLIN)) continue;
                char buf[4096];
                ssize_t n = read(fds[k].fd, buf, sizeof buf);
                if (idx[k] != kPeerSlot) {
                    if (n > 0) Receive(idx[k], buf, (size_t)n);
                } else if (n > 0) {
                    // A silent network sends nothing; in command mode the modem has no
                    // call to deliver to.
                    if (!peer.silent && modem.dataMode) peer.toPort.append(buf, (size_t)n);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    // The network side ended: the call is lost as the network drops it.
                    EndCall(true, MonoMs());
                }
            }
        }
        const int64_t now = MonoMs();
        if (!peer.command.empty()) {
            WatchHangUp(closed, now);
            Relay(now);
        }
        Flood();  // first: a flooded port's answers never go out
        SendDue(now);
        PowerServiceTick(power, modem, now, bootMs);
    }
}

void SimDevice::Impl::SetType(int type) {
    const int old = modem.type;
    ModemFactory(modem, type);
    if (!started) return;
    if (type == MODEM_NONE && old != MODEM_NONE) ClosePorts();
    if (type != MODEM_NONE && old == MODEM_NONE && plugged) OpenPorts();
}

std::string SimDevice::Impl::Status() const {
    static const char* const kTypes[] = {"none", "cell", "analog"};
    std::ostringstream s;
    const Modem& m = modem;
    s << "type " << kTypes[m.type] << "\n"
      << "power " << (m.powered ? "on" : "off") << "\n"
      << "ready " << (m.powered && MonoMs() >= m.readyAtMs ? "yes" : "no") << "\n"
      << "plugged " << (plugged ? "yes" : "no") << "\n"
      << "rate " << m.rate << "\n"
      << "saved-rate " << m.savedRate << "\n"
      << "echo " << (m.echo ? "on" : "off") << "\n"
      << "verbose " << (m.verbose ? "on" : "off") << "\n"
      << "cmee " << m.cmee << "\n"
      << "icmp " << m.icmp << "\n"
      << "portcfg " << m.portcfgRequested << "," << m.portcfgActive << "\n"
      << "s0 " << m.s0 << "\n"
      << "sim " << (m.simPresent ? "present" : "missing") << "\n"
      << "call " << (m.inCall ? "up" : "down") << "\n"
      << "data-mode " << (m.dataMode ? "on" : "off") << "\n"
      << "network " << (!m.dialOk ? "refuse" : peer.silent ? "silent" : "normal") << "\n"
      << "pings " << (peer.pingsDropped ? "dropped" : "answered") << "\n"
      << "data-peer " << (peer.command.empty() ? "none" : peer.pid > 0 ? "running" : "idle") << "\n"
      << "data-port-holders " << holders << "\n"
      << "power-service " << PowerServiceMode(power) << "\n"
      << "data-port " << ports[0].slaveName << "\n"
      << "aux-port " << ports[1].slaveName;
    return s.str();
}

std::string SimDevice::Impl::Run(const std::string& rawLine) {
    const std::string line = Trim(rawLine);
    const size_t sp = line.find(' ');
    const std::string word = line.substr(0, sp);
    const std::string arg = sp == std::string::npos ? "" : Trim(line.substr(sp + 1));
    Modem& m = modem;
    const int64_t now = MonoMs();
    int n = 0;

    auto onOff = [&](bool& flag) -> std::string {
        if (arg == "on") flag = true;
        else if (arg == "off") flag = false;
        else return "error: expected on or off";
        return "ok";
    };

    if (word == "help") return ControlHelp();
    if (word == "status") return Status();
    if (word == "log") {
        std::string text;
        char stamp[32];
        for (const LogEntry& e : log) {
            snprintf(stamp, sizeof stamp, "%.3f", e.time);
            if (!text.empty()) text += "\n";
            text += std::string(stamp) + " " + kPortNames[e.port] + " " + e.line;
        }
        return text;
    }
    if (word == "clear-log") {
        log.clear();
        return "ok";
    }
    if (word == "rate" || word == "saved-rate") {
        if (!ParseDecimal(arg, 1, 1000000, n) || SpeedOfRate(n) == 0) return "error: not a line rate";
        (word == "rate" ? m.rate : m.savedRate) = n;
        return "ok";
    }
    if (word == "echo") return onOff(m.echo);
    if (word == "silent") return onOff(m.silent);
    if (word == "garbage") return onOff(m.garbage);
    if (word == "imei" || word == "iccid" || word == "fw" || word == "cfvr") {
        std::string text;
        if (!IdentityText(arg, 100, text))
            return "error: printable text (\\xHH for any byte but CR, LF), at most 100 bytes";
        (word == "imei" ? m.imei : word == "iccid" ? m.iccid : word == "fw" ? m.fw : m.cfvr) = text;
        return "ok";
    }
    if (word == "csq") {
        std::vector<int> levels;
        std::stringstream ss(arg);
        std::string item;
        while (std::getline(ss, item, ',')) {
            if (!ParseDecimal(Trim(item), 0, 99, n)) return "error: csq takes levels 0..99, comma separated";
            levels.push_back(n);
        }
        if (levels.empty()) return "error: csq takes levels 0..99, comma separated";
        m.csq = levels;
        m.csqNext = 0;
        return "ok";
    }
    if (word == "delay-ms" || word == "split" || word == "boot-ms") {
        if (!ParseDecimal(arg, word == "split" ? 1 : 0, 600000, n)) return "error: expected a number";
        (word == "delay-ms" ? m.delayMs : word == "split" ? m.split : bootMs) = n;
        return "ok";
    }
    if (word == "flood") {
        if (arg == "on") m.flood = (1 << PORT_DATA) | (1 << PORT_AUX);
        else if (arg == "data") m.flood = 1 << PORT_DATA;
        else if (arg == "aux") m.flood = 1 << PORT_AUX;
        else if (arg == "off") m.flood = 0;
        else return "error: expected on, data, aux or off";
        return "ok";
    }
    if (word == "noanswer") {
        if (arg.empty()) return "error: expected a command or none";
        m.noanswer = arg == "none" ? "" : UpperText(arg);
        return "ok";
    }
    if (word == "sim") {
        if (arg != "present" && arg != "missing") return "error: expected present or missing";
        m.simPresent = arg == "present";
        return "ok";
    }
    if (word == "dial") {
        if (arg != "ok" && arg != "no-carrier") return "error: expected ok or no-carrier";
        m.dialOk = arg == "ok";
        return "ok";
    }
    if (word == "drop" || (word == "network" && arg == "drop")) {
        EndCall(true, now);
        return "ok";
    }
    if (word == "network") {
        if (arg == "silent") peer.silent = true;
        else if (arg == "refuse") m.dialOk = false;
        else if (arg == "normal") peer.silent = false, m.dialOk = true;
        else return "error: expected drop, silent, refuse or normal";
        return "ok";
    }
    if (word == "pings") {
        const std::string answer = WorldControl(WorldDir(), word, arg);
        if (answer != "ok") return answer;
        peer.pingsDropped = arg == "dropped";
        peer.pingsInForce = peer.pid <= 0;  // a new peer takes the setting when it starts
        peer.pingsTriedMs = now - 1000000;
        return "ok";
    }
    if (word == "power") {
        if (arg == "on") {
            if (!m.powered) ModemPowerOn(m, now, bootMs);
        } else if (arg == "off") {
            ModemPowerOff(m);
            for (Port& p : ports) p.out.clear();
        } else {
            return "error: expected on or off";
        }
        return "ok";
    }
    if (word == "unplug") {
        // Pulled out, the modem loses its power and with it any call.
        plugged = false;
        ModemPowerOff(m);
        if (started) ClosePorts();
        return "ok";
    }
    if (word == "plug") {
        if (!plugged) {
            plugged = true;
            ModemPowerOn(m, now, bootMs);
            if (started && m.type != MODEM_NONE && !OpenPorts()) return "error: cannot open terminals";
        }
        return "ok";
    }
    if (word == "type") {
        if (arg == "cell") SetType(MODEM_CELL);
        else if (arg == "analog") SetType(MODEM_ANALOG);
        else if (arg == "none") SetType(MODEM_NONE);
        else return "error: expected cell, analog or none";
        return "ok";
    }
    if (word == "analog-reply") {
        if (arg == "normal") m.analogReply = ANALOG_REPLY_NORMAL;
        else if (arg == "short") m.analogReply = ANALOG_REPLY_SHORT;
        else if (arg == "none") m.analogReply = ANALOG_REPLY_NONE;
        else return "error: expected normal, short or none";
        return "ok";
    }
    if (word == "power-service") return PowerServiceControl(power, arg);
    if (word == "ppp" || word == "link-address")
        return WorldControl(WorldDir(), word, arg);
    if (word.empty()) return "error: empty line";
    return "error: unknown command '" + word + "' (try help)";
}

SimDevice::SimDevice(const std::string& root) : impl_(new Impl) { impl_->root = root; }

SimDevice::~SimDevice() { Stop(); }

bool SimDevice::Start() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.started) return true;
    if (MakeDirs(d.root + "/dev") != 0) {
        fprintf(stderr, "devsim: cannot create %s/dev: %s\n", d.root.c_str(), strerror(errno));
        return false;
    }
    if (!WorldDefaults(d.WorldDir())) {
        fprintf(stderr, "devsim: cannot write %s\n", d.WorldDir().c_str());
        return false;
    }
    if (d.modem.type != MODEM_NONE && d.plugged && !d.OpenPorts()) return false;
    d.started = true;
    d.stopping.store(false);
    d.thread = std::thread([&d] { d.Serve(); });
    return true;
}

void SimDevice::Stop() {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        if (!d.started) return;
        d.stopping.store(true);
    }
    if (d.thread.joinable()) d.thread.join();
    std::lock_guard<std::mutex> lock(d.mu);
    d.ClosePorts();
    PeerReap(d.peer, true);
    PowerServiceStop(d.power);
    d.started = false;
}

std::string SimDevice::Control(const std::string& line) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->Run(line);
}

std::vector<LogEntry> SimDevice::CommandLog() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->log;
}

std::vector<std::string> SimDevice::Commands(int port) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<std::string> out;
    for (const LogEntry& e : impl_->log)
        if (e.port == port) out.push_back(e.line);
    return out;
}

void SimDevice::ClearLog() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->log.clear();
}

void SimDevice::SetDataPeer(const std::string& command) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->peer.command = command;
}

void SimDevice::SetCommandFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->logFile = path;
}

std::string SimDevice::PortPath(int port) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (port < 0 || port > 1) return "";
    return impl_->ports[port].slaveName;
}

}  // namespace devsim
