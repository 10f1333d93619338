// The field simulator's world: the box around the daemon (its clocks, init, the store and the
// power service, the modem on its two serial ports, pppd and chat, fping and the network), kept as
// plain data in memory that every daemon process of a run shares with the simulator, so that a
// start after an exit meets the world the last one left. Time is a number the world owns: it moves
// only when the daemon waits (a sleep, a read time-out, a shell command) or between two starts.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace fieldsim {

const int64_t SEC = 1000000;  // world time: microseconds since the box booted
const int64_t MS = 1000;

enum { PORT_DATA = 0, PORT_AUX = 1 };

// The modem's state as the device simulator's engine keeps it (devsim::Modem), in plain fields;
// modem.cpp turns it into the engine's record for each command and back.
struct ModemState {
    bool powered;
    int64_t readyAtMs, rebootUntilMs, dialHeldUntilMs;
    int rate, savedRate, dtr, savedDtr, cmee, icmp, portcfgRequested, portcfgActive, s0;
    bool echo, savedEcho, verbose, inCall, dataMode;
    int csq;          // the level AT+CSQ answers now (99: no coverage)
    int dialHangMs;   // the next dial is held that long
    int lateMs;       // AT+CSQ on the aux port answered that late (0: at once)
    int bootMs;       // power-on to the first answer, for the next power-up
    int bootMsMax;    // the longest a power-up takes (a slow boot: up to 90 s)
    bool powerUpNoise;  // NUL, 0xFF and 0xC0 on both lines as the supply rises
};

// Bytes from the modem on their way to the host, and those arrived and not yet read.
struct Chunk {
    int64_t due;
    int16_t len;
    bool unsolicited;  // the modem's own words: heard only by a host at the modem's line speed
    char bytes[221];
};
struct SerialPort {
    unsigned speed;  // the line speed the host set (termios constant)
    int vmin, vtime;
    int holders;  // open descriptions: the daemon's and pppd's
    char line[128];
    int lineLen;
    int64_t lastHostByte;
    int plusRun;
    Chunk out[24];
    int outCount;
    char in[4096];
    int inLen;
};

enum PppdPhase { PPPD_NONE = 0, PPPD_CHAT, PPPD_NEGOTIATE, PPPD_UP, PPPD_ENDING, PPPD_RELEASE };
struct Pppd {
    int pid;
    int phase;
    bool stopped;        // SIGSTOP: acts on nothing until continued
    bool termPending;    // SIGTERM received while stopped
    int echoFails;
    int64_t phaseAt;     // when the current phase began
    int timer;           // the number of its pending timer
    bool lateAddress;    // its address comes late
    uint32_t address;    // the address IPCP gave
    // chat, while phase is PPPD_CHAT
    int step, sub, timeout;
    unsigned aborts;     // one bit per ABORT string in force
    int64_t deadline;
    char seen[80];
    int seenLen;
    char pending[48];  // the rest of a send string, after a \d pause
};

struct Proc {
    int pid;
    char name[16];
    int64_t until;  // a box program that ends on its own then; 0 for none
};

struct Leaf {
    char path[64];
    int type;  // toolkit::CElement type tag
    int32_t i;
    char s[48];
};

struct Event {
    int64_t at;
    uint32_t seq;
    int16_t kind;
    int32_t a, b;
};

enum { FAULT_KINDS = 24, RECOVERY_BINS = 3601, YEARS_MAX = 64, TRACE_RING = 1 << 18 };

// One fault that happened: what it cost until the link was back.
struct Occurrence {
    int kind, serial;
    int64_t begin, end;  // end -1 while it lasts
    int cycles, exits;
    bool inSupervision;  // the daemon was supervising a link that carried traffic when it began
    bool costWhileOn;    // a power cycle or an exit came while the fault lasted
    bool pingsLostOn;    // the daemon's last ping had failed when the fault ended
    int64_t downUs;      // the link's time down since it began
};

