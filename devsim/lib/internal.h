// Pieces of the simulator engine shared between its source files: the clock, folders, the world
// files read by the PPP stand-ins, the power service and the control language's help text.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "lib/modem.h"

namespace toolkit {
class CCds;
}

namespace devsim {

// Monotonic milliseconds: schedules answers and boot times, never jumps with the wall clock.
int64_t MonoMs();
// mkdir -p; 0 on success.
int MakeDirs(const std::string& dir);

// Writes the world files with their defaults ("none", "up", "10.170.3.25"); false on failure.
bool WorldDefaults(const std::string& worldDir);
// The control commands ppp, network and link-address: "ok" or "error: ...".
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

const char* ControlHelp();

// Strict decimal for command and control arguments: 1 to 9 digits, nothing else, within lo..hi.
bool ParseDecimal(const std::string& text, int lo, int hi, int& out);
// Commands are matched case-insensitively.
std::string UpperText(const std::string& s);

}  // namespace devsim
