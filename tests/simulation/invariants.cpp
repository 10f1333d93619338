// What must hold for the whole life of a box, checked by the field simulator wherever the world
// sees it happen: each a named check, the first one broken ends the run with the seed, the time
// and the trace leading to it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "world.h"

namespace fieldsim {

namespace {

// The longest the daemon stays silent in its verbose trace: the 60 s after a modem power-up, the
// line-speed probes of one attempt, a minute between two aux-port polls.
const int64_t kTraceSilenceMax = 75 * SEC;
// The power service needs 10 s between two requests.
const int64_t kPowerSpacing = 10 * SEC;
// The daemon's heap may move by what one pass allocates and frees, never grow for good.
const int64_t kHeapSlack = 4096;
// A refresh comes in the first pass past its period; a pass may take a ping's time-out and a
// failing aux-port poll.
const int64_t kRefreshSlack = 60 * SEC;

// Every way the process ends, with the last words that say why.
struct DocumentedExit {
    int status;
    const char* words;
};
const DocumentedExit kExits[] = {
    {0, "CFG-MAIN: EXIT linkwarden"},
    {0, "HCM:Failed to read from cell modem aux port "},
    {1, "CFG-HCE: PPP1 connection not up. Exiting"},
    {1, "HCM: PPP1 connection not resurrected. Exiting to let binary restart"},
    {1, "HCM: Ping failed "},
};

// The last bytes of the trace, as text.
std::string TraceTail(size_t n) {
    const World& w = *world;
    std::string tail;
    uint64_t from = w.traceHead > n ? w.traceHead - n : 0;
    for (uint64_t i = from; i < w.traceHead; i++) tail += w.trace[i % TRACE_RING];
    return tail;
}

bool PppdRunsTheLink(const Pppd& p) { return p.phase != PPPD_NONE && p.phase != PPPD_RELEASE; }

}  // namespace

// never a signal to a process that is not pppd, nor to a process group
void CheckSignal(int pid, int sig, const char* target) {
    if (pid <= 0) Violation("signal-only-pppd", "kill(%d, %d) reaches a process group", pid, sig);
    else if (sig != 0 && target[0] && strcmp(target, "pppd") != 0)
        Violation("signal-only-pppd", "signal %d to pid %d, which is \"%s\"", sig, pid, target);
}

// the programs the daemon starts inherit none of its descriptors
void CheckShellCommand(const char* command, int inheritedFds) {
    if (inheritedFds > 0)
        Violation("close-on-exec", "%d descriptors would pass to: %.120s", inheritedFds, command);
}

// descriptors and heap flat across the daemon's whole supervision
void CheckPassTop(int openFds, int64_t heap) {
    World& w = *world;
    if (w.fdPassBaseline < 0 && heap >= 0) {
        w.fdPassBaseline = openFds;
        w.heapPassBaseline = heap;
        if (w.starts == 1) {
            w.fdFirst = openFds;
            w.heapFirst = heap;
        }
        return;
    }
    if (openFds > w.fdPassBaseline)
        Violation("descriptors-flat", "%d descriptors open, %d at the first pass", openFds, w.fdPassBaseline);
    // the refresh it announced, on time: pppd stopped within a pass of the period's end
    bool pppdAlive = false;
    for (const Pppd& p : w.pppd) pppdAlive = pppdAlive || (p.phase != PPPD_NONE && w.pidFileExists);
    if (w.refreshSetting > 0 && pppdAlive && w.now - w.refreshBase > w.refreshSetting + kRefreshSlack)
        Violation("refresh-on-time", "no refresh for %.0f s, announced every %.0f s",
                  (double)(w.now - w.refreshBase) / SEC, (double)w.refreshSetting / SEC);
    if (heap >= 0 && heap > w.heapPassBaseline + kHeapSlack)
        Violation("heap-flat", "%lld bytes in use, %lld at the first pass", (long long)heap,
                  (long long)w.heapPassBaseline);
}

// every exit with a documented status, the words that say why as its last, and the why true
void CheckExit(int status) {
    World& w = *world;
    if (w.pendingOffAt) Violation("power-off-then-on", "the daemon ended with the modem powered off");
    const std::string tail = TraceTail(400);
    const DocumentedExit* found = nullptr;
    for (const DocumentedExit& e : kExits) {
        size_t at = tail.rfind(e.words);
        if (e.status == status && at != std::string::npos && (!found || at > tail.rfind(found->words)))
            found = &e;
    }
    if (!found) {
        Violation("exit-documented", "status %d after \"%.120s\"", status, w.lastLine);
        return;
    }
    if (strstr(found->words, "Ping failed")) {
        int n = atoi(tail.c_str() + tail.rfind(found->words) + strlen(found->words));
        if (n < 1) n = 1;
        uint32_t mask = n >= 32 ? ~0u : (1u << n) - 1;
        if ((w.pingHistory & mask) != mask)
            Violation("exit-documented", "\"Ping failed %d times\" but the last %d pings were not all lost", n, n);
    } else if (strstr(found->words, "aux port") && w.now - w.lastCsqDelivered < 290 * SEC) {
        Violation("exit-documented", "six failed aux-port polls claimed, but a level was read %.0f s ago",
                  (double)(w.now - w.lastCsqDelivered) / SEC);
    } else if (strstr(found->words, "PPP1 connection not")) {
        for (const Pppd& p : w.pppd)
            if (p.phase == PPPD_UP && w.pidFileExists && atoi(w.pidFile) == p.pid)
                Violation("exit-documented", "pppd %d runs the link and its pid file names it", p.pid);
    }
}

// power requests spaced as the service needs, and every power-off followed by its power-on
void CheckPowerRequest(bool on) {
    World& w = *world;
    if (w.lastPowerRequest >= 0 && w.now - w.lastPowerRequest < kPowerSpacing)
        Violation("power-spacing", "a power %s request %.3f s after the last one", on ? "on" : "off",
                  (double)(w.now - w.lastPowerRequest) / SEC);
    if (!on && w.pendingOffAt) Violation("power-off-then-on", "a second power-off with no power-on between");
    w.pendingOffAt = on ? 0 : 1;
    w.lastPowerRequest = w.now;
}

// the published signal level and address are what the modem and pppd last said
void CheckLeafWrite(const char* path, int32_t v) {
    World& w = *world;
    if (strcmp(path, "/U6R/Comms/CellularModem/DbLevel/Value") == 0) {
        int level = w.csqDelivered;
        int want = level >= 0 && level <= 31 ? 2 * level - 113 : -111;
        want = want < -111 ? -111 : want > -51 ? -51 : want;
        if (v != want)
            Violation("published-signal", "DbLevel %d published, the modem's last +CSQ said %d (%d dBm)", v,
                      level, want);
    } else if (strcmp(path, "/U6IC/Comms/CellularModem/IPAddr/Value") == 0 && v != (int32_t)w.pppdSaid) {
        Violation("published-address", "IPAddr %d.%d.%d.%d published, pppd last said %u.%u.%u.%u",
                  (v >> 24) & 255, (v >> 16) & 255, (v >> 8) & 255, v & 255, w.pppdSaid >> 24,
                  (w.pppdSaid >> 16) & 255, (w.pppdSaid >> 8) & 255, w.pppdSaid & 255);
    }
}

// never two pppd running the link (one in its last second, pid file gone, letting go of the
// port, is the real pppd's way of ending)
void CheckPppdStart() {
    for (const Pppd& p : world->pppd)
        if (PppdRunsTheLink(p)) Violation("one-pppd", "pppd started while pppd %d runs the link", p.pid);
}

// the trace never silent for longer than the longest wait the daemon describes
void CheckTraceSilence() {
    const World& w = *world;
    if (w.daemonRunning && w.now - w.lastTraceAt > kTraceSilenceMax)
        Violation("trace-alive", "nothing printed for %.0f s", (double)(w.now - w.lastTraceAt) / SEC);
}

// no power cycle and no exit for a fault that restarting pppd cures, once it is over
void CheckNeedlessCycle() {
    const World& w = *world;
    if (w.activeCount != 1) return;
    const Occurrence& o = w.active[0];
    // A fault that had already cost failed pings by its end may end the process by them.
    if (o.end >= 0 && o.inSupervision && !o.costWhileOn && !o.pingsLostOn && CuredByRestart(o.kind))
        Violation("no-needless-cycle", "%s, over %.0f s ago, cost a power cycle or an exit",
                  FaultName(o.kind), (double)(w.now - o.end) / SEC);
}

// the link back after every fault that ends, within the limit the waits allow
void CheckLinkBack(const Occurrence& o) {
    if (o.serial == 0) {
        Violation("link-back", "the link has been down %.0f s with no fault", (double)LimitOf(-1) / SEC);
        return;
    }
    Violation("link-back", "the link was not back %.0f s after %s ended", (double)LimitOf(o.kind) / SEC,
              FaultName(o.kind));
}

}  // namespace fieldsim