struct FaultStats {
    int64_t count, cycles, exits, worstUs, downUs;
    int recovery[RECOVERY_BINS];  // seconds to the link's return, the last bin for longer
};

struct World {
    // Clocks and the run.
    int64_t now, end;
    int64_t wallStartUs, wallStepUs;  // the wall clock is wallStart + now + wallStep
    uint64_t rng;
    uint32_t eventSeq;
    Event events[160];
    int eventCount;

    // Processes: the pid counter and the programs alive that pids can name.
    int nextPid;
    Proc procs[24];
    int procCount;
    int daemonPid;
    int starts;
    bool daemonRunning, inSupervision;
    bool restartWait;  // the watchdog has started pppd and not yet said whether it is back

    // The store and the power service.
    Leaf leaves[48];
    int leafCount;
    int64_t storeFailsUntil;  // the store answers no read until then
    int64_t lastPowerRequest;
    int pendingOffAt;  // a power-off request acted on and no power-on request yet (1) or none (0)

    // The modem and its lines.
    ModemState modem;
    SerialPort ports[2];
    uint32_t networkAddress;
    bool networkSilent, noCoverage, pingsDropped;
    int64_t pingsLostUntil;  // the network loses the pings sent until then
    int64_t lateAddressUs;   // the next call's address comes that much later

    // pppd: normally one; room for a second started beside it.
    Pppd pppd[3];
    char pidFile[16];
    bool pidFileExists;

    // The link and what it cost.
    bool linkUp;
    int64_t linkChangedAt, downSince;
    int64_t upUs[YEARS_MAX], cycles[YEARS_MAX], exitsPerYear[YEARS_MAX];
    int64_t powerCycles, exitsByStatus[4];
    Occurrence active[32];
    int activeCount, occurrenceSerial;
    int64_t cyclesWithoutFault, exitsWithoutFault;
    int64_t lastCostAt;  // the last power cycle or exit
    FaultStats stats[FAULT_KINDS];
    int64_t pings, pingsFailed;
    uint32_t pingHistory;  // one bit per ping, the newest lowest: 1 failed
    int64_t lastCsqDelivered;  // when the daemon last read a level on the aux port
    int csqDelivered;          // the level in the last "+CSQ:" the daemon read since it asked
    uint32_t pppdSaid;         // the address the last ip-up published, 0 after ip-down

    // The daemon's resources, as its processes saw them.
    int fdFirst, fdLast, fdPassBaseline;
    int64_t heapFirst, heapLast, heapPassBaseline;
    int64_t passes, seamCallsSinceWait;

    // What the daemon printed, the last part of it, with the time of each write.
    char trace[TRACE_RING];
    uint64_t traceHead;
    int64_t lastTraceAt;
    bool traceMidLine;
    // The refresh the daemon announced ("connRefreshInterval = N", seconds), and since when it
    // owes the next one: its supervision's start, its last pppd start or SIGTERM.
    int64_t refreshSetting, refreshBase;
    char lastLine[200];

    // The first invariant broken ends the run.
    char violation[40];
    char violationDetail[240];
    int64_t violationAt;
};

extern World* world;

// Event kinds.
enum {
    EV_FAULT = 1,      // a: fault kind; the next of that kind is drawn as it fires
    EV_FAULT_END,      // a: occurrence slot, b: fault kind
    EV_POWER_SERVICE,  // a: 1 on, 0 off
    EV_PPPD,           // a: pppd slot, b: its pid (a stale timer of a pppd gone is dropped)
    EV_PROC_END,       // a: pid
    EV_ESCAPE,         // the second guard time of an escape
    EV_DIAL_HELD,      // the held dial gives up
    EV_LINK_DEADLINE,  // a: occurrence slot (-1 a settle check, -2 down with no fault), b: serial
    EV_SCENARIO        // a: the calibration's next scenario
};

