// The configuration pass, and whole starts around it, against the in-process device simulator.
// The power service is played at each sleep (clear the request, switch the simulated modem);
// "pppd" writes its pid file and kill(pid, 0) succeeds from a scripted check on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "base/globals.h"
#include "app/hw_reset.h"
#include "app/linkwarden.h"
#include "app/modem_select.h"
#include "configure/configure_modem.h"
#include "devsim/sim_device.h"
#include "fake_os.h"
#include "pty_peer.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

const int64_t kSec = 1000000;
typedef std::vector<std::string> Cmds;

class ConfigureTest : public ::testing::Test {
protected:
    TempRoot root;
    TempStore store;
    devsim::SimDevice sim{root.dir()};
    int portFd = -1, aliveFromCheck = 1, deadAtCheck = 0, checks = 0, pppdStarts = 0;
    bool loseRateAfterSave = false;  // the modem drops to 19200 after its first AT&W
    std::unique_ptr<PtyPeer> deadLine;
    std::vector<size_t> acknowledged;  // per request the power service acted on: sleeps until then
    char rxBuf[RX_BUF_SIZE] = {};
    std::string out;

    void SetUp() override {
        store.SetText(LEAF_PPP1_IP_ADDRESS, "10.64.12.7");
        for (const char* dir : {"/var", "/var/run"}) mkdir(root.Path(dir).c_str(), 0755);
        Sim("boot-ms 0");
        ASSERT_TRUE(sim.Start());
        Fresh("cell");
    }
    void TearDown() override { vexDebug = 0, configAttemptLimit = 50000; }
    void Sim(const std::string& line) { ASSERT_EQ(sim.Control(line), "ok") << line; }
    void Fresh(const std::string& type) {
        fakeos::Reset();
        ForgetModemType();
        ForgetLastPowerRequest();
        vexDebug = 1;
        store.SetBool(LEAF_OPTION_CELL_GSM, type == "cell");
        store.SetBool(LEAF_OPTION_ANALOG, type == "analog");
        Sim(type == "analog" ? "type analog" : "type cell");  // factory settings
        Sim("garbage on");    // a probe at the wrong rate hears noise, not silence
        sim.ClearLog();
        unlink(root.Path("/var/run/ppp1.pid").c_str());
        portFd = -1, checks = 0, deadAtCheck = 0, pppdStarts = 0, loseRateAfterSave = false;
        acknowledged.clear();
        deadLine.reset();
        fakeos::onSleep = [this](int64_t) {
            if (deadLine) deadLine->Drain(0), deadLine->Send("\xfc");  // one byte: no answer
            for (const char* leaf : {LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON, LEAF_RESET_ANALOG_MODEM}) {
                if (!store.GetBool(leaf)) continue;
                acknowledged.push_back(fakeos::sleepsUs.size());
                if (leaf != std::string(LEAF_RESET_ANALOG_MODEM))
                    sim.Control(leaf == std::string(LEAF_CELL_MODEM_ON) ? "power on" : "power off");
                store.SetBool(leaf, false);
            }
            if (loseRateAfterSave && Sent("AT&W")) loseRateAfterSave = false, sim.Control("rate 19200");
        };
        fakeos::systemHook = [this](const char* cmd) {
            if (strstr(cmd, "pppd")) {
                pppdStarts++;
                std::ofstream(root.Path("/var/run/ppp1.pid")) << "4242\n";
            }
            return 0;
        };
        fakeos::killHook = [this](pid_t, int sig) {
            return sig != 0 || (++checks >= aliveFromCheck && checks != deadAtCheck) ? 0 : -1;
        };
    }
    int Run(int baudIndex, int modemType) {
        testing::internal::CaptureStdout();
        struct Capture {  // also when the pass ends the process
            std::string& out;
            ~Capture() { fflush(stdout), out = testing::internal::GetCapturedStdout(); }
        } capture{out};
        return ConfigureModem(baudIndex, modemType, &portFd, rxBuf, 115200, 2);
    }
    bool Printed(const std::string& s) const { return out.find(s) != std::string::npos; }
    int Sent(const std::string& cmd) const {
        Cmds c = sim.Commands(0);
        return std::count(c.begin(), c.end(), cmd);
    }
    int Sleeps(int64_t us) const {
        return std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), us);
    }
};

