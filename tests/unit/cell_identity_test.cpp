#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "cell/identity.h"
#include "cell_sim_fixture.h"
#include "store/leaves.h"

namespace {

using Cmds = std::vector<std::string>;
using Query = int (*)(int, char*, char*);

struct IdCase {
    const char* name;
    Query query;
    const char* setup;  // simulator line
    const char* leaf;
    int wantResult;
    const char* wantText;
    Cmds wantReceived;
    const char* wantOut;  // everything printed (trace off)
};

const IdCase kIdCases[] = {
    {"imei_15_digits", ReadImei, "imei 353535099996462", LEAF_CELL_IMEI, OK, "353535099996462",
     {"AT+CGSN"}, ""},
    // Cut to 16 characters: room for an IMEISV, not for whatever else a modem sends.
    {"imei_cut_to_16", ReadImei, "imei 35353509999646212345", LEAF_CELL_IMEI, OK,
     "3535350999964621", {"AT+CGSN"}, ""},
    {"imei_without_digits", ReadImei, "imei unknown", LEAF_CELL_IMEI, NOT_OK, "IMEI Unknown",
     {"AT+CGSN", "AT+CGSN"}, "\nCFG-YNK: retval = NOT_OK\nCFG-YNK: retval = NOT_OK"},
    // Silent modem: two passes of two attempts, the empty text, and not a word printed.
    {"imei_unanswered", ReadImei, "noanswer AT+CGSN", LEAF_CELL_IMEI, NOT_OK, "",
     {"AT+CGSN", "AT+CGSN", "AT+CGSN", "AT+CGSN"}, ""},
    {"iccid_20_digits", ReadSimId, "iccid 89014104279461713562", LEAF_CELL_CCID, OK,
     "89014104279461713562", {"AT+CCID"}, ""},
    {"iccid_19_digits", ReadSimId, "iccid 8901410427946171356", LEAF_CELL_CCID, OK,
     "8901410427946171356", {"AT+CCID"}, ""},
    {"iccid_without_digits", ReadSimId, "iccid none", LEAF_CELL_CCID, NOT_OK, "SIM ID unknown",
     {"AT+CCID", "AT+CCID"},
     "\nCFG-YNK: retval = NOT_OK\nCFG-SIM: ReadSimId: not found"
     "\nCFG-YNK: retval = NOT_OK\nCFG-SIM: ReadSimId: not found"},
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class CellIdentity : public CellSimTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(CellIdentity, output_and_leaf_hold_the_same_text) {
    const IdCase& c = GetParam();
    Sim(c.setup);
    sim.ClearLog();
    char out[40];
    memset(out, 'x', sizeof out);  // a failed query must still leave a terminated text

    testing::internal::CaptureStdout();
    int result = c.query(fd, out, rxBuf);
    std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.wantResult);
    EXPECT_STREQ(out, c.wantText);
    EXPECT_EQ(store.GetText(c.leaf), c.wantText);
    EXPECT_EQ(Received(), c.wantReceived);
    EXPECT_EQ(printed, c.wantOut);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellIdentity, ::testing::ValuesIn(kIdCases),
                         [](const ::testing::TestParamInfo<IdCase>& i) { return i.param.name; });

struct FwCase {
    const char* name;
    std::vector<std::string> setup;
    int wantResult;
    const char* wantText;
    int wantVersionLeaf;
    int wantFactoryLeaf;
    Cmds wantReceived;
};

const FwCase kFwCases[] = {
    {"release_and_factory_number", {"fw 20.00.524", "cfvr 2"}, OK, "20.00.524.02", 0x0140020C, 2,
     {"AT+GMR", "AT#CFVR"}},
    {"two_digit_factory_number", {"fw 20.00.014", "cfvr 11"}, OK, "20.00.014.11", 0x0140000E, 11,
     {"AT+GMR", "AT#CFVR"}},
    // The release text is gone but the packed release still goes out.
    {"factory_number_unanswered", {"fw 20.00.524", "noanswer AT#CFVR"}, NOT_OK, "???",
     0x0140020C, 0, {"AT+GMR", "AT#CFVR", "AT#CFVR", "AT#CFVR", "AT#CFVR"}},
    // Whatever the caller's buffer held does not show in front of the suffix.
    {"release_without_digits", {"fw unknown", "cfvr 7"}, OK, "??.??.???.07", 0, 7,
     {"AT+GMR", "AT+GMR", "AT#CFVR"}},
    {"factory_number_without_digits", {"fw 20.00.012", "cfvr none"}, NOT_OK, "???", 0x0140000C,
     0, {"AT+GMR", "AT#CFVR", "AT#CFVR"}},
};

void PrintTo(const FwCase& c, std::ostream* os) { *os << c.name; }

class CellFirmware : public CellSimTest, public ::testing::WithParamInterface<FwCase> {};

TEST_P(CellFirmware, joins_release_and_factory_number_and_publishes_both) {
    const FwCase& c = GetParam();
    for (const std::string& line : c.setup) Sim(line);
    sim.ClearLog();
    store.SetInt(LEAF_CELL_FACTORY_CONFIG_VERSION, 99);
    char fw[40] = "353535099996462";  // the IMEI the previous query left there

    testing::internal::CaptureStdout();
    int result = ReadFwVersion(fd, fw, rxBuf);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.wantResult);
    EXPECT_STREQ(fw, c.wantText);
    EXPECT_EQ(store.GetInt(LEAF_CELL_VERSION), c.wantVersionLeaf);
    EXPECT_EQ(store.GetInt(LEAF_CELL_FACTORY_CONFIG_VERSION), c.wantFactoryLeaf);
    EXPECT_EQ(Received(), c.wantReceived);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellFirmware, ::testing::ValuesIn(kFwCases),
                         [](const ::testing::TestParamInfo<FwCase>& i) { return i.param.name; });

}  // namespace
