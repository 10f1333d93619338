// The configuration pass against the in-process device simulator. The power service and the PPP
// side are played here: the service clears each power request at the next sleep and switches the
// simulated modem accordingly; "pppd" writes its pid file and kill(pid, 0) answers as scripted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/hw_reset.h"
#include "app/modem_select.h"
#include "configure/configure_modem.h"
#include "devsim/sim_device.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

const int64_t kSec = 1000000;
const int kNeverAlive = 1000000;

class ConfigureTest : public ::testing::Test {
protected:
    TempRoot root;
    TempStore store;
    devsim::SimDevice sim{root.dir()};
    int portFd = -1;
    char rxBuf[RX_BUF_SIZE] = {};
    std::string out;

    // PPP side: kill(pid, 0) succeeds from this check on (1 = the first check).
    int aliveFromCheck = 1;
    int checks = 0;
    int pppdStarts = 0;
    int generatorRuns = 0;
    // Set when the modem should lose its rate right after its first AT&W.
    bool breakAfterFirstSave = false;
    bool broken = false;

    void SetUp() override {
        vexDebug = 1;
        store.SetText(LEAF_PPP1_IP_ADDRESS, "10.64.12.7");
        Sim("boot-ms 0");
        ASSERT_TRUE(sim.Start());
        Fresh();
    }
    // A factory-new modem, no pppd, a new process as far as the code under test can tell.
    void Fresh() {
        fakeos::Reset();
        ForgetModemType();
        ForgetLastPowerRequest();
        Sim("type cell");
        Sim("garbage on");  // a probe at the wrong rate is answered with noise, not silence
        sim.ClearLog();
        unlink(root.Path("/var/run/ppp1.pid").c_str());
        portFd = -1;
        aliveFromCheck = 1;
        checks = 0;
        pppdStarts = 0;
        generatorRuns = 0;
        breakAfterFirstSave = false;
        broken = false;
        InstallWorld();
    }
    void TearDown() override {
        if (portFd > 0) close(portFd);
        vexDebug = 0;
        ForgetModemType();
    }

    void Sim(const std::string& line) { ASSERT_EQ(sim.Control(line), "ok") << line; }

    void InstallWorld() {
        fakeos::onSleep = [this](int64_t) { PowerServiceAndFaults(); };
        fakeos::systemHook = [this](const char* cmd) { return Shell(cmd); };
        fakeos::killHook = [this](pid_t, int sig) {
            if (sig != 0) return 0;
            return ++checks >= aliveFromCheck ? 0 : -1;
        };
    }

    void PowerServiceAndFaults() {
        if (store.GetBool(LEAF_CELL_MODEM_OFF)) {
            sim.Control("power off");
            store.SetBool(LEAF_CELL_MODEM_OFF, false);
        }
        if (store.GetBool(LEAF_CELL_MODEM_ON)) {
            sim.Control("power on");
            store.SetBool(LEAF_CELL_MODEM_ON, false);
        }
        if (breakAfterFirstSave && !broken) {
            std::vector<std::string> cmds = sim.Commands(0);
            if (std::find(cmds.begin(), cmds.end(), "AT&W") != cmds.end()) {
                sim.Control("rate 19200");  // the saved 115200 comes back at the next power-up
                broken = true;
            }
        }
    }

    int Shell(const char* cmd) {
        std::string c = cmd;
        if (c.find("generate_cell_chat_script") != std::string::npos) {
            generatorRuns++;
            return 0;
        }
        if (c.find("pppd") != std::string::npos) {
            pppdStarts++;
            mkdir(root.Path("/var").c_str(), 0755);
            mkdir(root.Path("/var/run").c_str(), 0755);
            std::ofstream(root.Path("/var/run/ppp1.pid")) << "4242\n";
            return 0;
        }
        return 0;
    }

    int Run(int baudIndex, int modemType) {
        testing::internal::CaptureStdout();
        int result = -1;
        try {
            result = ConfigureModem(baudIndex, modemType, &portFd, rxBuf, 115200, 2);
        } catch (...) {
            fflush(stdout);
            out = testing::internal::GetCapturedStdout();
            throw;
        }
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    bool Printed(const std::string& text) const { return out.find(text) != std::string::npos; }
    int Sent(const std::string& cmd) const {
        std::vector<std::string> cmds = sim.Commands(0);
        return static_cast<int>(std::count(cmds.begin(), cmds.end(), cmd));
    }
    int SleepsOf(int64_t us) const {
        return static_cast<int>(std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), us));
    }
};

