#include <gtest/gtest.h>

#include "cell/signal.h"
#include "cell_sim_fixture.h"
#include "store/leaves.h"

namespace {

TEST(CellSignalLeaves, bars_follow_the_csq_ranges_and_dbm_is_clamped) {
    TempStore store;
    const int kFirstCsqOfBar[] = {0, 4, 10, 16, 22, 28, 32};
    for (int csq = 0, bars = 0; csq <= 31; ++csq) {
        if (csq == kFirstCsqOfBar[bars + 1]) ++bars;
        int dBm = 2 * csq - 113;
        EXPECT_EQ(WriteLeafSigLevel(csq, 5, dBm), bars) << csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), bars) << csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), dBm < -111 ? -111 : dBm) << csq;
    }
    const struct { int csq, maxBars, dBm, wantBars, wantDbLeaf; } kEdges[] = {
        {31, 5, -50, 5, -51}, {0, 5, -9999, 0, -111}, {40, 5, -30, 5, -51}, {31, 10, -51, 10, -51},
    };
    for (const auto& e : kEdges) {
        EXPECT_EQ(WriteLeafSigLevel(e.csq, e.maxBars, e.dBm), e.wantBars) << e.csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), e.wantBars) << e.csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), e.wantDbLeaf) << e.csq;
    }
}

struct SigCase {
    const char* name;
    Cmds setup;
    int wantResult, wantDbm, wantCsq, wantBars, wantDbLeaf, wantExchanges;
};

const SigCase kSigCases[] = {
    {"csq_17", {"csq 17"}, OK, -79, 17, 3, -79, 1},
    {"csq_0_publishes_the_floor", {"csq 0"}, OK, -113, 0, 0, -111, 1},
    {"csq_31_full_scale", {"csq 31"}, OK, -51, 31, 5, -51, 1},
    {"unknown_twice_is_no_reading", {"csq 99"}, NOT_OK, -9999, 0, 0, -111, 2},
    {"unknown_then_known", {"csq 99,22"}, OK, -69, 22, 4, -69, 2},
};

class CellSignal : public CellSimTest, public ::testing::WithParamInterface<SigCase> {};

TEST_P(CellSignal, reading_is_converted_and_published) {
    const SigCase& c = GetParam();
    Sim(c.setup);
    int dBm = 1, csq = 1, bars = 1;
    EXPECT_EQ(ReadSigLevel(fd, &dBm, &csq, rxBuf, &bars), c.wantResult);
    EXPECT_EQ(dBm, c.wantDbm);
    EXPECT_EQ(csq, c.wantCsq);
    EXPECT_EQ(bars, c.wantBars);
    EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), c.wantBars);
    EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), c.wantDbLeaf);
    EXPECT_EQ(sim.Commands(0), Cmds(c.wantExchanges, "AT+CSQ"));
}

INSTANTIATE_TEST_SUITE_P(Modem, CellSignal, ::testing::ValuesIn(kSigCases), CaseName<SigCase>);

using CellStatusPoll = CellSimTest;

TEST_F(CellStatusPoll, prints_the_reading_and_skips_a_closed_port) {
    Sim({"csq 17"});
    vexDebug = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpdateCellStatus(fd, rxBuf), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " [sig -79 dBm, 3 bars");
    Sim({});
    EXPECT_EQ(UpdateCellStatus(-1, rxBuf), 1);
    EXPECT_TRUE(sim.Commands(0).empty());
}

}  // namespace
