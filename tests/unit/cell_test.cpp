// Rate detection, identity queries and signal level against the simulated modem on
// <root>/dev/ttyPSC7, our end at 115200 bps and sleeps on the fake clock. Each row gets a fresh modem.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/globals.h"
#include "cell/baud.h"
#include "cell/identity.h"
#include "cell/signal.h"
#include "devsim/sim_device.h"
#include "fake_os.h"
#include "serial/port.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

using Cmds = std::vector<std::string>;

struct Cell {
    TempRoot root;
    TempStore store;
    devsim::SimDevice sim{root.dir()};
    int fd = -1;
    char rxBuf[RX_BUF_SIZE] = {};
    std::string out;
    explicit Cell(const Cmds& setup) {
        fakeos::Reset();
        EXPECT_TRUE(sim.Start());
        fd = OpenModemPort(CELL_DATA_PORT);
        EXPECT_EQ(ConfigModemPort(fd, B115200), 1);
        for (const std::string& l : setup) EXPECT_EQ(sim.Control(l), "ok") << l;
        sim.ClearLog();
    }
    ~Cell() {
        close(fd);
        vexDebug = 0;
    }
    template <class F>
    int Traced(F call) {
        testing::internal::CaptureStdout();
        int result = call();
        out = testing::internal::GetCapturedStdout();
        return result;
    }
};

}  // namespace

TEST(CellBaud, probes_in_table_order_and_moves_both_ends) {
    const Cmds moved = {"AT", "AT+IPR=115200", "AT&W"};
    const char* const probeRate[] = {"57600", "115200", "57600", "115200", "9600", "2400", "1200"};
    const struct { Cmds setup; int target, result, found; speed_t host; Cmds received; } rows[] = {
        {{"rate 57600"}, 115200, OK, 0, B115200, moved},
        {{"rate 115200"}, 115200, OK, 1, B115200, moved},
        {{"rate 9600"}, 115200, OK, 4, B115200, moved},
        {{"rate 2400"}, 115200, OK, 5, B115200, moved},
        {{"rate 1200"}, 115200, OK, 6, B115200, moved},
        {{"rate 19200"}, 115200, NOT_OK, -1, B1200, {}},
        {{"rate 38400"}, 115200, NOT_OK, -1, B1200, {}},
        {{"rate 57600", "noanswer AT+IPR=115200"}, 115200, NOT_OK, 0, B57600, {"AT", "AT+IPR=115200", "AT+IPR=115200"}},
        // Our end follows only 115200, else 57600, where a modem now at 9600 never hears AT&W;
        // the change still counts.
        {{"rate 115200"}, 9600, OK, 1, B57600, {"AT", "AT+IPR=9600"}},
        {{"rate 115200", "saved-echo off", "echo off"}, 115200, OK, 1, B115200,
         {"AT", "AT", "ATE1", "AT", "AT+IPR=115200", "AT&W"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.setup.back());
        Cmds setup = {"garbage on"};  // wrong-speed probes fail on noise at once, not on time-outs
        setup.insert(setup.end(), r.setup.begin(), r.setup.end());
        Cell cell(setup);
        vexDebug = 1;
        EXPECT_EQ(cell.Traced([&] { return SetCellBaud(cell.fd, r.target, cell.rxBuf); }), r.result);
        struct termios t = {};
        tcgetattr(cell.fd, &t);
        EXPECT_EQ(cfgetospeed(&t), r.host);
        EXPECT_EQ(cell.sim.Commands(0), r.received);  // a wrong-speed probe is noise, not a command
        // A 1 s sleep before each probe and after each failed one: they count the probes.
        int probeSleeps = std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), 1000000);
        EXPECT_EQ(probeSleeps, r.found < 0 ? 14 : 2 * r.found + 1);
        const std::string line = r.found < 0 ? "\nCFG-SCB: *** DIDN'T FIND CURRENT BAUD IN ANY SELECTION ***\n "
                                             : "\nCFG-SCB: found cell's current baud: idx:" + std::to_string(r.found) +
                                                   ", " + probeRate[r.found] + " bps. ";
        EXPECT_NE(cell.out.find(line), std::string::npos) << cell.out;
        EXPECT_EQ(cell.out.find("cell modem set to") != std::string::npos, r.result == OK);
    }
}

TEST(CellIdentity, output_and_leaf_hold_the_same_text_or_the_placeholder) {
    const char kNoDigits[] = "\nCFG-YNK: retval = NOT_OK";
    const std::string noSimId = std::string(kNoDigits) + "\nCFG-SIM: ReadSimId: not found";
    const struct {
        int (*query)(int, char*, char*); const char* setup; const char* leaf; int result; const char* text;
        Cmds received; std::string out;  // everything printed with the trace off
    } rows[] = {
        {ReadImei, "imei 353535099996462", LEAF_CELL_IMEI, OK, "353535099996462", {"AT+CGSN"}, ""},
        {ReadImei, "imei 35353509999646212345", LEAF_CELL_IMEI, OK, "3535350999964621", {"AT+CGSN"}, ""},
        {ReadImei, "imei unknown", LEAF_CELL_IMEI, NOT_OK, "IMEI Unknown", Cmds(2, "AT+CGSN"),
         std::string(kNoDigits) + kNoDigits},
        {ReadImei, "noanswer AT+CGSN", LEAF_CELL_IMEI, NOT_OK, "", Cmds(4, "AT+CGSN"), ""},
        {ReadSimId, "iccid 8901410427946171356", LEAF_CELL_CCID, OK, "8901410427946171356", {"AT+CCID"}, ""},
        {ReadSimId, "iccid 89014104279461713562", LEAF_CELL_CCID, OK, "89014104279461713562", {"AT+CCID"}, ""},
        {ReadSimId, "iccid none", LEAF_CELL_CCID, NOT_OK, "SIM ID unknown", Cmds(2, "AT+CCID"), noSimId + noSimId},
        {ReadSimId, "urc ahead data +CREG: 5", LEAF_CELL_CCID, OK, "89014104279461713562", {"AT+CCID"},
         "\nCFG-ANS: AT+CCID: value taken 22 bytes into the reply, past other results"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.setup);
        Cell cell({r.setup});
        char text[40];
        memset(text, 'x', sizeof text);  // even a failed query leaves a terminated text
        EXPECT_EQ(cell.Traced([&] { return r.query(cell.fd, text, cell.rxBuf); }), r.result);
        EXPECT_EQ(cell.out, r.out);
        EXPECT_STREQ(text, r.text);
        EXPECT_EQ(cell.store.GetText(r.leaf), r.text);
        EXPECT_EQ(cell.sim.Commands(0), r.received);
    }
}

