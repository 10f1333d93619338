// The modem on its two serial lines: the device simulator's engine answers every command line
// (devsim::ModemAnswer), and this file carries the bytes: the host's line speed against the
// modem's, answers on their way, the escape's guard times, a dial the network leaves unanswered,
// power, its own reboots, and a closed port's DTR.
#include <stdio.h>
#include <string.h>
#include <termios.h>

#include <string>

#include "lib/internal.h"
#include "lib/modem.h"
#include "world.h"

namespace fieldsim {

namespace {

const char kNoCarrier[] = "\r\nNO CARRIER\r\n";
const char kPowerUpNoise[] = "\xff\xc0\x00\xff\x00\xc0\xc0\xff\x00\x00\xff\xc0";

devsim::Modem Engine() {
    const ModemState& s = world->modem;
    devsim::Modem m;
    devsim::ModemFactory(m, devsim::MODEM_CELL);
    m.powered = s.powered;
    m.readyAtMs = s.readyAtMs;
    m.rebootUntilMs = s.rebootUntilMs;
    m.dialHeldUntilMs = s.dialHeldUntilMs;
    m.rate = s.rate;
    m.savedRate = s.savedRate;
    m.dtr = s.dtr;
    m.savedDtr = s.savedDtr;
    m.cmee = s.cmee;
    m.icmp = s.icmp;
    m.portcfgRequested = s.portcfgRequested;
    m.portcfgActive = s.portcfgActive;
    m.s0 = s.s0;
    m.echo = s.echo;
    m.savedEcho = s.savedEcho;
    m.verbose = s.verbose;
    m.inCall = s.inCall;
    m.dataMode = s.dataMode;
    m.csq = {s.csq};
    return m;
}

void Keep(const devsim::Modem& m) {
    ModemState& s = world->modem;
    s.powered = m.powered;
    s.readyAtMs = m.readyAtMs;
    s.rebootUntilMs = m.rebootUntilMs;
    s.dialHeldUntilMs = m.dialHeldUntilMs;
    s.rate = m.rate;
    s.savedRate = m.savedRate;
    s.dtr = m.dtr;
    s.savedDtr = m.savedDtr;
    s.cmee = m.cmee;
    s.icmp = m.icmp;
    s.portcfgRequested = m.portcfgRequested;
    s.portcfgActive = m.portcfgActive;
    s.s0 = m.s0;
    s.echo = m.echo;
    s.savedEcho = m.savedEcho;
    s.verbose = m.verbose;
    s.inCall = m.inCall;
    s.dataMode = m.dataMode;
}

int64_t NowMs() { return world->now / MS; }

bool Answering() {
    const ModemState& m = world->modem;
    return m.powered && NowMs() >= m.readyAtMs && NowMs() >= m.rebootUntilMs;
}

void Queue(int port, const char* bytes, size_t len, int64_t due, bool unsolicited) {
    SerialPort& p = world->ports[port];
    while (len > 0) {
        if (p.outCount == (int)(sizeof p.out / sizeof p.out[0])) return;  // a full UART drops
        size_t n = len < sizeof p.out[0].bytes ? len : sizeof p.out[0].bytes;
        int at = p.outCount++;
        while (at > 0 && p.out[at - 1].due > due) {
            p.out[at] = p.out[at - 1];
            at--;
        }
        Chunk& c = p.out[at];
        c.due = due;
        c.len = (int16_t)n;
        c.unsolicited = unsolicited;
        memcpy(c.bytes, bytes, n);
        bytes += n;
        len -= n;
    }
}

void Queue(int port, const std::string& s, int64_t due, bool unsolicited = false) {
    Queue(port, s.data(), s.size(), due, unsolicited);
}

bool HostAtModemRate(int port) {
    return world->ports[port].speed == devsim::SpeedOfRate(world->modem.rate);
}

// A modem answers a command within a few tens of milliseconds; a dial takes the network longer.
int64_t AnswerDue() { return world->now + Uniform(5, 30) * MS; }

void LineDone(int port) {
    SerialPort& p = world->ports[port];
    std::string line(p.line, (size_t)p.lineLen);
    p.lineLen = 0;
    ModemState& s = world->modem;
    if (line.empty() || !Answering()) return;
    const std::string upper = devsim::UpperText(line);
    const bool dial = port == PORT_DATA && upper.compare(0, 3, "ATD") == 0;
    if (dial && s.dialHangMs > 0) {
        // The network lost this dial's activation request: only the echo, then nothing.
        s.dialHeldUntilMs = NowMs() + s.dialHangMs;
        s.dialHangMs = 0;
        if (s.echo) Queue(port, line + "\r", AnswerDue());
        Schedule(s.dialHeldUntilMs * MS, EV_DIAL_HELD);
        FaultWatch(-2);
        return;
    }
    devsim::Modem m = Engine();
    std::string answer = devsim::ModemAnswer(m, port, line);
    int64_t due = AnswerDue();
    if (dial && m.inCall) {
        due = world->now + Uniform(200, 700) * MS;
        if (world->noCoverage) {
            // No network to carry the call: the dial ends as a refused one does.
            m.inCall = m.dataMode = false;
            answer = answer.substr(0, answer.rfind("\r\nCONNECT")) + kNoCarrier;
        }
    }
    Keep(m);
    if (upper == "AT+CSQ" && port == PORT_AUX && s.lateMs > 0 && answer.size() > line.size() + 1) {
        // The answer after the read window: the echo at once, the rest lands in the next read.
        size_t echo = s.echo ? line.size() + 1 : 0;
        Queue(port, answer.substr(0, echo), due);
        Queue(port, answer.substr(echo), due + s.lateMs * MS);
        return;
    }
    Queue(port, answer, due);
}

void ClearLine(int port) {
    SerialPort& p = world->ports[port];
    p.outCount = 0;
    p.inLen = 0;
    p.lineLen = 0;
    p.plusRun = 0;
}

}  // namespace

void ModemFactory() {
    devsim::Modem m;
    devsim::ModemFactory(m, devsim::MODEM_CELL);
    // The LE910's factory profile ignores DTR (AT&D0); the box's chat script answers it.
    m.dtr = m.savedDtr = 0;
    Keep(m);
    ModemState& s = world->modem;
    s.csq = 17;
    s.bootMsMax = 30000;
    s.bootMs = (int)Uniform(10000, s.bootMsMax);
    s.readyAtMs = 0;
}

void ModemPowerOff() {
    devsim::Modem m = Engine();
    devsim::ModemPowerOff(m);
    Keep(m);
    for (int i = 0; i < 2; i++) world->ports[i].outCount = 0;
    UpdateLink();
}

void ModemPowerOn() {
    devsim::Modem m = Engine();
    devsim::ModemPowerOn(m, NowMs(), world->modem.bootMs);
    Keep(m);
    ModemState& s = world->modem;
    // An LE910 needs roughly 10 to 30 s after power-up before it answers AT; some take longer.
    s.bootMs = (int)Uniform(10000, s.bootMsMax);
    for (int i = 0; i < 2; i++) {
        if (s.powerUpNoise) Queue(i, kPowerUpNoise, sizeof kPowerUpNoise - 1, world->now, true);
    }
}

void ModemReboot(int64_t us) {
    // As for an update over the air: the call ends without NO CARRIER, both ports stay silent,
    // and the modem comes back as after a power-up, with its saved profile.
    ModemState& s = world->modem;
    s.rebootUntilMs = NowMs() + us / MS;
    devsim::Modem m = Engine();
    devsim::ModemPowerOn(m, NowMs(), 0);
    Keep(m);
    for (int i = 0; i < 2; i++) ClearLine(i);
    UpdateLink();
}

void ModemUnsolicited(int port, const char* text) {
    // The data port holds codes back during a call.
    if (!Answering() || (port == PORT_DATA && world->modem.dataMode)) return;
    Queue(port, std::string("\r\n") + text + "\r\n", world->now, true);
}

void PortWrite(int port, const char* bytes, int len) {
    SerialPort& p = world->ports[port];
    ModemState& s = world->modem;
    const int64_t quiet = world->now - p.lastHostByte;
    p.lastHostByte = world->now;
    // A new question: the level leaves must now say what its answer says, or "no reading".
    if (memmem(bytes, (size_t)len, "AT+CSQ", 6)) world->csqDelivered = -1;
    if (!s.powered || world->now < s.rebootUntilMs * MS) return;
    if (!HostAtModemRate(port)) {
        p.lineLen = 0;  // noise to the modem's UART
        return;
    }
    if (port == PORT_DATA && s.dialHeldUntilMs >= 0 && len > 0) {
        // Any byte from the host ends a dial still waiting for its answer.
        DialHeldEnds();
        bytes++;
        len--;
    }
    for (int k = 0; k < len; k++) {
        char c = bytes[k];
        if (port == PORT_DATA && s.dataMode) {
            // The call's bytes; "+++" is the escape only with a second of silence around it.
            bool guarded = p.plusRun > 0 || (k == 0 && quiet >= SEC);
            p.plusRun = (c == '+' && guarded && p.plusRun < 3) ? p.plusRun + 1 : 0;
            continue;
        }
        if (c == '\n') continue;
        if (c == '\r') {
            LineDone(port);
            continue;
        }
        if (p.lineLen < (int)sizeof p.line) p.line[p.lineLen++] = c;
    }
    if (port == PORT_DATA && p.plusRun == 3) Schedule(world->now + SEC, EV_ESCAPE);
}

void EscapeDue() {
    SerialPort& p = world->ports[PORT_DATA];
    ModemState& s = world->modem;
    if (p.plusRun < 3 || !s.dataMode || world->now - p.lastHostByte < SEC) return;
    p.plusRun = 0;
    s.dataMode = false;
    UpdateLink();
    if (Answering()) Queue(PORT_DATA, "\r\nOK\r\n", world->now);
}

void DialHeldEnds() {
    ModemState& s = world->modem;
    if (s.dialHeldUntilMs < 0) return;
    s.dialHeldUntilMs = -1;
    if (s.powered) Queue(PORT_DATA, kNoCarrier, world->now);
    FaultWatch(-1);
}

int PortArrived(int port) {
    SerialPort& p = world->ports[port];
    int taken = 0;
    while (taken < p.outCount && p.out[taken].due <= world->now) {
        const Chunk& c = p.out[taken++];
        // What the modem says of its own accord reaches a host at another speed as noise, and a
        // UART drops what arrives while nobody holds the port.
        if ((c.unsolicited && !HostAtModemRate(port)) || p.holders == 0) continue;
        int n = c.len;
        if (n > (int)sizeof p.in - p.inLen) n = (int)sizeof p.in - p.inLen;  // a full tty drops
        memcpy(p.in + p.inLen, c.bytes, (size_t)n);
        p.inLen += n;
    }
    if (taken > 0) {
        memmove(p.out, p.out + taken, sizeof p.out[0] * (size_t)(p.outCount - taken));
        p.outCount -= taken;
    }
    return p.inLen;
}

int64_t PortNextArrival(int port) {
    const SerialPort& p = world->ports[port];
    return p.outCount > 0 ? p.out[0].due : -1;
}

int PortTake(int port, char* buf, int size) {
    SerialPort& p = world->ports[port];
    int n = p.inLen < size ? p.inLen : size;
    memcpy(buf, p.in, (size_t)n);
    memmove(p.in, p.in + n, (size_t)(p.inLen - n));
    p.inLen -= n;
    // "+CSQ: 17,99": what the level leaves must say once the daemon has parsed it.
    for (int k = 0; k + 6 < n; k++) {
        if (memcmp(buf + k, "+CSQ: ", 6) != 0) continue;
        int level = 0, digits = 0;
        for (int j = k + 6; j < n && buf[j] >= '0' && buf[j] <= '9' && digits < 3; j++, digits++)
            level = level * 10 + (buf[j] - '0');
        if (digits == 0) continue;
        world->csqDelivered = level;
        if (port == PORT_AUX && level <= 31) world->lastCsqDelivered = world->now;
    }
    return n;
}

void PortFlushInput(int port) {
    PortArrived(port);
    world->ports[port].inLen = 0;
}

void PortOpened(int port) { world->ports[port].holders++; }

void PortClosed(int port) {
    SerialPort& p = world->ports[port];
    if (--p.holders > 0) return;
    // The last close: the tty drops what nobody read, and DTR drops with it. What the modem makes
    // of that is its AT&D setting.
    p.inLen = 0;
    if (port != PORT_DATA) return;
    ModemState& s = world->modem;
    if (s.dtr == 2) {
        s.inCall = s.dataMode = false;
        s.dialHeldUntilMs = -1;
        ClearLine(port);
    } else if (s.dtr == 1) {
        s.dataMode = false;
    }
    UpdateLink();
}

void CallDropped(bool noCarrier) {
    ModemState& s = world->modem;
    bool was = s.inCall;
    // A dial whose CONNECT is still on its way ends with the call.
    SerialPort& p = world->ports[PORT_DATA];
    for (int i = 0; i < p.outCount; i++) {
        if (!memmem(p.out[i].bytes, (size_t)p.out[i].len, "CONNECT", 7)) continue;
        memmove(p.out + i, p.out + i + 1, sizeof p.out[0] * (size_t)(p.outCount - i - 1));
        p.outCount--;
        i--;
    }
    s.inCall = s.dataMode = false;
    world->ports[PORT_DATA].plusRun = 0;
    if (was && noCarrier && s.powered) Queue(PORT_DATA, kNoCarrier, world->now);
    UpdateLink();
}

}  // namespace fieldsim
