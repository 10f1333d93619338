// The world's clock and its events, the seeded random draws, the box's processes, the store the
// daemon reads and writes, and the device's power service that acts on its requests.
#include "world.h"

#include <stdio.h>
#include <string.h>

#include "cds.h"
#include "store_backend.h"

namespace fieldsim {

World* world = nullptr;

namespace {

const int PID_MAX = 32768;
const int PID_FIRST_REUSED = 300;  // the kernel hands out low pids only once, at boot

bool Before(const Event& x, const Event& y) { return x.at < y.at || (x.at == y.at && x.seq < y.seq); }

void PushEvent(const Event& e) {
    World& w = *world;
    if (w.eventCount == (int)(sizeof w.events / sizeof w.events[0])) {
        Violation("world-overflow", "more than %d events pending", w.eventCount);
        return;
    }
    int i = w.eventCount++;
    while (i > 0 && Before(e, w.events[(i - 1) / 2])) {
        w.events[i] = w.events[(i - 1) / 2];
        i = (i - 1) / 2;
    }
    w.events[i] = e;
}

Event PopEvent() {
    World& w = *world;
    Event top = w.events[0];
    Event last = w.events[--w.eventCount];
    int i = 0;
    for (;;) {
        int c = 2 * i + 1;
        if (c >= w.eventCount) break;
        if (c + 1 < w.eventCount && Before(w.events[c + 1], w.events[c])) c++;
        if (!Before(w.events[c], last)) break;
        w.events[i] = w.events[c];
        i = c;
    }
    w.events[i] = last;
    return top;
}

void PowerServiceActs(bool on) {
    const char* leaf = on ? "/U6F/UpdateService/CellModemOn/Value" : "/U6F/UpdateService/CellModemOff/Value";
    Leaf* l = FindLeaf(leaf);
    if (!l || l->i == 0) return;
    if (on) {
        if (!world->modem.powered) ModemPowerOn();
    } else {
        ModemPowerOff();
        NoteCycle();
    }
    SetLeafBool(leaf, false);
}

void Dispatch(const Event& e) {
    switch (e.kind) {
    case EV_FAULT: FaultEvent(e.a); break;
    case EV_FAULT_END: FaultEnds(e.a, e.b); break;
    case EV_POWER_SERVICE: PowerServiceActs(e.a == 1); break;
    case EV_PPPD: PppdEvent(e.a, e.b); break;
    case EV_PROC_END: EndProc(e.a); break;
    case EV_ESCAPE: EscapeDue(); break;
    case EV_DIAL_HELD: DialHeldEnds(); break;
    case EV_LINK_DEADLINE: LinkDeadline(e.a, e.b); break;
    case EV_SCENARIO: ScenarioEvent(e.a); break;
    }
}

}  // namespace

void Schedule(int64_t at, int kind, int a, int b) {
    Event e = {at, world->eventSeq++, (int16_t)kind, a, b};
    PushEvent(e);
}

bool AdvanceTo(int64_t t) {
    World& w = *world;
    w.seamCallsSinceWait = 0;
    while (w.eventCount > 0 && w.events[0].at <= t && w.events[0].at <= w.end) {
        Event e = PopEvent();
        if (e.at > w.now) w.now = e.at;
        Dispatch(e);
        if (w.violation[0]) return false;
    }
    if (t > w.end) {
        w.now = w.end;
        return false;
    }
    if (t > w.now) w.now = t;
    return true;
}

uint64_t Random() {
    // splitmix64: one seeded stream for every draw of the run.
    uint64_t z = (world->rng += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int64_t Uniform(int64_t lo, int64_t hi) {
    if (hi <= lo) return lo;
    return lo + (int64_t)(Random() % (uint64_t)(hi - lo + 1));
}

int64_t WallUs() { return world->wallStartUs + world->now + world->wallStepUs; }
// The box's monotonic clock counts from its boot, like the world's.
int64_t MonotonicUs() { return world->now; }

int SpawnPid(const char* name, int64_t lifeUs) {
    World& w = *world;
    for (;;) {
        int pid = w.nextPid++;
        if (w.nextPid >= PID_MAX) w.nextPid = PID_FIRST_REUSED;
        if (FindProc(pid)) continue;
        if (lifeUs == 0) return pid;  // a program that ends before anyone can look
        if (w.procCount == (int)(sizeof w.procs / sizeof w.procs[0])) return pid;
        Proc& p = w.procs[w.procCount++];
        p.pid = pid;
        snprintf(p.name, sizeof p.name, "%s", name);
        p.until = lifeUs > 0 ? w.now + lifeUs : 0;
        if (lifeUs > 0) Schedule(p.until, EV_PROC_END, pid);
        return pid;
    }
}

void EndProc(int pid) {
    World& w = *world;
    for (int i = 0; i < w.procCount; i++) {
        if (w.procs[i].pid != pid) continue;
        w.procs[i] = w.procs[--w.procCount];
        return;
    }
}

const Proc* FindProc(int pid) {
    for (int i = 0; i < world->procCount; i++)
        if (world->procs[i].pid == pid) return &world->procs[i];
    return nullptr;
}

Leaf* FindLeaf(const char* path) {
    for (int i = 0; i < world->leafCount; i++)
        if (strcmp(world->leaves[i].path, path) == 0) return &world->leaves[i];
    return nullptr;
}

static Leaf* LeafFor(const char* path) {
    Leaf* l = FindLeaf(path);
    if (l) return l;
    World& w = *world;
    if (w.leafCount == (int)(sizeof w.leaves / sizeof w.leaves[0]) || strlen(path) >= sizeof l->path) {
        Violation("world-overflow", "no room for the leaf %.80s", path);
        return nullptr;
    }
    l = &w.leaves[w.leafCount++];
    memset(l, 0, sizeof *l);
    snprintf(l->path, sizeof l->path, "%s", path);
    return l;
}

void SetLeafInt(const char* path, int32_t v) {
    if (Leaf* l = LeafFor(path)) {
        l->type = toolkit::CElement::TYPE_INT;
        l->i = v;
    }
}
void SetLeafBool(const char* path, bool v) {
    if (Leaf* l = LeafFor(path)) {
        l->type = toolkit::CElement::TYPE_BOOL;
        l->i = v;
    }
}
void SetLeafText(const char* path, const char* text) {
    if (Leaf* l = LeafFor(path)) {
        l->type = toolkit::CElement::TYPE_STRING;
        snprintf(l->s, sizeof l->s, "%s", text);
    }
}

// A box with a cellular GSM modem, set up as the benchmarks' sandbox is: refresh every hour, a
// ping every 30 s to 192.0.2.1 with 3 retries and a 5 s time-out. A swarm run draws its own.
void SeedStore() {
    SetLeafBool("/U6IC/Options/Modem/Analog/Value", false);
    SetLeafBool("/U6IC/Options/Modem/CellGSM/Value", true);
    SetLeafInt("/U6C/Comms/CellModem/Modem/BaudRate/Value", 8);
    SetLeafBool("/U6F/UpdateService/CellModemOn/Value", false);
    SetLeafBool("/U6F/UpdateService/CellModemOff/Value", false);
    SetLeafText("/U6C/Comms/EthPort/3/General/IPAddress/Value", "0.0.0.0");
}

}  // namespace fieldsim

// The store client's backend: the world's leaves. Handle 1 is the one connection there is.
using fieldsim::world;

pcd_handle_t pcd_init(void) { return 1; }
void pcd_close(pcd_handle_t) {}

namespace cdsbackend {

bool Open(pcd_handle_t handle) { return handle == 1; }

api_status_t Read(pcd_handle_t, const std::string& path, toolkit::CElement& element,
                  element_property_t& info) {
    element = toolkit::CElement();
    info = element_property_t();
    if (world->now < world->storeFailsUntil) return CDS_STATUS_IO;
    const fieldsim::Leaf* l = fieldsim::FindLeaf(path.c_str());
    if (!l) return CDS_STATUS_NO_LEAF;
    switch (l->type) {
    case toolkit::CElement::TYPE_BOOL: element.set_bool(l->i != 0); break;
    case toolkit::CElement::TYPE_INT: element.set_int(l->i); break;
    default: element.set_string(l->s); break;
    }
    info.type = element.type();
    return CDS_STATUS_OK;
}

api_status_t Write(pcd_handle_t, const std::string& path, const toolkit::CElement& element) {
    const char* p = path.c_str();
    switch (element.type()) {
    case toolkit::CElement::TYPE_BOOL: fieldsim::SetLeafBool(p, element.to_bool()); break;
    case toolkit::CElement::TYPE_INT:
        fieldsim::SetLeafInt(p, element.to_int());
        fieldsim::CheckLeafWrite(p, element.to_int());
        break;
    case toolkit::CElement::TYPE_STRING: {
        std::string text;
        element.to_string(text);
        fieldsim::SetLeafText(p, text.c_str());
        break;
    }
    default: return CDS_STATUS_BAD_VALUE;
    }
    // The power service polls its request leaves about every 50 ms.
    bool on = strcmp(p, "/U6F/UpdateService/CellModemOn/Value") == 0;
    bool off = strcmp(p, "/U6F/UpdateService/CellModemOff/Value") == 0;
    if ((on || off) && element.to_bool()) {
        fieldsim::CheckPowerRequest(on);
        fieldsim::Schedule(world->now + fieldsim::Uniform(5, 50) * fieldsim::MS,
                           fieldsim::EV_POWER_SERVICE, on ? 1 : 0);
    }
    return CDS_STATUS_OK;
}

}  // namespace cdsbackend
