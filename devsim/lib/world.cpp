// The world around the modem: the files that tell the PPP stand-ins how the network behaves, and
// the device's power service that answers linkwarden's reset and power requests in the store.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "cds.h"
#include "lib/internal.h"

namespace devsim {

namespace {

const char* const kRequestLeaves[3] = {
    "/U6F/UpdateService/CellModemOff/Value",
    "/U6F/UpdateService/CellModemOn/Value",
    "/U6F/UpdateRegister/ResetAnalogModem/Value",
};
enum { REQ_OFF = 0, REQ_ON = 1, REQ_ANALOG_RESET = 2 };

const int kPollMs = 50;

// Replaces the file whole, so a reader never sees half a line.
bool WriteLineFile(const std::string& path, const std::string& line) {
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    bool ok = fprintf(f, "%s\n", line.c_str()) >= 0;
    ok = fclose(f) == 0 && ok;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int64_t MonoMs() {
    // The raw system call: boot times and answer delays stay real even under a faked clock.
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int MakeDirs(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    return 0;
}

bool WorldDefaults(const std::string& worldDir) {
    return MakeDirs(worldDir) == 0 && WriteLineFile(worldDir + "/ppp_fault", "none") &&
           WriteLineFile(worldDir + "/pings", "answered") &&
           WriteLineFile(worldDir + "/link_address", "10.170.3.25");
}

std::string WorldControl(const std::string& worldDir, const std::string& word,
                         const std::string& arg) {
    std::string file;
    std::string line;
    if (word == "ppp") {
        int secs = 0;
        if (arg == "none" || arg == "fail-start" || arg == "no-pidfile" || arg == "stale-pidfile") {
            line = arg;
        } else if (arg.rfind("die-after ", 0) == 0 && ParseDecimal(arg.substr(10), 0, 999999, secs)) {
            line = "die-after " + std::to_string(secs);
        } else {
            return "error: expected none, fail-start, no-pidfile, stale-pidfile or die-after SECONDS";
        }
        file = "ppp_fault";
    } else if (word == "pings") {
        if (arg != "answered" && arg != "dropped") return "error: expected answered or dropped";
        file = "pings";
        line = arg;
    } else {
        struct in_addr a;
        if (arg.size() > 15 || inet_pton(AF_INET, arg.c_str(), &a) != 1)
            return "error: expected a dotted IPv4 address";
        file = "link_address";
        line = arg;
    }
    if (MakeDirs(worldDir) != 0 || !WriteLineFile(worldDir + "/" + file, line))
        return "error: cannot write " + worldDir + "/" + file;
    return "ok";
}

std::string PowerServiceControl(PowerService& ps, const std::string& arg) {
    int ms = 0;
    int mode;
    if (arg == "on" || arg == "normal") {
        mode = PS_NORMAL;
    } else if (arg == "off") {
        mode = PS_OFF;
    } else if (arg == "stuck") {
        mode = PS_STUCK;
    } else if (arg.rfind("slow ", 0) == 0 && ParseDecimal(arg.substr(5), 0, 999999, ms)) {
        mode = PS_SLOW;
    } else {
        return "error: expected on, off, normal, slow MS or stuck";
    }
    if (mode != PS_OFF && !ps.store) {
        // The store is whatever $CDS_STORE names when the service is switched on.
        std::shared_ptr<toolkit::CCds> store(new toolkit::CCds(pcd_init()));
        if (store->handle() == 0) return "error: no configuration store (check CDS_STORE)";
        ps.store = store;
    }
    ps.mode = mode;
    ps.slowMs = ms;
    for (int64_t& s : ps.seenMs) s = -1;
    return "ok";
}

const char* PowerServiceMode(const PowerService& ps) {
    static const char* const kNames[] = {"off", "normal", "slow", "stuck"};
    return kNames[ps.mode];
}

void PowerServiceTick(PowerService& ps, Modem& m, int64_t nowMs, int bootMs) {
    if (ps.mode == PS_OFF || !ps.store || nowMs - ps.lastPollMs < kPollMs) return;
    ps.lastPollMs = nowMs;
    // A hung service: requests stay pending for ever.
    if (ps.mode == PS_STUCK) return;
    for (int r = 0; r < 3; r++) {
        toolkit::CElement value;
        api_status_t status = CDS_STATUS_OK;
        element_property_t info = {};
        ps.store->get_leaf(kRequestLeaves[r], status, value, info);
        if (status != CDS_STATUS_OK || !value.to_bool()) {
            ps.seenMs[r] = -1;
            continue;
        }
        if (ps.seenMs[r] < 0) ps.seenMs[r] = nowMs;
        if (ps.mode == PS_SLOW && nowMs - ps.seenMs[r] < ps.slowMs) continue;
        if (r == REQ_OFF) ModemPowerOff(m);
        if (r == REQ_ON && !m.powered) ModemPowerOn(m, nowMs, bootMs);
        if (r == REQ_ANALOG_RESET) AnalogDefaults(m);
        // Done: the request leaf goes back to false, which is what linkwarden waits for.
        toolkit::CElement done;
        done.set_bool(false);
        std::string text;
        status = CDS_STATUS_OK;
        ps.store->set_leaf(kRequestLeaves[r], done, status, 0, text);
        ps.seenMs[r] = -1;
    }
}

void PowerServiceStop(PowerService& ps) {
    ps.mode = PS_OFF;
    ps.store.reset();
}

const char* ControlHelp() {
    return "Control language: one command a line; the answer is \"ok\", \"error: <why>\" or text.\n"
           "The modem\n"
           "  type cell|analog|none    fit another modem (fresh, factory settings)\n"
           "  power on|off             power; on boots at the saved rate after boot-ms\n"
           "  boot-ms N                time from power-on to the first answer (default 300)\n"
           "  rate BPS                 the rate the modem talks at now\n"
           "  saved-rate BPS           the rate stored for the next power-up (AT&W)\n"
           "  echo on|off              command echo\n"
           "  saved-echo on|off        the echo stored for the next power-up (AT&W, ATZ)\n"
           "  imei TEXT | iccid TEXT   identity answers (AT+CGSN, AT+CCID); \\xHH is any byte\n"
           "  fw TEXT | cfvr TEXT      AT+GMR information line, the text after \"#CFVR: \"\n"
           "  csq L1,L2,...            AT+CSQ levels, one per query, the last repeats (99 allowed)\n"
           "  sim present|missing      a missing SIM fails AT+CCID (form set by AT+CMEE)\n"
           "  dial ok|no-carrier       how ATD ends\n"
           "  dial hang SECONDS        the next dial gets no answer for SECONDS, then NO CARRIER;\n"
           "                           a byte from the host (NO CARRIER) or a dropped DTR under\n"
           "                           AT&D2 ends it sooner (status: dial-hang armed|held|none)\n"
           "  dial late SECONDS        the same, but CONNECT after SECONDS (a slow network)\n"
           "  dtr ignore|hangup        the saved profile's AT&D0 / AT&D2: a closed data port\n"
           "                           leaves the call up in data mode / hangs it up\n"
           "  hang-up-answer ok|no-carrier   what ATH says when it ends a call\n"
           "  stray-line silent|error  a line without AT (\"+++\" in command mode) is ignored /\n"
           "                           answered ERROR\n"
           "Faults\n"
           "  delay-ms N               answer N ms late\n"
           "  split N                  answer in N writes about 50 ms apart\n"
           "  silent on|off            no answer at all\n"
           "  garbage on|off           8-bit noise instead of silence at a wrong line speed\n"
           "  noanswer CMD|none        that one command goes unanswered (e.g. AT#CFVR)\n"
           "  analog-reply normal|short|none   analog replies whole, first 5 bytes, or none\n"
           "  urc now|ahead|boot data|aux|both TEXT   an unsolicited line (\\r\\nTEXT\\r\\n, e.g.\n"
           "                           +CREG: 5, RING): now, right before the port's next answer,\n"
           "                           or at every power-up once ready (repeat for a burst);\n"
           "                           heard only at the modem's rate; urc none clears\n"
           "  late CMD MS | late none  that command's answer MS late; its echo comes at once\n"
           "  power-up-noise on|off    NUL, 0xFF and 0xC0 bytes on both ports at power-on\n"
           "  flood on|data|aux|off    endless 8-bit noise on both ports or one; no answers\n"
           "  unplug | plug            the modem disappears (hang-up, power lost) / comes back\n"
           "                           powered up, on fresh lines\n"
           "  reboot SECONDS           the modem restarts on its own (an update over the air):\n"
           "                           the call ends with no NO CARRIER, both ports are silent\n"
           "                           for SECONDS, a power cycle meanwhile included, then it\n"
           "                           answers as after a power-up (saved profile, no call)\n"
           "The world\n"
           "  power-service on|off|normal|stuck|slow MS   the service acting on the store's\n"
           "                           power and reset requests; stuck leaves them pending\n"
           "  ppp none|fail-start|no-pidfile|stale-pidfile|die-after SECONDS\n"
           "  network drop             the carrier is lost: NO CARRIER on the data port, the\n"
           "                           network side ends, command mode (also: drop)\n"
           "  network silent           the call carries nothing either way, the call stays up\n"
           "                           (LCP echoes go unanswered)\n"
           "  network refuse           dials are answered NO CARRIER (as dial no-carrier)\n"
           "  network normal           undoes silent and refuse\n"
           "  pings dropped|answered   pings through the link go unanswered / are answered\n"
           "                           (the stand-in fping, and the network side's kernel)\n"
           "  link-address A.B.C.D     the address the link gets\n"
           "Looking\n"
           "  status                   the modem's state, one \"name value\" a line\n"
           "  log | clear-log          received commands as \"<time> <port> <command>\"\n"
           "  help                     this text";
}

}  // namespace devsim
