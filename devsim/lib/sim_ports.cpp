// The modem's two ports: the pseudo-terminals and their links under dev/, the answers on their
// way out, and the host's bytes read into command lines at the modem's line speed.
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "lib/device.h"

namespace devsim {

namespace {

// Straight from the kernel: a daemon under a faked clock must not move the log's time stamps.
double RealNow() {
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// Whether a command line is the command a fault names ("AT#CFVR" also covers "AT#CFVR?" and
// "AT#CFVR=1"); an empty name covers nothing.
bool Names(const std::string& line, const std::string& name) {
    if (name.empty()) return false;
    const std::string u = UpperText(line);
    return u.compare(0, name.size(), name) == 0 &&
           (u.size() == name.size() || u[name.size()] == '=' || u[name.size()] == '?');
}

}  // namespace

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

bool SimDevice::Impl::HostAtModemRate(int i) const {
    struct termios t;
    unsigned int hostSpeed = 0;
    if (ports[i].slave >= 0 && tcgetattr(ports[i].slave, &t) == 0) hostSpeed = cfgetospeed(&t);
    return hostSpeed == SpeedOfRate(modem.rate);
}

// "\r\n+CREG: 5\r\n": framed as any result. The data port keeps them back during a call.
void SimDevice::Impl::QueueUnsolicited(int i, const std::vector<std::string>& lines, int64_t dueMs) {
    if (i == PORT_DATA && modem.dataMode) return;
    for (const std::string& text : lines) ports[i].out.push_back({dueMs, "\r\n" + text + "\r\n", true});
}

// Once per power-up: the noise of the supply rising at once, the burst when the modem is ready.
void SimDevice::Impl::PowerUp() {
    if (!modem.powered || modem.readyAtMs == poweredUpReadyMs) return;
    poweredUpReadyMs = modem.readyAtMs;
    for (int i = 0; i < 2; i++) {
        if (modem.powerUpNoise)
            ports[i].out.push_back({MonoMs(), std::string(kPowerUpNoise, kPowerUpNoiseLen)});
        QueueUnsolicited(i, urcBoot[i], modem.readyAtMs);
    }
}

void SimDevice::Impl::SendDue(int64_t nowMs) {
    for (int i = 0; i < 2; i++) {
        Port& p = ports[i];
        // The power service may have switched the modem off with answers still on their way.
        if (!modem.powered) p.out.clear();
        while (!p.out.empty() && p.out.front().dueMs <= nowMs) {
            std::string b = p.out.front().bytes;
            // What the modem says of its own accord reaches a host at another speed as noise.
            if (p.out.front().unsolicited && modem.type == MODEM_CELL && !HostAtModemRate(i))
                b = modem.garbage ? kNoise : "";
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

// The second guard time of an escape has passed in silence: the modem is back in command mode,
// the call still up.
void SimDevice::Impl::EscapeDue(int64_t nowMs) {
    Port& p = ports[PORT_DATA];
    if (p.plusRun < 3 || !modem.dataMode || nowMs - p.lastRxMs < kGuardMs) return;
    p.plusRun = 0;
    modem.dataMode = false;
    if (modem.powered) Queue(PORT_DATA, "\r\nOK\r\n", nowMs, true);
}

void SimDevice::Impl::Receive(int i, const char* data, size_t n) {
    Port& p = ports[i];
    const int64_t now = MonoMs();
    if (modem.type == MODEM_NONE) return;
    if (modem.type == MODEM_CELL) {
        // The host's line speed against the modem's: mismatched bytes are noise to the UART.
        if (!HostAtModemRate(i)) {
            p.line.clear();
            if (modem.garbage && modem.powered && now >= modem.readyAtMs && !modem.silent)
                Queue(i, kNoise, now, false);
            return;
        }
    }
    // A modem busy rebooting reads nothing of what reaches its UART.
    if (now < modem.rebootUntilMs) return;
    if (i == PORT_DATA && modem.dialHeldUntilMs >= 0) {
        // Any byte from the host ends a dial that is still waiting for its answer, as a V.250
        // modem does; the byte itself is spent on that.
        AbortDial(now);
        data++;
        n--;
    }
    const int64_t quietMs = now - p.lastRxMs;
    p.lastRxMs = now;
    if (i == PORT_DATA && modem.dataMode && peer.pid > 0) {
        // The call's bytes go to the network untouched. "+++" is the escape only with a guard
        // time of silence before it and after it (EscapeDue waits out the second): PPP frames
        // may carry "+++", never with a second's pause around it.
        const bool plusOnly = std::all_of(data, data + n, [](char c) { return c == '+'; });
        if (plusOnly && p.plusRun + n <= 3 && (p.plusRun > 0 || quietMs >= kGuardMs))
            p.plusRun += (int)n;
        else
            p.plusRun = 0;
        peer.toPeer.append(data, std::min(n, kRelayMax - std::min(kRelayMax, peer.toPeer.size())));
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
    if (Names(line, modem.noanswer)) return;
    if (i == PORT_DATA && modem.dialHangMs > 0 && modem.type == MODEM_CELL &&
        UpperText(line).compare(0, 3, "ATD") == 0) {
        // The network leaves this dial unanswered: only the echo goes out for now.
        modem.dialHeldUntilMs = now + modem.dialHangMs;
        modem.dialHangMs = 0;
        if (modem.echo) Queue(i, line + "\r", now, true);
        return;
    }
    const bool wasInCall = modem.inCall;
    const size_t echoLen = modem.echo ? line.size() + 1 : 0;  // ATE0 is still echoed
    std::string answer = ModemAnswer(modem, i, line);
    if (i == PORT_DATA && !wasInCall && modem.inCall && !peer.command.empty())
        StartCall(answer, now);
    if (modem.type == MODEM_ANALOG) {
        if (modem.analogReply == ANALOG_REPLY_NONE) answer.clear();
        if (modem.analogReply == ANALOG_REPLY_SHORT && answer.size() > 5) answer.resize(5);
    }
    // Codes held for this moment go out just before the echo, in the same write.
    std::string ahead;
    for (const std::string& text : urcAhead[i]) ahead += "\r\n" + text + "\r\n";
    urcAhead[i].clear();
    answer = ahead + answer;
    const size_t atOnce = ahead.size() + echoLen;
    if (Names(line, modem.late) && answer.size() > atOnce) {
        // The echo goes out as the command arrives; the result only when the modem has it.
        Queue(i, answer.substr(0, atOnce), now, true);
        Queue(i, answer.substr(atOnce), now + modem.lateMs, true);
        return;
    }
    Queue(i, answer, now, true);
}

}  // namespace devsim
