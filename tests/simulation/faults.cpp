// Faults from a seed: each kind comes at random with the mean interval the rates file gives it
// (an exponential draw, so the schedule is a Poisson process per kind), lasts what the file
// says, and is followed until the link has carried traffic again for a minute: its recovery,
// and the power cycles and exits it cost.
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "world.h"

namespace fieldsim {

namespace {

enum Kind {
    NETWORK_DROP, NETWORK_SILENT, PING_LOST, PINGS_DROPPED, URC, LATE_ANSWER, NO_COVERAGE,
    MODEM_REBOOT, PPPD_KILLED, PPPD_STALL, CLOCK_STEP, STORE_READ_FAILS, DIAL_HANG, ECHO_OFF,
    STRAY_ERROR, REFRESH, LATE_ADDRESS, KIND_COUNT
};

// restartCures: once the fault is over, restarting pppd is all the link needs, so it must cost
// no power cycle and no exit. limit: how long after the fault's end the waits allow before the
// link carries traffic again (the rehearsal's recovery table, with room for a start in progress).
// grave: what a power cycle or an exit is charged to when several faults are open: a fault that
// takes the modem or the network away (2) before one that ends a call (1) before the rest.
struct KindInfo {
    const char* name;
    bool restartCures;
    int64_t limit;
    int grave;
};
const KindInfo kKinds[KIND_COUNT] = {
    {"network-drop", true, 45 * SEC, 1},    {"network-silent", true, 45 * SEC, 1},
    {"ping-lost", true, 60 * SEC, 0},       {"pings-dropped", false, 420 * SEC, 2},
    {"urc", true, 60 * SEC, 0},             {"late-answer", true, 60 * SEC, 0},
    {"no-coverage", false, 720 * SEC, 2},   {"modem-reboot", false, 720 * SEC, 2},
    {"pppd-killed", true, 30 * SEC, 1},     {"pppd-stall", true, 30 * SEC, 1},
    {"clock-step", true, 60 * SEC, 0},      {"store-read-fails", true, 60 * SEC, 0},
    {"dial-hang", true, 30 * SEC, 1},       {"echo-off", false, 420 * SEC, 2},
    {"stray-error", true, 60 * SEC, 0},     {"refresh", true, 45 * SEC, 0},
    {"late-address", true, 45 * SEC, 0},
};
static_assert((int)KIND_COUNT <= (int)FAULT_KINDS, "the world keeps statistics for FAULT_KINDS kinds");

// From the rates file: mean interval between two (0: never) and the duration's range.
int64_t every[KIND_COUNT];
int64_t lastsLo[KIND_COUNT], lastsHi[KIND_COUNT];
// A variant forced by the calibration (a killed pppd's pid taken by another program or not), -1
// for a random one.
int forcedVariant = -1;
bool calibrating = false;

const char* const kUnsolicited[] = {"+CREG: 5", "+CEREG: 2", "#QSS: 1", "RING"};
// A link back for good: half a minute of traffic (a refresh every minute leaves it no longer).
const int64_t kSettle = 30 * SEC;
// A fault that cost a start (an exit while it lasted) allows what a start takes: init's 10 s, the
// attempt in progress, one that finds the modem (two power cycles, about 240 s on a box).
const int64_t kStartLimit = 480 * SEC;
const int64_t kYear = 31557600LL * SEC;

// "90s", "2m", "12h", "7d": a duration in world time; -1 when it is none of those.
int64_t Duration(const std::string& text) {
    if (text == "0" || text == "never") return 0;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (end == text.c_str() || v < 0) return -1;
    std::string unit(end);
    double scale = unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : -1;
    return scale < 0 ? -1 : (int64_t)(v * scale * SEC);
}

void AccountUp(int64_t from, int64_t to) {
    while (from < to) {
        int64_t year = from / kYear;
        int64_t yearEnd = (year + 1) * kYear;
        int64_t upTo = to < yearEnd ? to : yearEnd;
        if (year < YEARS_MAX) world->upUs[year] += upTo - from;
        from = upTo;
    }
}

int Open(int kind) {
    World& w = *world;
    if (w.activeCount == (int)(sizeof w.active / sizeof w.active[0])) return -1;
    Occurrence& o = w.active[w.activeCount];
    o = Occurrence();
    o.kind = kind;
    o.serial = ++w.occurrenceSerial;
    o.begin = w.now;
    o.end = -1;
    // A fault that meets a link being brought up (a start, the watchdog's restart wait, even once
    // the new pppd carries traffic and the daemon has not looked yet) meets waits that end the
    // process by design: only one that meets a carrying link under supervision is judged.
    o.inSupervision = w.daemonRunning && w.inSupervision && !w.restartWait && w.linkUp;
    w.stats[kind].count++;
    return w.activeCount++;
}

void Close(int slot, int64_t backUs) {
    World& w = *world;
    Occurrence& o = w.active[slot];
    FaultStats& s = w.stats[o.kind];
    s.downUs += o.downUs;
    int64_t secs = backUs / SEC;
    s.recovery[secs < RECOVERY_BINS - 1 ? secs : RECOVERY_BINS - 1]++;
    if (backUs > s.worstUs) s.worstUs = backUs;
    w.active[slot] = w.active[--w.activeCount];
}

void End(int slot) {
    Occurrence& o = world->active[slot];
    WorldNote("fault %s ends", kKinds[o.kind].name);
    o.end = world->now;
    o.pingsLostOn = world->pingHistory & 1;
    Schedule(world->now + kKinds[o.kind].limit, EV_LINK_DEADLINE, slot, o.serial);
    Schedule(world->now + kSettle, EV_LINK_DEADLINE, -1);
}

int AlivePppd() {
    for (int i = 0; i < 3; i++)
        if (world->pppd[i].phase != PPPD_NONE) return i;
    return -1;
}

// The open occurrence a power cycle or an exit is charged to: the gravest, the one begun last
// among equals. A URC in a stretch without coverage does not take the blame for it.
Occurrence* Charged() {
    Occurrence* charged = nullptr;
    for (int i = 0; i < world->activeCount; i++) {
        Occurrence& o = world->active[i];
        int g = kKinds[o.kind].grave;
        if (!charged || g > kKinds[charged->kind].grave ||
            (g == kKinds[charged->kind].grave && o.begin >= charged->begin))
            charged = &o;
    }
    return charged;
}

}  // namespace

const char* FaultName(int kind) { return kKinds[kind].name; }
int FaultKinds() { return KIND_COUNT; }

bool LoadRates(const char* path, bool swarm) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, interval, lasting;
        if (!(words >> name) || name[0] == '#') continue;
        words >> interval >> lasting;
        int kind = 0;
        while (kind < KIND_COUNT && name != kKinds[kind].name) kind++;
        int64_t e = Duration(interval);
        if (kind == KIND_COUNT || e < 0) {
            fprintf(stderr, "%s: cannot read \"%s\"\n", path, line.c_str());
            return false;
        }
        every[kind] = e;
        size_t dash = lasting.find('-');
        lastsLo[kind] = lasting.empty() ? 0 : Duration(lasting.substr(0, dash));
        lastsHi[kind] = dash == std::string::npos ? lastsLo[kind] : Duration(lasting.substr(dash + 1));
        if (lastsLo[kind] < 0 || lastsHi[kind] < lastsLo[kind]) {
            fprintf(stderr, "%s: cannot read the duration in \"%s\"\n", path, line.c_str());
            return false;
        }
    }
    if (!swarm) return true;
    // A swarm member keeps a random half of the faults, each from 30 times as often to a third.
    for (int k = 0; k < KIND_COUNT; k++) {
        if (every[k] == 0 && k == ECHO_OFF) every[k] = 365 * 86400 * SEC;
        if (Uniform(0, 1) == 0) every[k] = 0;
        every[k] = (int64_t)((double)every[k] * pow(10.0, (double)Uniform(-150, 50) / 100.0));
    }
    return true;
}