TEST_F(ConfigureTest, analog_modem_gets_the_configured_rate_its_type_leaf_and_the_set_up) {
    struct Row {
        int baudIndex;
        speed_t speed;
    } rows[] = {{9, B9600}, {-1, B9600}, {7, B57600}, {6, B57600}, {0, B300}, {8, B115200}};
    Sim("type analog");
    store.SetBool(LEAF_OPTION_ANALOG, true);
    store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, 2);
    for (const Row& r : rows) {
        Sim("type analog");  // echo and verbose results back on, as after a power-up
        sim.ClearLog();
        portFd = -1;
        EXPECT_EQ(Run(r.baudIndex, MODEM_ANALOG), OK) << r.baudIndex;
        ASSERT_GT(portFd, 0) << "the analog port stays open";
        struct termios t;
        ASSERT_EQ(tcgetattr(portFd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), r.speed) << r.baudIndex;
        close(portFd);
        portFd = -1;
        EXPECT_EQ(sim.Commands(0), (std::vector<std::string>{"ATZ0", "ATE0", "ATV0", "ATS0=2"}))
            << r.baudIndex << out;
    }
    EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_ANALOG);
    EXPECT_TRUE(fakeos::commands.empty());
    EXPECT_TRUE(fakeos::kills.empty());
    EXPECT_FALSE(Printed("AT#ICMP"));
}

TEST_F(ConfigureTest, analog_modem_is_configured_even_when_its_set_up_fails) {
    Sim("type analog");
    Sim("analog-reply none");
    store.SetBool(LEAF_OPTION_ANALOG, true);
    EXPECT_EQ(Run(3, MODEM_ANALOG), OK);
    EXPECT_EQ(sim.Commands(0), std::vector<std::string>{"ATZ0"});
    EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_ANALOG);
}

TEST_F(ConfigureTest, cell_modem_is_configured_and_its_port_handed_to_pppd) {
    store.SetBool(LEAF_OPTION_CELL_GSM, true);
    EXPECT_EQ(Run(3, MODEM_CELL_GSM), OK) << out;
    EXPECT_EQ(portFd, 0);
    EXPECT_EQ(fakeos::sleepsUs.front(), 10 * kSec) << "time for an old pppd to let go";
    EXPECT_TRUE(Printed("\nCFG-CFG: Attempt 0 out of 50000) to configure cell modem data port"));
    EXPECT_FALSE(Printed("Attempt 1 out of"));
    EXPECT_EQ(Sent("AT#ICMP=2"), 1);
    EXPECT_TRUE(Printed("\nCFG-CFG: Cell modem comms OK \n\n-----------------------------------------"));
    EXPECT_TRUE(Printed("\n IMEI: 353535099996462   ")) << out;
    for (const char* cmd : {"AT+CMEE=2", "ATE1", "AT#PORTCFG=3"}) EXPECT_EQ(Sent(cmd), 1) << cmd;
    EXPECT_EQ(SleepsOf(60 * kSec), 1) << "one power cycle, before pppd";
    EXPECT_EQ(SleepsOf(20 * kSec), 1);
    EXPECT_TRUE(Printed("\nCFG-CFG:Set baud after reboot"));
    EXPECT_EQ(generatorRuns, 1);
    EXPECT_EQ(pppdStarts, 1);
    EXPECT_TRUE(Printed("\nCFG-HCE: PPP1 connection up"));
    EXPECT_TRUE(Printed("\nCFG-CFG: Successfully brought up PPP connection"));
    EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_CELL_GSM);
    EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), 0x0A400C07);
}

