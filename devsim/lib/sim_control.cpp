// The control language that scripts the modem and the world around it while the simulator runs.
#include <stdio.h>

#include <sstream>

#include "lib/device.h"

namespace devsim {

namespace {

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

const char kTextRule[] = "error: printable text (\\xHH for any byte but CR, LF), at most 100 bytes";

}  // namespace

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
      << "saved-echo " << (m.savedEcho ? "on" : "off") << "\n"
      << "verbose " << (m.verbose ? "on" : "off") << "\n"
      << "cmee " << m.cmee << "\n"
      << "icmp " << m.icmp << "\n"
      << "portcfg " << m.portcfgRequested << "," << m.portcfgActive << "\n"
      << "s0 " << m.s0 << "\n"
      << "sim " << (m.simPresent ? "present" : "missing") << "\n"
      << "call " << (m.inCall ? "up" : "down") << "\n"
      << "data-mode " << (m.dataMode ? "on" : "off") << "\n"
      << "dtr " << m.dtr << "," << m.savedDtr << "\n"
      << "hang-up-answer " << (m.hangUpNoCarrier ? "no-carrier" : "ok") << "\n"
      << "stray-line " << (m.strayLineError ? "error" : "silent") << "\n"
      << "network " << (!m.dialOk ? "refuse" : peer.silent ? "silent" : "normal") << "\n"
      << "dial-hang " << (m.dialHeldUntilMs >= 0 ? "held" : m.dialHangMs > 0 ? "armed" : "none") << "\n"
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

    // One of two words; the flag holds whether it was the first.
    auto either = [&](const char* first, const char* second, bool& flag) -> std::string {
        if (arg != first && arg != second) return std::string("error: expected ") + first + " or " + second;
        flag = arg == first;
        return "ok";
    };
    auto onOff = [&](bool& flag) { return either("on", "off", flag); };

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
            return kTextRule;
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
    // What the modem says, and when: unsolicited result codes, a late answer, the saved echo,
    // noise at power-up.
    if (word == "urc") {
        if (arg == "none") {
            for (int i = 0; i < 2; i++) urcAhead[i].clear(), urcBoot[i].clear();
            return "ok";
        }
        std::stringstream ss(arg);
        std::string when, port, rest, text;
        ss >> when >> port;
        std::getline(ss, rest);
        const int first = port == "aux" ? PORT_AUX : PORT_DATA;
        const int last = port == "data" ? PORT_DATA : PORT_AUX;
        if ((when != "now" && when != "ahead" && when != "boot") ||
            (port != "data" && port != "aux" && port != "both"))
            return "error: expected urc now|ahead|boot data|aux|both TEXT, or urc none";
        if (!IdentityText(Trim(rest), 100, text) || text.empty()) return kTextRule;
        for (int i = first; i <= last; i++) {
            if (when == "now") QueueUnsolicited(i, {text}, now);
            else (when == "ahead" ? urcAhead[i] : urcBoot[i]).push_back(text);
        }
        return "ok";
    }
    if (word == "late") {
        std::stringstream ss(arg);
        std::string cmd;
        ss >> cmd >> n;
        if (cmd == "none") m.late.clear();
        else if (cmd.size() < 3 || !ss || n < 0 || n > 600000 || !ss.eof())
            return "error: expected late CMD MS (0 to 600000), or late none";
        else m.late = UpperText(cmd), m.lateMs = n;
        return "ok";
    }
    if (word == "saved-echo") return onOff(m.savedEcho);
    if (word == "power-up-noise") return onOff(m.powerUpNoise);
    if (word == "sim") {
        if (arg != "present" && arg != "missing") return "error: expected present or missing";
        m.simPresent = arg == "present";
        return "ok";
    }
    // A dial left hanging, and a reboot of the modem's own: the calls that end without warning.
    if (word == "dial" && (arg.compare(0, 5, "hang ") == 0 || arg.compare(0, 5, "late ") == 0)) {
        if (!ParseDecimal(arg.substr(5), 1, 3600, n)) return "error: dial hang|late takes seconds, 1 to 3600";
        m.dialHangMs = n * 1000;
        m.dialAnsweredLate = arg[0] == 'l';
        return "ok";
    }
    if (word == "reboot") {
        if (!ParseDecimal(arg, 1, 3600, n)) return "error: reboot takes seconds, 1 to 3600";
        // The call is gone with no NO CARRIER (the network side ends), nothing queued goes out,
        // and the modem comes back as after a power-up once the time is over.
        EndCall(false, now);
        for (Port& p : ports) p.out.clear();
        m.rebootUntilMs = now + n * 1000LL;
        ModemPowerOn(m, now, bootMs);
        return "ok";
    }
    if (word == "dial") {
        if (arg != "ok" && arg != "no-carrier") return "error: expected ok, no-carrier, hang or late SECONDS";
        m.dialOk = arg == "ok";
        return "ok";
    }
    if (word == "dtr") {
        // The saved profile: the setting outlives power cycles until AT&D changes it.
        if (arg != "ignore" && arg != "hangup") return "error: expected ignore or hangup";
        m.dtr = m.savedDtr = arg == "ignore" ? 0 : 2;
        return "ok";
    }
    if (word == "hang-up-answer") return either("no-carrier", "ok", m.hangUpNoCarrier);
    if (word == "stray-line") return either("error", "silent", m.strayLineError);
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

}  // namespace devsim