void ScheduleFaults() {
    for (int k = 0; k < KIND_COUNT; k++) {
        if (every[k] <= 0) continue;
        double u = ((double)(Random() >> 11) + 0.5) / 9007199254740992.0;
        Schedule(world->now + (int64_t)(-log(u) * (double)every[k]), EV_FAULT, k);
    }
}

void FaultEvent(int kind) {
    World& w = *world;
    if (every[kind] > 0) {
        double u = ((double)(Random() >> 11) + 0.5) / 9007199254740992.0;
        Schedule(w.now + 1 + (int64_t)(-log(u) * (double)every[kind]), EV_FAULT, kind);
    }
    int slot = Open(kind);
    if (slot < 0) return;
    int64_t lasts = Uniform(lastsLo[kind], lastsHi[kind]);
    WorldNote("fault %s begins, lasting %.0f s", kKinds[kind].name, (double)lasts / SEC);
    int pppd = AlivePppd();
    switch (kind) {
    case NETWORK_DROP: CallDropped(true); break;
    case NETWORK_SILENT: w.networkSilent = true; break;
    case PING_LOST: w.pingsLostUntil = w.now + lasts; break;
    case PINGS_DROPPED: w.pingsDropped = true; break;
    case URC: ModemUnsolicited((int)Uniform(0, 1), kUnsolicited[Uniform(0, 3)]); break;
    case STRAY_ERROR: ModemUnsolicited((int)Uniform(0, 1), "ERROR"); break;
    case LATE_ANSWER: w.modem.lateMs = 3000; break;
    case NO_COVERAGE:
        w.modem.csq = 99;
        w.noCoverage = true;
        CallDropped(true);
        break;
    case MODEM_REBOOT: ModemReboot(lasts); break;
    case PPPD_KILLED:
        if (pppd < 0) break;
        {
            int pid = w.pppd[pppd].pid;
            PppdSignal(pppd, SIGKILL);
            // Pids wrap within days on a box that starts fping every few seconds: now and then
            // another program already holds the pid the stale file names.
            bool reused = forcedVariant >= 0 ? forcedVariant == 1 : Uniform(0, 1) == 1;
            if (reused && w.procCount < (int)(sizeof w.procs / sizeof w.procs[0])) {
                Proc& p = w.procs[w.procCount++];
                p.pid = pid;
                snprintf(p.name, sizeof p.name, "%s", Uniform(0, 1) ? "logger" : "sh");
                p.until = w.now + Uniform(60, 7200) * SEC;
                Schedule(p.until, EV_PROC_END, pid);
            }
        }
        break;
    case PPPD_STALL:
        if (pppd >= 0) PppdSignal(pppd, SIGSTOP);
        break;
    case CLOCK_STEP:
        w.wallStepUs += (Uniform(0, 1) ? 1 : -1) *
                        (Uniform(0, 9) == 0 ? 365 * 86400 * SEC : Uniform(1, 3 * 86400) * SEC);
        break;
    case STORE_READ_FAILS: w.storeFailsUntil = w.now + lasts; break;
    case DIAL_HANG: w.modem.dialHangMs = (int)(lasts > 0 ? lasts / MS : 30000); return;
    case LATE_ADDRESS:
        // The next call's address, here forced by dropping the call as the rehearsal does.
        w.lateAddressUs = lasts;
        CallDropped(true);
        UpdateLink();
        return;  // over once ip-up has published the late address
    case ECHO_OFF: w.modem.savedEcho = false; break;
    }
    UpdateLink();
    if (lasts > 0) {
        Schedule(w.now + lasts, EV_FAULT_END, slot, kind);
        return;
    }
    End(slot);
}

