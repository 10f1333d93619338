// Pieces of the simulator engine shared between its source files: the clock, folders, the world
// files read by the PPP stand-ins, the power service and the control language's help text.
#pragma once

#include <stdint.h>

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/modem.h"

namespace toolkit {
class CCds;
}

namespace devsim {

// Monotonic milliseconds: schedules answers and boot times, never jumps with the wall clock.
int64_t MonoMs();
// mkdir -p; 0 on success.
int MakeDirs(const std::string& dir);

// Writes the world files with their defaults ("none", "answered", "10.170.3.25"); false on failure.
bool WorldDefaults(const std::string& worldDir);
// The control commands ppp, pings and link-address: "ok" or "error: ...".
std::string WorldControl(const std::string& worldDir, const std::string& word,
                         const std::string& arg);

// The device's service that acts on the modem power and reset request leaves of the store.
enum PowerServiceModeCode { PS_OFF = 0, PS_NORMAL, PS_SLOW, PS_STUCK };
struct PowerService {
    int mode = PS_OFF;
    int slowMs = 0;
    int64_t lastPollMs = 0;
    int64_t seenMs[3] = {-1, -1, -1};  // when each request was first seen pending
    std::shared_ptr<toolkit::CCds> store;
};
std::string PowerServiceControl(PowerService& ps, const std::string& arg);
const char* PowerServiceMode(const PowerService& ps);
// Polls the request leaves about every 50 ms and acts on them.
void PowerServiceTick(PowerService& ps, Modem& m, int64_t nowMs, int bootMs);
void PowerServiceStop(PowerService& ps);

// The network side of a data call: a program started for each call the modem connects, whose
// standard input and output carry the call's bytes (linkwarden-devsim --data-peer).
struct EndingPeer {
    pid_t group;
    int64_t sinceMs;
    bool killed;
};
struct DataPeer {
    std::string command;  // empty: no network side, the PPP stand-ins play the network
    pid_t pid = -1;       // the running peer, leader of its own process group; -1 for none
    int fd = -1;          // the simulator's end of the peer's socket pair
    std::string toPort;   // the peer's bytes on their way to the data port
    std::string toPeer;   // the host's bytes on their way to the peer
    bool silent = false;        // the network stops sending: the peer's bytes are dropped
    bool pingsDropped = false;  // the peer's namespace ignores ICMP echo requests
    bool pingsInForce = true;   // pingsDropped is what the peer's kernel does
    int64_t pingsTriedMs = 0;
    std::vector<EndingPeer> ending;  // peers told to end, not yet gone
};
// Starts the peer's command through /bin/sh on a socket pair; false when it cannot.
bool PeerStart(DataPeer& p, int64_t nowMs);
// Ends the running peer: its socket closes and its process group gets SIGTERM (SIGKILL later).
void PeerEnd(DataPeer& p, int64_t nowMs);
// Reaps ended peers; with wait, until they are all gone (at most a few seconds).
void PeerReap(DataPeer& p, bool wait);
// Puts pingsDropped in force in the running peer's network namespace once it exists.
void PeerPings(DataPeer& p, int64_t nowMs);

// Who holds the data port: an inotify watch on the pseudo-terminal's slave that counts the
// opens and closes of everyone but the simulator. LineWatchAdd returns the watch descriptor or -1;
// LineWatchRead takes the pending events into holders and returns 1 when the last holder closed.
int LineWatchAdd(const std::string& slaveName);
int LineWatchRead(int fd, int& holders);

const char* ControlHelp();

// Strict decimal for command and control arguments: 1 to 9 digits, nothing else, within lo..hi.
bool ParseDecimal(const std::string& text, int lo, int hi, int& out);
// Commands are matched case-insensitively.
std::string UpperText(const std::string& s);

}  // namespace devsim
