// What the simulated modems answer: the LE910-SV1's AT set on the cellular ports and the Hayes
// set of the analog modem, byte for byte as the real devices frame them.
#include <ctype.h>
#include <stdio.h>
#include <termios.h>

#include "lib/internal.h"
#include "modem.h"

namespace devsim {

namespace {

struct RateSpeed {
    int bps;
    unsigned int speed;
};

// The symbolic constants only: their values differ between processors.
const RateSpeed kRates[] = {
    {300, B300},     {1200, B1200},   {2400, B2400},     {4800, B4800},    {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200}, {230400, B230400},
};

std::string Info(const std::string& text) { return "\r\n" + text + "\r\n"; }

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";

// A SIM query without a SIM: the error form follows AT+CMEE.
std::string SimMissing(const Modem& m) {
    if (m.cmee == 2) return Info("+CME ERROR: SIM not inserted");
    if (m.cmee == 1) return Info("+CME ERROR: 10");
    return kError;
}

// "+CSQ: 17,99": the next level of the scripted list; the last one repeats.
std::string NextCsq(Modem& m) {
    int level = 99;
    if (!m.csq.empty()) {
        level = m.csq[m.csqNext < m.csq.size() ? m.csqNext : m.csq.size() - 1];
        if (m.csqNext < m.csq.size()) m.csqNext++;
    }
    char text[32];
    snprintf(text, sizeof text, "+CSQ: %d,99", level);
    return text;
}

std::string CellCommand(Modem& m, int port, const std::string& body) {
    const std::string cmd = UpperText(body);
    int n = 0;
    char text[64];

    if (cmd.empty()) return kOk;
    if (cmd == "E0" || cmd == "E1" || cmd == "E") {
        m.echo = cmd == "E1";
        return kOk;
    }
    if (cmd == "Z" || cmd == "Z0") {
        m.echo = m.savedEcho;  // the stored profile comes back
        m.cmee = 0;
        return kOk;
    }
    if (cmd == "+CSQ") return Info(NextCsq(m)) + kOk;
    if (cmd == "+CGSN") return Info(m.imei) + kOk;
    if (cmd == "#CGSN") return Info("#CGSN: " + m.imei) + kOk;
    if (cmd == "+CCID" || cmd == "#CCID") {
        if (!m.simPresent) return SimMissing(m);
        return Info(cmd.substr(0, 5) + ": " + m.iccid) + kOk;
    }
    if (cmd == "+CPIN?") {
        if (!m.simPresent) return SimMissing(m);
        return Info("+CPIN: READY") + kOk;
    }
    if (cmd == "+GMR") return Info(m.fw) + kOk;
    if (cmd == "+GMI") return Info("Telit") + kOk;
    if (cmd == "+GMM") return Info("LE910-SV1") + kOk;
    if (cmd == "#CFVR") return Info("#CFVR: " + m.cfvr) + kOk;
    if (cmd.rfind("#ICMP=", 0) == 0) {
        if (!ParseDecimal(cmd.substr(6), 0, 2, n)) return kError;
        m.icmp = n;
        return kOk;
    }
    if (cmd == "#ICMP?") {
        snprintf(text, sizeof text, "#ICMP: %d", m.icmp);
        return Info(text) + kOk;
    }
    if (cmd.rfind("+IPR=", 0) == 0) {
        if (!ParseDecimal(cmd.substr(5), 0, 999999999, n) || SpeedOfRate(n) == 0) return kError;
        // The OK still goes out at the old rate; the UART switches right after it.
        m.rate = n;
        return kOk;
    }
    if (cmd == "+IPR?") {
        snprintf(text, sizeof text, "+IPR: %d", m.rate);
        return Info(text) + kOk;
    }
    if (cmd == "&D" || (cmd.size() == 3 && cmd.compare(0, 2, "&D") == 0)) {
        if (!ParseDecimal(cmd.size() == 3 ? cmd.substr(2) : "0", 0, 2, n)) return kError;
        m.dtr = n;
        return kOk;
    }
    if (cmd == "&W" || cmd == "&W0") {
        m.savedRate = m.rate;
        m.savedDtr = m.dtr;
        m.savedEcho = m.echo;
        return kOk;
    }
    if (cmd.rfind("+CMEE=", 0) == 0) {
        if (!ParseDecimal(cmd.substr(6), 0, 2, n)) return kError;
        m.cmee = n;
        return kOk;
    }
    if (cmd == "+CMEE?") {
        snprintf(text, sizeof text, "+CMEE: %d", m.cmee);
        return Info(text) + kOk;
    }
    if (cmd.rfind("#PORTCFG=", 0) == 0) {
        if (!ParseDecimal(cmd.substr(9), 0, 20, n)) return kError;
        m.portcfgRequested = n;
        return kOk;
    }
    if (cmd == "#PORTCFG?") {
        snprintf(text, sizeof text, "#PORTCFG: %d,%d", m.portcfgRequested, m.portcfgActive);
        return Info(text) + kOk;
    }
    if (cmd[0] == 'D') {
        // Calls are placed on the data port only.
        if (port != PORT_DATA) return kError;
        if (!m.dialOk) return Info("NO CARRIER");
        m.inCall = true;
        m.dataMode = true;
        return Info("CONNECT 100000000");
    }
    if (cmd == "H" || cmd == "H0") {
        const bool ended = m.inCall;
        m.inCall = false;
        m.dataMode = false;
        return ended && m.hangUpNoCarrier ? Info("NO CARRIER") : kOk;
    }
    if (cmd == "O" || cmd == "O0") {
        if (port != PORT_DATA || !m.inCall) return Info("NO CARRIER");
        m.dataMode = true;
        return Info("CONNECT 100000000");
    }
    return kError;
}

// Hayes results: words framed by CR LF, or the bare code. The numeric form ends in CR LF too,
// because that is what linkwarden's analog set-up compares against ("0" CR LF).
std::string AnalogResult(const Modem& m, int code) {
    static const char* const kWords[] = {"OK", "CONNECT", "RING", "NO CARRIER", "ERROR",
                                         "",   "NO DIALTONE", "BUSY", "NO ANSWER"};
    if (m.verbose) return Info(kWords[code]);
    char text[8];
    snprintf(text, sizeof text, "%d\r\n", code);
    return text;
}

std::string AnalogCommand(Modem& m, const std::string& body) {
    const std::string cmd = UpperText(body);
    int n = 0;

    if (cmd.empty() || cmd == "&W" || cmd == "H" || cmd == "H0") return AnalogResult(m, 0);
    if (cmd == "Z" || cmd == "Z0" || cmd == "&F") {
        AnalogDefaults(m);
        return AnalogResult(m, 0);
    }
    if (cmd == "E0" || cmd == "E1" || cmd == "E") {
        m.echo = cmd == "E1";
        return AnalogResult(m, 0);
    }
    if (cmd == "V0" || cmd == "V1" || cmd == "V") {
        // The result of ATV already takes the new form.
        m.verbose = cmd == "V1";
        return AnalogResult(m, 0);
    }
    if (cmd.rfind("S0=", 0) == 0) {
        if (!ParseDecimal(cmd.substr(3), 0, 255, n)) return AnalogResult(m, 4);
        m.s0 = n;
        return AnalogResult(m, 0);
    }
    if (cmd == "S0?") {
        char text[8];
        snprintf(text, sizeof text, "%03d", m.s0);
        return (m.verbose ? Info(text) : std::string(text) + "\r\n") + AnalogResult(m, 0);
    }
    if (cmd[0] == 'D') return AnalogResult(m, 6);  // no telephone line behind the simulator
    return AnalogResult(m, 4);
}

}  // namespace

unsigned int SpeedOfRate(int bps) {
    for (const RateSpeed& r : kRates)
        if (r.bps == bps) return r.speed;
    return 0;
}

int RateOfSpeed(unsigned int speed) {
    for (const RateSpeed& r : kRates)
        if (r.speed == speed) return r.bps;
    return -1;
}

void ModemFactory(Modem& m, int type) {
    m = Modem();
    m.type = type;
}

void ModemPowerOn(Modem& m, int64_t nowMs, int bootMs) {
    m.powered = true;
    m.readyAtMs = nowMs + bootMs > m.rebootUntilMs ? nowMs + bootMs : m.rebootUntilMs;
    m.rate = m.savedRate;
    m.dtr = m.savedDtr;
    m.echo = m.savedEcho;
    m.verbose = true;
    m.cmee = 0;
    m.portcfgActive = m.portcfgRequested;
    m.inCall = false;
    m.dataMode = false;
    m.dialHeldUntilMs = -1;
}

void ModemPowerOff(Modem& m) {
    m.powered = false;
    m.inCall = false;
    m.dataMode = false;
    m.dialHeldUntilMs = -1;
}

void AnalogDefaults(Modem& m) {
    m.echo = true;
    m.verbose = true;
}

std::string ModemAnswer(Modem& m, int port, const std::string& line) {
    // The echo goes out as the line arrived, so ATE0 is still echoed.
    std::string out = m.echo ? line + "\r" : std::string();
    if (line.size() < 2 || toupper((unsigned char)line[0]) != 'A' ||
        toupper((unsigned char)line[1]) != 'T') {
        // Not a command: a modem only listens after "AT"; some refuse the line out loud.
        return m.type == MODEM_CELL && m.strayLineError ? out + kError : out;
    }
    const std::string body = line.substr(2);
    if (m.type == MODEM_ANALOG) return out + AnalogCommand(m, body);
    return out + CellCommand(m, port, body);
}

bool ParseDecimal(const std::string& text, int lo, int hi, int& out) {
    if (text.empty() || text.size() > 9) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string UpperText(const std::string& s) {
    std::string u(s);
    for (char& c : u) c = (char)toupper((unsigned char)c);
    return u;
}

}  // namespace devsim