void FaultEnds(int slot, int kind) {
    World& w = *world;
    if (slot >= w.activeCount || w.active[slot].kind != kind || w.active[slot].end >= 0) {
        // The slot moved when another occurrence closed: find the oldest open one of the kind.
        slot = -1;
        for (int i = 0; i < w.activeCount; i++)
            if (w.active[i].kind == kind && w.active[i].end < 0 &&
                (slot < 0 || w.active[i].begin < w.active[slot].begin))
                slot = i;
        if (slot < 0) return;
    }
    switch (kind) {
    case NETWORK_SILENT: w.networkSilent = false; break;
    case LATE_ANSWER: w.modem.lateMs = 0; break;
    case PINGS_DROPPED: w.pingsDropped = false; break;
    case NO_COVERAGE:
        w.noCoverage = false;
        w.modem.csq = (int)Uniform(10, 25);
        break;
    case PPPD_STALL:
        for (int i = 0; i < 3; i++)
            if (w.pppd[i].stopped) PppdSignal(i, SIGCONT);
        break;
    }
    End(slot);
    UpdateLink();
}

// A held dial began (-2) or ended (-1); a pppd exited (-3), which ends the calibration's silence
// as the rehearsal ends it.
void FaultWatch(int what) {
    World& w = *world;
    for (int i = 0; i < w.activeCount; i++) {
        Occurrence& o = w.active[i];
        if (what == -3 && calibrating && o.kind == NETWORK_SILENT && o.end < 0) {
            FaultEnds(i, NETWORK_SILENT);
            return;
        }
        if (o.end >= 0) continue;
        if (what == -4 && o.kind == LATE_ADDRESS) End(i);
        if (o.kind != DIAL_HANG) continue;
        if (what == -2) o.inSupervision = w.daemonRunning && w.inSupervision;
        if (what == -1) End(i);
    }
}