TEST_F(ConfigureTest, analog_modem_gets_the_configured_rate_its_type_leaf_and_the_set_up) {
    const Cmds all = {"ATZ0", "ATE0", "ATV0", "ATS0=2"};
    const struct { int baudIndex; speed_t speed; const char* reply; Cmds sent; } rows[] = {
        {9, B9600, "normal", all}, {-1, B9600, "normal", all}, {7, B57600, "normal", all}, {0, B300, "normal", all},
        {8, B115200, "none", {"ATZ0"}}};  // a failed set-up is still a configured modem
    store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, 2);
    for (auto& r : rows) {
        Fresh("analog");
        Sim(std::string("analog-reply ") + r.reply);
        EXPECT_EQ(Run(r.baudIndex, MODEM_ANALOG), OK) << r.baudIndex;
        struct termios t;
        ASSERT_EQ(tcgetattr(portFd, &t), 0) << "the analog port stays open";
        EXPECT_EQ(cfgetospeed(&t), r.speed) << r.baudIndex;
        close(portFd);
        EXPECT_EQ(sim.Commands(0), r.sent) << r.baudIndex;
        EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_ANALOG);
        EXPECT_TRUE(fakeos::commands.empty() && fakeos::kills.empty() && fakeos::sleepsUs.size() == r.sent.size());
    }
}

// The trace, the commands and the leaves of this pass are compared line by line by the end-to-end
// start-up; here its waits on the clock.
TEST_F(ConfigureTest, cell_modem_is_configured_and_its_port_handed_to_pppd) {
    EXPECT_EQ(Run(3, MODEM_CELL_GSM), OK) << out;
    EXPECT_EQ(portFd, 0);
    EXPECT_EQ(fakeos::sleepsUs.front(), 10 * kSec) << "time for an old pppd to let go";
    EXPECT_FALSE(Printed("Attempt 1 out of"));
    EXPECT_EQ(Sleeps(60 * kSec), 1) << "one power cycle, before pppd";
    EXPECT_EQ(Sleeps(20 * kSec), 1);
    EXPECT_EQ(Sleeps(15 * kSec), 1) << "the address settles before it is published";
    EXPECT_EQ(pppdStarts, 1);
}

TEST_F(ConfigureTest, failed_rate_detection_power_cycles_and_counts_attempts_from_zero) {
    for (bool firstFails : {true, false}) {
        Fresh("cell");
        if (firstFails) Sim("rate 19200");  // probed nowhere; the saved 115200 returns at power-up
        loseRateAfterSave = !firstFails;
        EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK) << firstFails;
        EXPECT_TRUE(Printed("\nCFG-CFG: Attempt 1 out of 50000) to configure cell modem data port"));
        EXPECT_EQ(Printed("\nCFG-CFG: *** cell failed configuration attempt #0 out of 50000\n"),
                  !firstFails);
        EXPECT_FALSE(Printed("Attempt 2 out of"));
        EXPECT_EQ(Sleeps(60 * kSec), 2) << "one power cycle per failed attempt, one before pppd";
        EXPECT_EQ(Sleeps(2 * kSec), 1);
        EXPECT_EQ(portFd, 0);
    }
}

TEST_F(ConfigureTest, a_modem_refusing_ping_answers_still_gets_its_type_leaf_and_pppd) {
    Sim("noanswer AT#ICMP");
    EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK);
    EXPECT_TRUE(Printed("\nCFG-CFG: *** ERROR: failed ping configuration ***  rxbuf: "));
    EXPECT_FALSE(Printed("Cell modem comms OK") || Printed("IMEI:"));
    EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_CELL_GSM);
    EXPECT_EQ(Sent("AT#PORTCFG=3"), 1);
    EXPECT_EQ(pppdStarts, 1);
}