TEST(CellFirmware, joins_release_and_factory_number_and_publishes_both) {
    const struct { Cmds setup; int result; const char* text; int version, factory; Cmds received; } rows[] = {
        {{"fw 20.00.524", "cfvr 2"}, OK, "20.00.524.02", 0x0140020C, 2, {"AT+GMR", "AT#CFVR"}},
        // The text is gone but the packed release is still published.
        {{"fw 20.00.524", "noanswer AT#CFVR"}, NOT_OK, "???", 0x0140020C, 0, {"AT+GMR", "AT#CFVR", "AT#CFVR",
                                                                              "AT#CFVR", "AT#CFVR"}},
        // What the caller's buffer held (an IMEI) does not show in front of the suffix.
        {{"fw unknown", "cfvr 7"}, OK, "??.??.???.07", 0, 7, {"AT+GMR", "AT+GMR", "AT#CFVR"}},
        {{"urc ahead data #QSS: 1"}, OK, "20.00.524.02", 0x0140020C, 2, {"AT+GMR", "AT#CFVR"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.setup.back());
        Cell cell(r.setup);
        cell.store.SetInt(LEAF_CELL_FACTORY_CONFIG_VERSION, 99);
        char fw[40] = "353535099996462";
        EXPECT_EQ(cell.Traced([&] { return ReadFwVersion(cell.fd, fw, cell.rxBuf); }), r.result);
        EXPECT_STREQ(fw, r.text);
        EXPECT_EQ(cell.store.GetInt(LEAF_CELL_VERSION), r.version);
        EXPECT_EQ(cell.store.GetInt(LEAF_CELL_FACTORY_CONFIG_VERSION), r.factory);
        EXPECT_EQ(cell.sim.Commands(0), r.received);
    }
}

TEST(CellSignal, bars_follow_the_csq_ranges_and_the_published_dbm_is_clamped) {
    TempStore store;
    const int kFirstCsqOfBar[] = {0, 4, 10, 16, 22, 28, 32};
    for (int csq = 0, bars = 0; csq <= 31; ++csq) {
        if (csq == kFirstCsqOfBar[bars + 1]) ++bars;
        int dBm = 2 * csq - 113;
        EXPECT_EQ(WriteLeafSigLevel(csq, 5, dBm), bars) << csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), bars) << csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), dBm < -111 ? -111 : dBm) << csq;
    }
    const struct { int csq, maxBars, dBm, bars, dbLeaf; } edges[] = {
        {31, 5, -50, 5, -51}, {0, 5, -9999, 0, -111}, {40, 5, -30, 5, -51}, {31, 10, -51, 10, -51}};
    for (const auto& e : edges) {
        EXPECT_EQ(WriteLeafSigLevel(e.csq, e.maxBars, e.dBm), e.bars) << e.csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), e.bars) << e.csq;
        EXPECT_EQ(store.GetInt(LEAF_CELL_DB_LEVEL), e.dbLeaf) << e.csq;
    }
}

TEST(CellSignal, reading_is_converted_and_published_and_a_closed_port_is_skipped) {
    const struct { const char* setup; int result, dBm, csq, bars, dbLeaf, exchanges; } rows[] = {
        {"csq 17", OK, -79, 17, 3, -79, 1},
        {"csq 0", OK, -113, 0, 0, -111, 1},
        {"csq 99", NOT_OK, -9999, 0, 0, -111, 2},  // unknown twice: no reading
        {"csq 99,22", OK, -69, 22, 4, -69, 2},
    };
    for (const auto& r : rows) {
        Cell cell({r.setup});
        int dBm = 1, csq = 1, bars = 1;
        EXPECT_EQ(ReadSigLevel(cell.fd, &dBm, &csq, cell.rxBuf, &bars), r.result) << r.setup;
        EXPECT_EQ(std::vector<int>({dBm, csq, bars}), std::vector<int>({r.dBm, r.csq, r.bars})) << r.setup;
        EXPECT_EQ(cell.store.GetInt(LEAF_CELL_SIGNAL_STRENGTH), r.bars);
        EXPECT_EQ(cell.store.GetInt(LEAF_CELL_DB_LEVEL), r.dbLeaf);
        EXPECT_EQ(cell.sim.Commands(0), Cmds(r.exchanges, "AT+CSQ"));
    }
    Cell cell({"csq 17"});
    vexDebug = 1;
    EXPECT_EQ(cell.Traced([&] { return UpdateCellStatus(cell.fd, cell.rxBuf); }), 1);
    EXPECT_EQ(cell.out, " [sig -79 dBm, 3 bars");
    cell.sim.ClearLog();
    EXPECT_EQ(UpdateCellStatus(-1, cell.rxBuf), 1);
    EXPECT_TRUE(cell.sim.Commands(0).empty());
}