// A power cycle or an exit: counted for its year and charged to the gravest open fault.
void Charge(bool cycle) {
    World& w = *world;
    w.lastCostAt = w.now;
    const int64_t year = w.now / kYear;
    int64_t* perYear = cycle ? w.cycles : w.exitsPerYear;
    if (year < YEARS_MAX) perYear[year]++;
    if (Occurrence* o = Charged()) {
        int& own = cycle ? o->cycles : o->exits;
        int64_t& ofKind = cycle ? w.stats[o->kind].cycles : w.stats[o->kind].exits;
        own++;
        ofKind++;
        o->costWhileOn = o->costWhileOn || o->end < 0;
    } else {
        int64_t& without = cycle ? w.cyclesWithoutFault : w.exitsWithoutFault;
        without++;
    }
    CheckNeedlessCycle();
}

void NoteCycle() {
    WorldNote("modem powered off");
    world->powerCycles++;
    Charge(true);
}

void NoteExit(int status) {
    world->exitsByStatus[status >= 0 && status < 3 ? status : 3]++;
    Charge(false);
}

// Closes every ended occurrence once the link has carried traffic for kSettle since its end (a
// fault may take the link down a moment after it, as a refresh's SIGTERM does): its recovery is
// from its end to the start of that stretch.
void RecoveryCheck() {
    World& w = *world;
    if (!w.linkUp) return;
    for (int i = w.activeCount - 1; i >= 0; i--) {
        const Occurrence& o = w.active[i];
        if (o.end < 0 || w.now - (o.end > w.linkChangedAt ? o.end : w.linkChangedAt) < kSettle) continue;
        Close(i, w.linkChangedAt > o.end ? w.linkChangedAt - o.end : 0);
    }
}

// The link must be back by the latest limit of every fault still owed a recovery; a fault still
// going on, or one with a later limit, moves the check there.
void LinkDeadline(int slot, int serial) {
    World& w = *world;
    RecoveryCheck();
    if (slot == -1 || w.linkUp) return;
    if (slot == -2) {
        // Down with no fault to blame: a refresh, or the boot's first start.
        if (w.activeCount == 0 && w.linkChangedAt == w.now - 300 * SEC && w.starts > 0 && serial == 1)
            CheckLinkBack(Occurrence());
        return;
    }
    const Occurrence* mine = nullptr;
    int64_t latest = 0;
    for (int i = 0; i < w.activeCount; i++) {
        const Occurrence& o = w.active[i];
        if (o.serial == serial) mine = &o;
        int64_t limit = kKinds[o.kind].limit;
        // One that cost a start, or met a link being brought up (the start, the watchdog's
        // restart wait, which ends the process when pppd dies in it), allows a start.
        if ((o.exits > 0 || o.cycles > 0 || !o.inSupervision) && limit < kStartLimit) limit = kStartLimit;
        int64_t due = (o.end < 0 ? w.now : o.end) + limit;
        if (due > latest) latest = due;
    }
    // Back since, and down again for another reason (a refresh): not this fault's doing.
    if (!mine || w.downSince > mine->end) return;
    // A start under way (after an exit or a power cycle, for whatever reason) takes its time.
    if (w.lastCostAt + kStartLimit > latest) latest = w.lastCostAt + kStartLimit;
    if (latest > w.now) {
        Schedule(latest, EV_LINK_DEADLINE, slot, serial);
        return;
    }
    CheckLinkBack(*mine);
}

