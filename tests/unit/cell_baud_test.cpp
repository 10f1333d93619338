#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/globals.h"
#include "cell/baud.h"
#include "cell_sim_fixture.h"
#include "fake_os.h"

namespace {

using Cmds = std::vector<std::string>;

// Each probe sleeps 1 s before its "AT" and, when unanswered, 1 s after it; the exchange's own
// waits are longer, so the 1 s sleeps count the probes.
int ProbeSleeps() {
    return static_cast<int>(std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), 1000000));
}

struct BaudCase {
    const char* name;
    int modemBps;
    const char* extra;  // one more simulator line, or ""
    int target;
    int wantResult;
    int wantIdx;  // probe that found the modem, -1 for none
    speed_t wantHost;
    Cmds wantAfterProbe;  // what the modem received after the probe that found it
};

const BaudCase kBaudCases[] = {
    {"found_at_first_57600", 57600, "", 115200, OK, 0, B115200, {"AT+IPR=115200", "AT&W"}},
    {"found_at_second_probe", 115200, "", 115200, OK, 1, B115200, {"AT+IPR=115200", "AT&W"}},
    {"found_at_9600", 9600, "", 115200, OK, 4, B115200, {"AT+IPR=115200", "AT&W"}},
    {"found_at_2400", 2400, "", 115200, OK, 5, B115200, {"AT+IPR=115200", "AT&W"}},
    {"found_at_last_probe_1200", 1200, "", 115200, OK, 6, B115200, {"AT+IPR=115200", "AT&W"}},
    {"19200_is_never_probed", 19200, "", 115200, NOT_OK, -1, B1200, {}},
    {"38400_is_never_probed", 38400, "", 115200, NOT_OK, -1, B1200, {}},
    {"refused_rate_keeps_found_speed_and_skips_save", 57600, "noanswer AT+IPR=115200", 115200,
     NOT_OK, 0, B57600, {"AT+IPR=115200", "AT+IPR=115200"}},
    // The host follows only 115200; any other rate puts it at 57600, where a modem at 9600 no
    // longer hears AT&W. An unconfirmed save does not fail the change.
    {"other_rate_moves_host_to_57600", 115200, "", 9600, OK, 1, B57600, {"AT+IPR=9600"}},
};

void PrintTo(const BaudCase& c, std::ostream* os) { *os << c.name; }

class CellBaud : public CellSimTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(CellBaud, probes_in_table_order_and_moves_both_ends) {
    const BaudCase& c = GetParam();
    Sim("garbage on");  // wrong-speed probes fail on noise at once instead of read time-outs
    Sim("rate " + std::to_string(c.modemBps));
    if (*c.extra) Sim(c.extra);
    sim.ClearLog();
    vexDebug = 1;

    testing::internal::CaptureStdout();
    int result = SetCellBaud(fd, c.target, rxBuf);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.wantResult);
    EXPECT_EQ(HostSpeed(), c.wantHost);
    Cmds got = Received();
    if (c.wantIdx < 0) {
        EXPECT_EQ(ProbeSleeps(), 14);
        EXPECT_NE(out.find("\nCFG-SCB: *** DIDN'T FIND CURRENT BAUD IN ANY SELECTION ***\n "),
                  std::string::npos);
        EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& s) { return s != "AT"; }), 0);
        return;
    }
    EXPECT_EQ(ProbeSleeps(), 2 * c.wantIdx + 1);
    static const char* kRateText[] = {"57600", "115200", "57600", "115200", "9600", "2400", "1200"};
    std::string found = "\nCFG-SCB: found cell's current baud: idx:" + std::to_string(c.wantIdx) +
                        ", " + kRateText[c.wantIdx] + " bps. ";
    EXPECT_NE(out.find(found), std::string::npos) << out;
    ASSERT_GE(got.size(), c.wantAfterProbe.size() + 1);
    EXPECT_EQ(got[got.size() - c.wantAfterProbe.size() - 1], "AT");
    EXPECT_EQ(Cmds(got.end() - c.wantAfterProbe.size(), got.end()), c.wantAfterProbe);
    bool announced = out.find("cell modem set to") != std::string::npos;
    EXPECT_EQ(announced, c.wantResult == OK);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellBaud, ::testing::ValuesIn(kBaudCases),
                         [](const ::testing::TestParamInfo<BaudCase>& i) { return i.param.name; });

}  // namespace
