// The simulated modem's own state and its AT command set, kept apart from the pseudo-terminals
// so that what the modem answers can be read without any of the I/O around it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace devsim {

enum ModemType { MODEM_NONE = 0, MODEM_CELL = 1, MODEM_ANALOG = 2 };
enum { PORT_DATA = 0, PORT_AUX = 1 };
enum AnalogReply { ANALOG_REPLY_NORMAL = 0, ANALOG_REPLY_SHORT = 1, ANALOG_REPLY_NONE = 2 };

struct Modem {
    int type = MODEM_CELL;

    // Power and start-up: a powered modem answers from readyAtMs (monotonic clock) on.
    bool powered = true;
    int64_t readyAtMs = 0;

    // Line rate in bps: the active one and the one AT&W stored for the next power-up.
    int rate = 115200;
    int savedRate = 115200;

    bool echo = true;
    bool savedEcho = true;  // the echo AT&W stored: every power-up and ATZ bring it back
    bool verbose = true;  // analog result form: words or numbers
    int cmee = 0;
    int icmp = 0;
    int portcfgRequested = 0;  // AT#PORTCFG=n takes effect at the next power-up
    int portcfgActive = 0;
    int s0 = 0;

    bool simPresent = true;
    bool dialOk = true;
    // A dial the network leaves unanswered: dialHangMs > 0 holds the next dial that long, and
    // while dialHeldUntilMs >= 0 a dial waits for its answer (NO CARRIER at that time, or CONNECT
    // for a network that is only slow to answer: dialAnsweredLate).
    int dialHangMs = 0;
    int64_t dialHeldUntilMs = -1;
    bool dialAnsweredLate = false;
    // A reboot of the modem's own (a firmware update over the air) keeps it silent until this
    // time; a power cycle meanwhile does not shorten it, the update goes on after power-up.
    int64_t rebootUntilMs = 0;
    bool inCall = false;    // a call is up (data mode, or command mode after the escape)
    bool dataMode = false;  // the data port carries the call's bytes, not commands
    // What DTR dropping (the host closing the data port) does, as AT&D sets it: 0 nothing (the
    // call and data mode go on), 1 back to command mode with the call kept, 2 the call ends.
    // The saved profile (AT&W) brings its value back at every power-up.
    int dtr = 2;
    int savedDtr = 2;
    // Firmware differences in what the hang-up and a stray line get: ATH that ends a call says
    // NO CARRIER instead of OK, and a line without AT ("+++" sent to a modem already in command
    // mode) is answered ERROR instead of nothing.
    bool hangUpNoCarrier = false;
    bool strayLineError = false;

    std::string imei = "353535099996462";
    std::string iccid = "89014104279461713562";
    std::string fw = "20.00.524";
    std::string cfvr = "2";
    std::vector<int> csq = {17};
    size_t csqNext = 0;

    // Faults.
    std::string noanswer;  // upper-cased command that goes unanswered; empty for none
    bool silent = false;
    bool garbage = false;
    int delayMs = 0;
    int split = 1;
    int analogReply = ANALOG_REPLY_NORMAL;
    int flood = 0;  // one bit per port (1 << PORT_DATA, 1 << PORT_AUX): noise without end

    // What the modem says, and when: one command answered late (its echo at once, the rest
    // lateMs later), and a power-up that puts noise on both lines as the supply rises.
    std::string late;  // upper-cased command, matched as noanswer is; empty for none
    int lateMs = 0;
    bool powerUpNoise = false;
};

// Supported line rates and their termios speed constants; 0 when the rate is not a UART rate.
unsigned int SpeedOfRate(int bps);
// The bps of a termios speed constant, or -1.
int RateOfSpeed(unsigned int speed);

// A fresh device of the given type with every setting and fault at its default.
void ModemFactory(Modem& m, int type);
// Power-up: the stored rate and echo come back, CMEE 0, the requested port layout applies;
// the modem answers once bootMs have passed after nowMs, and not before a reboot of its own ends.
void ModemPowerOn(Modem& m, int64_t nowMs, int bootMs);
// Power-down: no answers, the call is gone.
void ModemPowerOff(Modem& m);
// The analog modem's ATZ and reset pin: echo on, verbose results.
void AnalogDefaults(Modem& m);

// Answers one command line (received on port, without its CR) as the modem would: the echo
// when echo is on, information lines and the final result, as one byte string (possibly empty).
// Changes the modem state as the command says (rate, echo, data mode...). Faults that withhold
// the answer (silent, noanswer, power) are the caller's business.
std::string ModemAnswer(Modem& m, int port, const std::string& line);

}  // namespace devsim