// Time.
void Schedule(int64_t at, int kind, int a = 0, int b = 0);
// Moves the world to t, handling every event due on the way. False when the run's end came first
// (the world then stands at its end).
bool AdvanceTo(int64_t t);
uint64_t Random();
// A uniform draw in [lo, hi].
int64_t Uniform(int64_t lo, int64_t hi);
int64_t WallUs();
int64_t MonotonicUs();

// Processes.
int SpawnPid(const char* name, int64_t lifeUs);
void EndProc(int pid);
const Proc* FindProc(int pid);

// The store, as the box's programs and the power service see it (never fails).
Leaf* FindLeaf(const char* path);
void SetLeafInt(const char* path, int32_t v);
void SetLeafText(const char* path, const char* text);
void SetLeafBool(const char* path, bool v);
void SeedStore();

// The modem and its ports (modem.cpp).
void ModemFactory();
void ModemPowerOff();
void ModemPowerOn();
void ModemReboot(int64_t us);
void ModemUnsolicited(int port, const char* text);
// The host writes bytes to a port at the line speed it set.
void PortWrite(int port, const char* bytes, int len);
// Moves what has arrived by now into the host's input; returns the bytes waiting there.
int PortArrived(int port);
// When the next byte reaches the host, or -1 when none is on its way.
int64_t PortNextArrival(int port);
int PortTake(int port, char* buf, int size);
void PortFlushInput(int port);
void PortOpened(int port);
void PortClosed(int port);
// The call ends on the network's side.
void CallDropped(bool noCarrier);

// pppd and chat, fping, the shell (ppp.cpp).
int RunShell(const char* command);
void PppdEvent(int slotAndTimer, int pid);
void PppdSignal(int slot, int sig);
void EscapeDue();
void DialHeldEnds();
bool LoadBoxFiles(const char* sourceDir);
int PppdAlive();
void UpdateLink();

// Faults (tests/simulation/faults.cpp).
bool LoadRates(const char* path, bool swarm);
void ScheduleFaults();
void FaultEvent(int kind);
void FaultEnds(int slot, int kind);
// What a fault waits for in the world: a held dial begins (-2) or ends (-1), a pppd exits (-3), a
// late address is published (-4).
void FaultWatch(int what);
// The rehearsal's scenarios one after the other, each on a link that has carried traffic for two
// minutes, with the rehearsal's own dial time (its network side starts a pppd of its own).
void StartCalibration();
void ScenarioEvent(int step);
bool Calibrating();
// The daemon stopped pppd while supervising it: the refresh, followed like a fault.
void RefreshBegins();
const char* FaultName(int kind);
int FaultKinds();
void NoteCycle();
void NoteExit(int status);
void LinkDeadline(int slot, int serial);
void RecoveryCheck();
void LinkChanged(bool up);
void FinishAccounts();
// How long after its end a fault kind lets the link stay down; the kind -1 is none at all.
int64_t LimitOf(int kind);
bool CuredByRestart(int kind);

// The daemon process (seam.cpp): one start, as init's respawn gives it. It ends with the daemon's
// own status, or with one of these when the run ended or an invariant broke while it ran.
enum { EXIT_RUN_OVER = 200, EXIT_VIOLATION = 201 };
[[noreturn]] void RunDaemonProcess(int argc, char** argv);
void Violation(const char* name, const char* detailFmt, ...)
    __attribute__((format(printf, 2, 3)));
// A line of the world's own in the trace, "(world) " ahead of it: faults, pppd, power, init.
void WorldNote(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Invariants (tests/simulation/invariants.cpp), called where the world sees what they judge.
void CheckSignal(int pid, int sig, const char* target);
void CheckShellCommand(const char* command, int inheritedFds);
// heap: bytes in use, or -1 when not sampled at this pass.
void CheckPassTop(int openFds, int64_t heap);
void CheckExit(int status);
void CheckPowerRequest(bool on);
void CheckLeafWrite(const char* path, int32_t v);
void CheckPppdStart();
void CheckTraceSilence();
void CheckNeedlessCycle();
void CheckLinkBack(const Occurrence& o);

}  // namespace fieldsim
