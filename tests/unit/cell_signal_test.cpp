#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "cell/signal.h"
#include "cell_sim_fixture.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

using Cmds = std::vector<std::string>;

// Bars by CSQ range, as shown on the front panel: the lowest CSQ of each bar count.
const int kFirstCsqOfBar[] = {0, 4, 10, 16, 22, 28};

int BarsFor(int csq) {
    int bars = 0;
    while (bars < 5 && csq >= kFirstCsqOfBar[bars + 1]) ++bars;
    return bars;
}

TEST(CellSignalLeaves, every_level_maps_to_its_bar_range_and_clamped_dbm) {
    TempStore store;
    for (int csq = 0; csq <= 31; ++csq) {
        SCOPED_TRACE(csq);
        int dBm = 2 * csq - 113;
        EXPECT_EQ(WriteLeafSigLevel(csq, 5, dBm), BarsFor(csq));
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), BarsFor(csq));
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), dBm < -111 ? -111 : dBm);
    }
}

TEST(CellSignalLeaves, out_of_range_inputs_are_clamped) {
    TempStore store;
    struct {
        int csq, maxBars, dBm, wantBars, wantDbLeaf;
    } const rows[] = {
        {31, 5, -50, 5, -51},      // -50 is already above what the leaf shows
        {0, 5, -9999, 0, -111},    // no reading
        {40, 5, -30, 5, -51},      // bars never exceed maxBars
        {31, 10, -51, 10, -51},    // another scale
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.csq);
        EXPECT_EQ(WriteLeafSigLevel(r.csq, r.maxBars, r.dBm), r.wantBars);
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), r.wantBars);
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), r.wantDbLeaf);
    }
}

TEST(CellStatus, no_port_is_not_a_failure_and_sends_nothing) {
    TempStore store;
    fakeos::Reset();
    char rxBuf[RX_BUF_SIZE] = {};
    EXPECT_EQ(UpdateCellStatus(-1, rxBuf), 1);
    EXPECT_TRUE(fakeos::sleepsUs.empty());
    EXPECT_FALSE(store.Has(LEAF_CELL_DB_LEVEL));
}

struct SigCase {
    const char* name;
    const char* csq;  // simulator's csq answers, in turn
    int wantResult, wantDbm, wantCsq, wantBars, wantDbLeaf;
    size_t wantExchanges;
};

const SigCase kSigCases[] = {
    {"csq_17", "17", OK, -79, 17, 3, -79, 1},
    {"csq_0_publishes_the_floor", "0", OK, -113, 0, 0, -111, 1},
    {"csq_31_is_full_scale", "31", OK, -51, 31, 5, -51, 1},
    {"unknown_twice_is_no_reading", "99", NOT_OK, -9999, 0, 0, -111, 2},
    {"unknown_then_known", "99,22", OK, -69, 22, 4, -69, 2},
};

void PrintTo(const SigCase& c, std::ostream* os) { *os << c.name; }

class CellSignal : public CellSimTest, public ::testing::WithParamInterface<SigCase> {};

TEST_P(CellSignal, reading_is_converted_and_published) {
    const SigCase& c = GetParam();
    Sim(std::string("csq ") + c.csq);
    sim.ClearLog();
    int dBm = 1, csq = 1, bars = 1;

    testing::internal::CaptureStdout();
    int result = ReadSigLevel(fd, &dBm, &csq, rxBuf, &bars);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.wantResult);
    EXPECT_EQ(dBm, c.wantDbm);
    EXPECT_EQ(csq, c.wantCsq);
    EXPECT_EQ(bars, c.wantBars);
    EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), c.wantBars);
    EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), c.wantDbLeaf);
    EXPECT_EQ(Received(), Cmds(c.wantExchanges, "AT+CSQ"));
}

INSTANTIATE_TEST_SUITE_P(Modem, CellSignal, ::testing::ValuesIn(kSigCases),
                         [](const ::testing::TestParamInfo<SigCase>& i) { return i.param.name; });

using CellStatusPoll = CellSimTest;

TEST_F(CellStatusPoll, status_poll_reports_the_reading_it_published) {
    Sim("csq 17");
    vexDebug = 1;
    testing::internal::CaptureStdout();
    int result = UpdateCellStatus(fd, rxBuf);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find(" [sig -79 dBm, 3 bars"), std::string::npos) << out;

    Sim("csq 99");
    testing::internal::CaptureStdout();
    result = UpdateCellStatus(fd, rxBuf);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find(" [sig -9999 dBm, 0 bars"), std::string::npos) << out;
}

}  // namespace
