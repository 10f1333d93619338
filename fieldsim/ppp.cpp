// pppd as the box runs it (its options file's LCP echo timing, the pid file once chat has
// connected, a polite end on SIGTERM, none on SIGKILL), chat running the box's own chat script
// against the modem, the ip-up and ip-down hooks, fping, and the shell commands the daemon runs.
// The box files are read from the source tree, so the simulation follows what ships.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <termios.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "world.h"

namespace fieldsim {

namespace {

const char kPppdCommand[] =
    "/sbin/pppd debug noipdefault usepeerdns noauth ifname ppp1 /dev/ttyPSC7 115200 connect "
    "\"/sbin/chat -v -f /etc/ppp/chat.cellmodem.data\"";
const char kAddressLeaf[] = "/U6C/Comms/EthPort/3/General/IPAddress/Value";
const char kPublishedLeaf[] = "/U6IC/Comms/CellularModem/IPAddr/Value";

// One line of the chat script: a keyword with its argument, or expect[-send-expect...] and send.
struct ChatStep {
    enum { ABORT, CLR_ABORT, TIMEOUT, PAIR } type;
    std::vector<std::string> expect;  // e0, s1, e1, s2, e2...
    std::string arg;                  // the keyword's argument, or the pair's send string
};
std::vector<ChatStep> chatScript;
std::vector<std::string> abortTable;
int lcpEchoInterval = 0, lcpEchoFailure = 0;

// chat's escapes: \d a second's pause (kept as '\x01' here), \r, \n, \c no final CR.
std::string Unescape(const std::string& s, bool* noCr) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'd') out += '\x01';
        else if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 'c' && noCr) *noCr = true;
        else out += c;
    }
    return out;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') i++;
        if (i == line.size()) break;
        std::string w;
        while (i < line.size() && line[i] != ' ') {
            if (line[i] == '\'') {
                size_t close = line.find('\'', i + 1);
                w += line.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                w += line[i++];
            }
        }
        words.push_back(w);
    }
    return words;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); i++) {
        if (i < s.size() && s[i] != sep) continue;
        parts.push_back(s.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

std::string Dotted(uint32_t a) {
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
    return text;
}

Pppd* Slot(int slot) { return &world->pppd[slot]; }

bool CallCarries() {
    const World& w = *world;
    return w.modem.powered && w.modem.inCall && w.modem.dataMode && !w.networkSilent &&
           !w.noCoverage;
}

// pppd's one timer: a new one replaces the one pending (the event carries its number).
void Later(int slot, int64_t us) {
    Pppd& p = *Slot(slot);
    Schedule(world->now + us, EV_PPPD, slot | (++p.timer << 2), p.pid);
}

// pppd is gone: its port closes (DTR drops), its process ends.
void Exit(int slot) {
    Pppd& p = *Slot(slot);
    WorldNote("pppd %d exits", p.pid);
    PortClosed(PORT_DATA);
    EndProc(p.pid);
    memset(&p, 0, sizeof p);
    UpdateLink();
    FaultWatch(-3);
}

// The link is over: ip-down says "no address", the pid file goes, and a second later pppd lets go
// of the port and exits.
void Hangup(int slot) {
    Pppd& p = *Slot(slot);
    WorldNote("pppd %d hangs up, removes its pid file", p.pid);
    if (p.phase == PPPD_UP) {
        SetLeafText(kAddressLeaf, "0.0.0.0");
        SetLeafInt(kPublishedLeaf, 0);
        world->pppdSaid = 0;
    }
    world->pidFileExists = false;
    p.phase = PPPD_RELEASE;
    UpdateLink();
    Later(slot, SEC);
}

// LCP terminate: acknowledged at once over a call that carries, else two requests 3 s apart.
void Terminate(int slot) {
    Pppd& p = *Slot(slot);
    p.phase = PPPD_ENDING;
    p.phaseAt = world->now;
    UpdateLink();
    Later(slot, CallCarries() ? Uniform(50, 300) * MS : 6 * SEC);
}

void ChatFails(int slot) {
    WorldNote("chat of pppd %d failed", Slot(slot)->pid);
    // "Connect script failed": no pid file, the port closes.
    Exit(slot);
}

void ChatConnected(int slot) {
    Pppd& p = *Slot(slot);
    WorldNote("chat of pppd %d connected, pid file written", p.pid);
    snprintf(world->pidFile, sizeof world->pidFile, "%d\n", p.pid);
    world->pidFileExists = true;
    p.phase = PPPD_NEGOTIATE;
    p.phaseAt = world->now;
    // LCP and IPCP: about a second on a box; about 3 s in the rehearsal's kernel, whose network
    // side starts a pppd in a namespace of its own for each call. A network that is slow to
    // hand out the address delays IPCP.
    Later(slot, Uniform(800, 1500) * MS + (Calibrating() ? Uniform(1500, 2500) * MS : 0) +
                    world->lateAddressUs);
    p.lateAddress = world->lateAddressUs > 0;
    world->lateAddressUs = 0;
}

// The next send string, as chat sends it: with a final carriage return unless it ends in \c.
void SetSend(Pppd& p, const std::string& raw) {
    bool noCr = false;
    std::string text = Unescape(raw, &noCr);  // before the test of noCr: operands are unsequenced
    if (!noCr) text += '\r';
    snprintf(p.pending, sizeof p.pending, "%s", text.c_str());
}

// Sends from the current send string; false when a \d pause was met (chat then goes on later).
bool ChatSend(int slot, std::string& text) {
    size_t pause = text.find('\x01');
    std::string now = text.substr(0, pause);
    if (!now.empty()) PortWrite(PORT_DATA, now.data(), (int)now.size());
    if (pause == std::string::npos) return true;
    text = text.substr(pause + 1);
    Later(slot, SEC);
    return false;
}

void ChatRun(int slot) {
    Pppd& p = *Slot(slot);
    for (;;) {
        if (p.pending[0]) {
            std::string rest(p.pending);
            p.pending[0] = '\0';
            if (!ChatSend(slot, rest)) {
                snprintf(p.pending, sizeof p.pending, "%s", rest.c_str());
                return;
            }
        }
        if (p.step >= (int)chatScript.size()) {
            ChatConnected(slot);
            return;
        }
        const ChatStep& st = chatScript[(size_t)p.step];
        if (st.type != ChatStep::PAIR) {
            if (st.type == ChatStep::TIMEOUT) p.timeout = atoi(st.arg.c_str());
            for (size_t i = 0; i < abortTable.size(); i++) {
                if (abortTable[i] != st.arg) continue;
                if (st.type == ChatStep::ABORT) p.aborts |= 1u << i;
                if (st.type == ChatStep::CLR_ABORT) p.aborts &= ~(1u << i);
            }
            p.step++;
            continue;
        }
        const std::string& want = st.expect[(size_t)p.sub];
        if (p.deadline == 0) {
            p.deadline = world->now + (int64_t)p.timeout * SEC;
            p.seenLen = 0;
        }
        bool found = want.empty();
        PortArrived(PORT_DATA);
        char buf[64];
        int n;
        while (!found && (n = PortTake(PORT_DATA, buf, (int)sizeof buf)) > 0) {
            for (int k = 0; k < n && !found; k++) {
                if (p.seenLen == (int)sizeof p.seen) {
                    memmove(p.seen, p.seen + 40, sizeof p.seen - 40);
                    p.seenLen -= 40;
                }
                p.seen[p.seenLen++] = buf[k];
                std::string seen(p.seen, (size_t)p.seenLen);
                for (size_t i = 0; i < abortTable.size(); i++) {
                    if ((p.aborts & (1u << i)) && seen.size() >= abortTable[i].size() &&
                        seen.compare(seen.size() - abortTable[i].size(), std::string::npos, abortTable[i]) == 0) {
                        ChatFails(slot);
                        return;
                    }
                }
                found = seen.size() >= want.size() &&
                        seen.compare(seen.size() - want.size(), std::string::npos, want) == 0;
            }
        }
        if (found) {
            SetSend(p, st.arg);
            p.step++;
            p.sub = 0;
            p.deadline = 0;
            continue;
        }
        if (world->now >= p.deadline) {
            if ((size_t)p.sub + 2 >= st.expect.size()) {
                ChatFails(slot);  // a timeout with no subexpect left
                return;
            }
            SetSend(p, st.expect[(size_t)p.sub + 1]);
            p.sub += 2;
            p.deadline = 0;
            continue;
        }
        int64_t next = PortNextArrival(PORT_DATA);
        Later(slot, (next >= 0 && next < p.deadline ? next : p.deadline) - world->now);
        return;
    }
}

void StartPppd() {
    CheckPppdStart();
    world->refreshBase = world->now;
    int slot = 0;
    while (slot < 3 && Slot(slot)->phase != PPPD_NONE) slot++;
    if (slot == 3) return;
    SpawnPid("pppd", 0);  // the foreground pppd, gone once it has detached
    Pppd& p = *Slot(slot);
    memset(&p, 0, sizeof p);
    p.pid = SpawnPid("pppd", -1);
    WorldNote("pppd %d starts", p.pid);
    p.phase = PPPD_CHAT;
    p.phaseAt = world->now;
    PortOpened(PORT_DATA);
    world->ports[PORT_DATA].speed = B115200;
    Later(slot, Uniform(10, 40) * MS);
}

int Fping(const char* command) {
    int timeoutMs = 0;
    char target[64] = "";
    if (sscanf(command, "fping -c1 -t%d -I ppp1 %63s", &timeoutMs, target) != 2) return 2 << 8;
    World& w = *world;
    bool answered = w.linkUp && !w.pingsDropped && w.now >= w.pingsLostUntil;
    int64_t rtt = Uniform(80, 400) * MS;
    if (timeoutMs < 1) timeoutMs = 1;
    if (rtt > (int64_t)timeoutMs * MS) answered = false;
    w.pings++;
    w.pingHistory = (w.pingHistory << 1) | (answered ? 0u : 1u);
    if (!answered) w.pingsFailed++;
    AdvanceTo(w.now + (answered ? rtt : (int64_t)timeoutMs * MS));
    return answered ? 0 : 1 << 8;
}

}  // namespace

bool LoadBoxFiles(const char* sourceDir) {
    std::string dir(sourceDir);
    std::ifstream gen(dir + "/dist/ppp/generate_cell_chat_script.sh");
    std::string line;
    bool inScript = false;
    while (std::getline(gen, line)) {
        if (line.find("<<'CHAT'") != std::string::npos) {
            inScript = true;
            continue;
        }
        if (!inScript) continue;
        if (line == "CHAT") break;
        std::vector<std::string> w = Words(line);
        if (w.size() != 2) return false;
        ChatStep st;
        st.arg = w[1];
        if (w[0] == "ABORT" || w[0] == "CLR_ABORT") {
            st.type = w[0] == "ABORT" ? ChatStep::ABORT : ChatStep::CLR_ABORT;
            bool known = false;
            for (const std::string& a : abortTable) known = known || a == w[1];
            if (!known) abortTable.push_back(w[1]);
        } else if (w[0] == "TIMEOUT") {
            st.type = ChatStep::TIMEOUT;
        } else {
            st.type = ChatStep::PAIR;
            st.expect = Split(w[0], '-');
            // The expects are matched as they arrive; the sends between them keep their escapes
            // until they go out, where a \c takes away the final carriage return.
            for (size_t i = 0; i < st.expect.size(); i += 2) st.expect[i] = Unescape(st.expect[i], nullptr);
            if (st.expect.size() % 2 == 0) return false;
        }
        chatScript.push_back(st);
    }
    std::ifstream opts(dir + "/dist/ppp/options.ttyPSC7");
    while (std::getline(opts, line)) {
        sscanf(line.c_str(), "lcp-echo-interval %d", &lcpEchoInterval);
        sscanf(line.c_str(), "lcp-echo-failure %d", &lcpEchoFailure);
    }
    return !chatScript.empty() && abortTable.size() <= 32 && lcpEchoInterval > 0 && lcpEchoFailure > 0;
}

int RunShell(const char* command) {
    World& w = *world;
    SpawnPid("sh", 0);
    int status;
    if (strncmp(command, "fping ", 6) == 0) {
        SpawnPid("fping", 0);
        return Fping(command);
    }
    if (strcmp(command, kPppdCommand) == 0) {
        w.restartWait = w.inSupervision;
        StartPppd();
        status = 0;
    } else if (strncmp(command, "exec rm -rf ", 12) == 0) {
        status = 0;
    } else if (strcmp(command, "exec rm /tmp/cell_pipe") == 0) {
        status = 1 << 8;  // no such file: nothing on the box makes the pipe any more
    } else if (strcmp(command, "/etc/ppp/generate_cell_chat_script.sh") == 0) {
        status = 0;
    } else {
        status = 127 << 8;
    }
    AdvanceTo(w.now + Uniform(40, 90) * MS);
    return status;
}

void PppdEvent(int slotAndTimer, int pid) {
    const int slot = slotAndTimer & 3;
    Pppd& p = *Slot(slot);
    // A timer replaced since, or one of a pppd gone.
    if (p.pid != pid || p.phase == PPPD_NONE || p.timer != slotAndTimer >> 2) return;
    if (p.stopped) return;                             // picked up again when continued
    switch (p.phase) {
    case PPPD_CHAT: ChatRun(slot); break;
    case PPPD_NEGOTIATE:
        if (!CallCarries()) {
            // LCP gets no answer: pppd gives up after its configure-requests, about 30 s.
            if (world->now - p.phaseAt >= 30 * SEC) Terminate(slot);
            else Later(slot, 3 * SEC);
            break;
        }
        p.phase = PPPD_UP;
        WorldNote("pppd %d up", p.pid);
        if (Uniform(0, 1) == 1 || world->networkAddress == 0)
            world->networkAddress = (10u << 24) | (170u << 16) | (uint32_t)Uniform(1, 65534);
        p.address = world->networkAddress;
        // ip-up: the address where the daemon reads it and where it is published.
        SetLeafText(kAddressLeaf, Dotted(p.address).c_str());
        SetLeafInt(kPublishedLeaf, (int32_t)p.address);
        world->pppdSaid = p.address;
        UpdateLink();
        if (p.lateAddress) FaultWatch(-4);
        Later(slot, (int64_t)lcpEchoInterval * SEC);
        break;
    case PPPD_UP:
        p.echoFails = CallCarries() ? 0 : p.echoFails + 1;
        // lcp-echo-failure N: the link is given up when the echo after N unanswered ones is due.
        if (p.echoFails > lcpEchoFailure) {
            Terminate(slot);
            break;
        }
        Later(slot, (int64_t)lcpEchoInterval * SEC);
        break;
    case PPPD_ENDING: Hangup(slot); break;
    case PPPD_RELEASE: Exit(slot); break;
    }
}

void PppdSignal(int slot, int sig) {
    Pppd& p = *Slot(slot);
    WorldNote("pppd %d gets signal %d", p.pid, sig);
    if (sig == SIGKILL) {
        Exit(slot);  // the pid file stays behind, nobody runs ip-down
        return;
    }
    if (sig == SIGSTOP) {
        p.stopped = true;
        return;
    }
    if (sig == SIGCONT) {
        p.stopped = false;
        if (p.termPending) {
            p.termPending = false;
            PppdSignal(slot, SIGTERM);
        } else {
            Later(slot, 0);
        }
        return;
    }
    if (sig != SIGTERM) return;
    if (p.stopped) {
        p.termPending = true;
        return;
    }
    if (p.phase == PPPD_CHAT) {
        Exit(slot);  // the connect script is killed with it: no pid file yet
    } else if (p.phase == PPPD_NEGOTIATE || p.phase == PPPD_UP) {
        Terminate(slot);
    }
}

int PppdAlive() {
    int alive = 0;
    for (const Pppd& p : world->pppd) alive += p.phase != PPPD_NONE;
    return alive;
}

void UpdateLink() {
    bool up = false;
    for (const Pppd& p : world->pppd) up = up || p.phase == PPPD_UP;
    up = up && CallCarries();
    if (up != world->linkUp) LinkChanged(up);
}

}  // namespace fieldsim