void LinkChanged(bool up) {
    World& w = *world;
    RecoveryCheck();
    if (w.linkUp) AccountUp(w.linkChangedAt, w.now);
    if (up) {
        for (int i = 0; i < w.activeCount; i++) {
            Occurrence& o = w.active[i];
            o.downUs += w.now - (w.downSince > o.begin ? w.downSince : o.begin);
        }
    }
    w.linkUp = up;
    w.linkChangedAt = w.now;
    if (up) {
        Schedule(w.now + kSettle, EV_LINK_DEADLINE, -1);
    } else {
        w.downSince = w.now;
        // Only a link that had been up once in this run is owed a return without a fault.
        Schedule(w.now + 300 * SEC, EV_LINK_DEADLINE, -2, w.activeCount == 0 ? 1 : 0);
    }
}

void FinishAccounts() {
    if (world->linkUp) AccountUp(world->linkChangedAt, world->now);
    world->linkChangedAt = world->now;
}

bool CuredByRestart(int kind) { return kKinds[kind].restartCures; }

int64_t LimitOf(int kind) { return kind >= 0 ? kKinds[kind].limit : 300 * SEC; }

// The rehearsal's scenarios that the world can play (README, Recovery), each once.
struct Scenario {
    int kind;
    int64_t lasts;
    int variant;
};
const Scenario kScenarios[] = {
    {REFRESH, 0, -1},         // the next refresh, as it comes
    {NETWORK_DROP, 0, -1},
    {NETWORK_SILENT, 600 * SEC, -1},  // ends once the pppd that gave up on it has gone
    {PPPD_KILLED, 0, 1},      // stale-pid: its pid taken by another program
    {PPPD_KILLED, 0, 0},      // stale-pid-gone
    {PPPD_STALL, 20 * SEC, -1},  // pppd-slow-exit: held across the refresh
    {DIAL_HANG, 30 * SEC, -1},   // the call dropped, the re-dial held
    {URC, 0, -1},
    {LATE_ANSWER, 70 * SEC, -1},
    {LATE_ADDRESS, 20 * SEC, -1},  // the call dropped, the re-dial's address 20 s late
    {MODEM_REBOOT, 120 * SEC, -1},
    {PINGS_DROPPED, 150 * SEC, -1},
};

bool Calibrating() { return calibrating; }

void StartCalibration() {
    calibrating = true;
    Schedule(world->now, EV_SCENARIO, 0);
}

void RefreshBegins() {
    int slot = Open(REFRESH);
    if (slot >= 0) End(slot);
}

void ScenarioEvent(int step) {
    World& w = *world;
    const int count = (int)(sizeof kScenarios / sizeof kScenarios[0]);
    if (step >= count) {
        w.end = w.now;
        return;
    }
    const Scenario& s = kScenarios[step];
    int64_t untilRefresh = w.refreshBase + w.refreshSetting - w.now;
    bool ready = w.linkUp && w.now - w.linkChangedAt >= 120 * SEC && w.inSupervision;
    // The stall must hold pppd across the refresh: it begins a few seconds before it.
    if (s.kind == PPPD_STALL) ready = ready && untilRefresh > 0 && untilRefresh <= 5 * SEC;
    else ready = ready && untilRefresh > 300 * SEC;
    if (s.kind == REFRESH && w.inSupervision && w.refreshSetting > 0) {
        // Followed as it comes; the next scenario after it has settled.
        Schedule(w.refreshBase + w.refreshSetting + 180 * SEC, EV_SCENARIO, step + 1);
        return;
    }
    if (!ready || s.kind == REFRESH) {
        Schedule(w.now + SEC, EV_SCENARIO, step);
        return;
    }
    every[s.kind] = 0;
    lastsLo[s.kind] = lastsHi[s.kind] = s.lasts;
    forcedVariant = s.variant;
    if (s.kind == DIAL_HANG) {
        FaultEvent(DIAL_HANG);
        CallDropped(true);
    } else {
        FaultEvent(s.kind);
    }
    Schedule(w.now + 900 * SEC, EV_SCENARIO, step + 1);
}

}  // namespace fieldsim