TEST_F(ConfigureTest, failed_rate_detection_power_cycles_and_counts_attempts_from_zero) {
    struct Row {
        const char* name;
        bool firstDetectionFails;  // else the second one does
        bool failureTraced;
    } rows[] = {
        {"first detection fails", true, false},
        {"second detection fails", false, true},
    };
    for (const Row& r : rows) {
        Fresh();
        if (r.firstDetectionFails) {
            Sim("rate 19200");  // probed nowhere; the saved 115200 returns at power-up
        } else {
            breakAfterFirstSave = true;
        }
        store.SetBool(LEAF_OPTION_CELL_GSM, true);
        EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK) << r.name;
        EXPECT_TRUE(Printed("\nCFG-CFG: Attempt 0 out of 50000) to configure cell modem data port"))
            << r.name;
        EXPECT_TRUE(Printed("\nCFG-CFG: Attempt 1 out of 50000) to configure cell modem data port"))
            << r.name;
        EXPECT_EQ(Printed("\nCFG-CFG: *** cell failed configuration attempt #0 out of 50000\n"),
                  r.failureTraced)
            << r.name;
        EXPECT_FALSE(Printed("attempt #1")) << r.name;
        EXPECT_EQ(SleepsOf(60 * kSec), 2) << r.name << ": one cycle per failed attempt, one for pppd";
        EXPECT_GE(SleepsOf(2 * kSec), 1) << r.name;
        EXPECT_EQ(portFd, 0) << r.name;
    }
}

TEST_F(ConfigureTest, a_modem_refusing_ping_answers_still_gets_its_type_leaf_and_pppd) {
    Sim("noanswer AT#ICMP");
    store.SetBool(LEAF_OPTION_CELL_GSM, true);
    EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK);
    EXPECT_TRUE(Printed("\nCFG-CFG: *** ERROR: failed ping configuration ***  rxbuf: "));
    EXPECT_FALSE(Printed("Cell modem comms OK"));
    EXPECT_FALSE(Printed("IMEI:"));
    EXPECT_EQ(store.GetInt(LEAF_CELL_MODEM_TYPE), MODEM_CELL_GSM);
    EXPECT_EQ(Sent("AT#PORTCFG=3"), 1);
    EXPECT_EQ(pppdStarts, 1);
    EXPECT_EQ(portFd, 0);
}

TEST_F(ConfigureTest, pppd_that_never_runs_ends_the_process_with_status_1) {
    store.SetBool(LEAF_OPTION_CELL_GSM, true);
    aliveFromCheck = kNeverAlive;
    try {
        Run(8, MODEM_CELL_GSM);
        ADD_FAILURE() << "returned instead of exiting";
    } catch (const fakeos::ExitCalled& e) {
        EXPECT_EQ(e.status, 1);
    }
    EXPECT_EQ(out.substr(out.size() - 41), "\nCFG-HCE: PPP1 connection not up. Exiting");
    EXPECT_EQ(checks, 11);
    EXPECT_EQ(portFd, 0);
    EXPECT_FALSE(store.Has(LEAF_CELL_IP_ADDR));
}

TEST_F(ConfigureTest, link_confirmation_decides_between_ok_and_a_new_pppd_pass) {
    struct Row {
        int aliveFromCheck;
        int pppdStarts;
    } rows[] = {
        {10, 1},  // the tenth check still counts
        {11, 2},  // seen only at the final look: published, then pppd is started again
    };
    for (const Row& r : rows) {
        Fresh();
        aliveFromCheck = r.aliveFromCheck;
        store.SetBool(LEAF_OPTION_CELL_GSM, true);
        EXPECT_EQ(Run(8, MODEM_CELL_GSM), OK) << r.aliveFromCheck;
        EXPECT_EQ(pppdStarts, r.pppdStarts);
        EXPECT_EQ(generatorRuns, r.pppdStarts);
        EXPECT_EQ(Sent("AT#PORTCFG=3"), 1) << "a repeated pass sends nothing to the modem";
        EXPECT_EQ(SleepsOf(60 * kSec), 1);
        EXPECT_EQ(SleepsOf(15 * kSec), r.pppdStarts) << "each pass that saw the link publishes";
        EXPECT_EQ(portFd, 0);
    }
}

TEST_F(ConfigureTest, a_data_port_that_cannot_be_opened_fails_the_configuration) {
    sim.Stop();  // the port links are gone
    store.SetBool(LEAF_OPTION_CELL_GSM, true);
    EXPECT_EQ(Run(8, MODEM_CELL_GSM), NOT_OK);
    EXPECT_EQ(portFd, -1);
    EXPECT_TRUE(Printed("\nCFG-CFG: *** Failed to open serial port PSC7, fd:-1 ***\n"));
    EXPECT_TRUE(fakeos::commands.empty());
}

}  // namespace
