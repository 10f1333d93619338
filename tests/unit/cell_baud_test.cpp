#include <gtest/gtest.h>

#include <algorithm>

#include "cell/baud.h"
#include "cell_sim_fixture.h"

namespace {

struct BaudCase {
    const char* name;
    Cmds setup;
    int target, wantResult;
    int wantIdx;  // probe that found the modem, -1 for none
    speed_t wantHost;
    Cmds wantReceived;
};

const Cmds kMoved = {"AT", "AT+IPR=115200", "AT&W"};

const BaudCase kCases[] = {
    {"first_probe_57600", {"rate 57600"}, 115200, OK, 0, B115200, kMoved},
    {"second_probe_115200", {"rate 115200"}, 115200, OK, 1, B115200, kMoved},
    {"probe_9600", {"rate 9600"}, 115200, OK, 4, B115200, kMoved},
    {"probe_2400", {"rate 2400"}, 115200, OK, 5, B115200, kMoved},
    {"last_probe_1200", {"rate 1200"}, 115200, OK, 6, B115200, kMoved},
    {"19200_never_found", {"rate 19200"}, 115200, NOT_OK, -1, B1200, {}},
    {"38400_never_found", {"rate 38400"}, 115200, NOT_OK, -1, B1200, {}},
    {"refused_rate_keeps_speed_no_save", {"rate 57600", "noanswer AT+IPR=115200"}, 115200, NOT_OK,
     0, B57600, {"AT", "AT+IPR=115200", "AT+IPR=115200"}},
    // Our end follows only 115200, else 57600, where a modem now at 9600 never hears AT&W;
    // the change still counts.
    {"other_rate_host_57600", {"rate 115200"}, 9600, OK, 1, B57600, {"AT", "AT+IPR=9600"}},
};

class CellBaud : public CellSimTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(CellBaud, probes_in_table_order_and_moves_both_ends) {
    const BaudCase& c = GetParam();
    Sim({"garbage on"});  // wrong-speed probes fail on noise at once, not after read time-outs
    Sim(c.setup);
    vexDebug = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SetCellBaud(fd, c.target, rxBuf), c.wantResult);
    std::string out = testing::internal::GetCapturedStdout();

    struct termios t = {};
    tcgetattr(fd, &t);
    EXPECT_EQ(cfgetospeed(&t), c.wantHost);
    EXPECT_EQ(sim.Commands(0), c.wantReceived);  // a wrong-speed probe is noise, not a command
    // A 1 s sleep before each probe and after each failed one: they count the probes.
    int probeSleeps = std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), 1000000);
    static const char* kRate[] = {"57600", "115200", "57600", "115200", "9600", "2400", "1200"};
    if (c.wantIdx < 0) {
        EXPECT_EQ(probeSleeps, 14);
        EXPECT_NE(out.find("\nCFG-SCB: *** DIDN'T FIND CURRENT BAUD IN ANY SELECTION ***\n "),
                  out.npos);
    } else {
        EXPECT_EQ(probeSleeps, 2 * c.wantIdx + 1);
        std::string found = "\nCFG-SCB: found cell's current baud: idx:" +
                            std::to_string(c.wantIdx) + ", " + kRate[c.wantIdx] + " bps. ";
        EXPECT_NE(out.find(found), out.npos) << out;
    }
    EXPECT_EQ(out.find("cell modem set to") != out.npos, c.wantResult == OK);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellBaud, ::testing::ValuesIn(kCases), CaseName<BaudCase>);

}  // namespace