// A second pppd beside the one a late link came with would hang that call up.
TEST_F(ConfigureTest, a_link_seen_only_at_the_last_look_gets_a_second_pass_but_no_second_pppd) {
    const struct { int aliveFrom, deadAt, starts, passes; } rows[] = {
        {10, 0, 1, 1},    // the tenth check still counts
        {11, 0, 1, 2},    // up at the last look, still up when the next pass looks
        {11, 12, 2, 2}};  // gone by then: pppd is started again
    for (const auto& r : rows) {
        Fresh("cell");
        aliveFromCheck = r.aliveFrom, deadAtCheck = r.deadAt;
        EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK) << r.aliveFrom;
        EXPECT_EQ(pppdStarts, r.starts) << r.deadAt;
        EXPECT_EQ(Printed("\nCFG-HCE: pppd still running; no second pppd started"), r.starts < r.passes);
        EXPECT_EQ(Sleeps(15 * kSec), r.passes) << "each pass that saw the link publishes its address";
        EXPECT_EQ(Sent("AT#PORTCFG=3"), 1) << "a repeated pass sends nothing to the modem";
        EXPECT_EQ(Sleeps(60 * kSec), 1);
        EXPECT_EQ(portFd, 0);
    }
}

// Whole starts: main's own waits after the reset (2 s, and 3 s more before an analog modem is
// configured) and the status each way a start ends with. The waits are the sleeps that follow the
// power service's acknowledgement of main's reset (a cellular modem's power-up settle first).
TEST_F(ConfigureTest, a_start_waits_after_the_reset_and_ends_with_the_status_of_its_outcome) {
    enum Fault { NONE, DEAD_LINE };  // DEAD_LINE: the data port takes commands, answers nothing
    const struct {
        const char* what; std::vector<std::string> args; const char* type; Fault fault; int status;
        int resetAck, pppdChecks; std::vector<int64_t> afterReset; std::vector<std::string> printed, absent;
    } rows[] = {
        {"analog", {}, "analog", NONE, 0, 0, 0, {2 * kSec, 3 * kSec},
         {"\nCFG-MAIN: Analog modem configured OK, start binary communication over Modem. "}, {}},
        {"cellular, pppd never runs", {}, "cell", NONE, 1, 1, 11, {60 * kSec, 2 * kSec, 10 * kSec},
         {"\nCFG-HCE: PPP1 connection not up. Exiting"}, {"EXIT linkwarden"}},
        {"cellular, never answering", {}, "cell", DEAD_LINE, 0, 1, 0, {60 * kSec, 2 * kSec, 10 * kSec},
         {"\nCFG-CFG: *** cell failed all configuration attempts (3), exit ",
          "\nCFG-MAIN: ConfigureModem retval: 0\n\n**************************************"
          "\n CFG-MAIN: ConfigureModem FAILED, Exit \n*****************************************\n"
          "\n\n-----------------------------\n CFG-MAIN: EXIT linkwarden \n------------------------------\n"},
         {}},
        {"no modem, -vd after an invalid -ip", {"-ip10.1.2.3/24", "-vd"}, "none", NONE, 0, -1, 0, {},
         {"\nCFG-MAIN: 0) grabbed IP: \"\"  Mask: \"24\" ", "\nCFG-CFM: No Analog modem leaf set ",
          "\n  CFG-MAIN: NO modem is installed, exit linkwarden. "},
         {"Invalid addr"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Fresh(r.type);
        vexDebug = 0;
        aliveFromCheck = 1000;
        if (r.fault == DEAD_LINE) {
            configAttemptLimit = 3;
            deadLine.reset(new PtyPeer);
            ASSERT_TRUE(deadLine->LinkAt(root.dir(), "ttyPSC7"));
        }
        std::vector<std::string> args = {"linkwarden"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        int status = -1;
        testing::internal::CaptureStdout();
        try {
            status = RunLinkwarden(static_cast<int>(argv.size()), argv.data());
        } catch (const fakeos::ExitCalled& e) {
            status = e.status;
        }
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, r.status);
        EXPECT_EQ(checks, r.pppdChecks);
        EXPECT_FALSE(store.Has(LEAF_CELL_IP_ADDR));
        if (r.resetAck >= 0) {
            ASSERT_GT(acknowledged.size(), static_cast<size_t>(r.resetAck));
            auto from = fakeos::sleepsUs.begin() + acknowledged[r.resetAck];
            ASSERT_GE(fakeos::sleepsUs.end() - from, static_cast<long>(r.afterReset.size()));
            EXPECT_EQ(std::vector<int64_t>(from, from + r.afterReset.size()), r.afterReset);
        } else {
            EXPECT_TRUE(fakeos::sleepsUs.empty());
        }
        for (const std::string& line : r.printed) EXPECT_TRUE(Printed(line)) << line;
        for (const std::string& line : r.absent) EXPECT_FALSE(Printed(line)) << line;
    }
}

}  // namespace
