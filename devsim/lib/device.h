// The simulator engine's own state, shared by its source files: the two pseudo-terminals that
// stand in for the modem's UARTs, the modem behind them, the data call's network side and the
// power service, all served by one thread under one lock.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/internal.h"
#include "lib/modem.h"
#include "sim_device.h"

namespace devsim {

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
const int64_t kGuardMs = 1000;  // the escape's guard time (S12 = 50, in fiftieths of a second)
const char kNoCarrier[] = "\r\nNO CARRIER\r\n";

struct Pending {
    int64_t dueMs;
    std::string bytes;
    bool unsolicited = false;  // sent on the modem's own account: heard only at the modem's rate
};

// The supply rising at power-up, as the host's UART reads it: NULs, 0xFF and 0xC0.
const char kPowerUpNoise[] = "\xff\xc0\x00\xff\x00\xc0\xc0\xff\x00\x00\xff\xc0";
const size_t kPowerUpNoiseLen = sizeof kPowerUpNoise - 1;

struct Port {
    int master = -1;
    int slave = -1;  // our own descriptor: keeps the line alive while the host closes and reopens
    std::string slaveName;
    std::string line;
    int plusRun = 0;       // '+' characters in a row while in data mode
    int64_t lastRxMs = 0;  // when the host's last bytes came (the escape's guard time)
    std::deque<Pending> out;
};

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

    // Unsolicited result codes (+CREG: 5, RING...) per port: those that go out right before the
    // next answer, and the burst of every power-up, once the modem is ready.
    std::vector<std::string> urcAhead[2];
    std::vector<std::string> urcBoot[2];
    int64_t poweredUpReadyMs = -1;  // the power-up whose noise and burst are on their way

    std::string LinkPath(int i) const { return root + "/dev/" + kLinkNames[i]; }
    std::string WorldDir() const { return root + "/devsim/world"; }

    bool OpenPorts();
    void ClosePorts();
    void Serve();
    void Receive(int i, const char* data, size_t n);
    void LineDone(int i);
    void Queue(int i, const std::string& bytes, int64_t nowMs, bool faults);
    void QueueUnsolicited(int i, const std::vector<std::string>& lines, int64_t dueMs);
    void PowerUp();
    bool HostAtModemRate(int i) const;
    void SendDue(int64_t nowMs);
    void Flood();
    void StartCall(std::string& answer, int64_t nowMs);
    void EndCall(bool noCarrier, int64_t nowMs);
    void ClearDataLine();
    void Relay(int64_t nowMs);
    void WatchHangUp(bool closed, int64_t nowMs);
    void EscapeDue(int64_t nowMs);
    void AbortDial(int64_t nowMs, bool dueOnly = false);
    int64_t NextDueMs() const;
    void SetType(int type);
    std::string Status() const;
    std::string Run(const std::string& line);
};

}  // namespace devsim
