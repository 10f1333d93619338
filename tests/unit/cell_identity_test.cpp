#include <gtest/gtest.h>

#include <string.h>

#include "cell/identity.h"
#include "cell_sim_fixture.h"
#include "store/leaves.h"

namespace {

const char kNoDigits[] = "\nCFG-YNK: retval = NOT_OK";
const char kNoSimId[] = "\nCFG-YNK: retval = NOT_OK\nCFG-SIM: ReadSimId: not found";

struct IdCase {
    const char* name;
    int (*query)(int, char*, char*);
    Cmds setup;
    const char* leaf;
    int wantResult;
    const char* wantText;
    Cmds wantReceived;
    std::string wantOut;  // everything printed with the trace off
};

const IdCase kIdCases[] = {
    {"imei_15_digits", ReadImei, {"imei 353535099996462"}, LEAF_CELL_IMEI, OK, "353535099996462",
     {"AT+CGSN"}, ""},
    {"imei_cut_to_16", ReadImei, {"imei 35353509999646212345"}, LEAF_CELL_IMEI, OK,
     "3535350999964621", {"AT+CGSN"}, ""},
    {"imei_without_digits", ReadImei, {"imei unknown"}, LEAF_CELL_IMEI, NOT_OK, "IMEI Unknown",
     {"AT+CGSN", "AT+CGSN"}, std::string(kNoDigits) + kNoDigits},
    // Two passes of two attempts, the empty text, and not a word.
    {"imei_unanswered", ReadImei, {"noanswer AT+CGSN"}, LEAF_CELL_IMEI, NOT_OK, "",
     Cmds(4, "AT+CGSN"), ""},
    {"iccid_20_digits", ReadSimId, {"iccid 89014104279461713562"}, LEAF_CELL_CCID, OK,
     "89014104279461713562", {"AT+CCID"}, ""},
    {"iccid_19_digits", ReadSimId, {"iccid 8901410427946171356"}, LEAF_CELL_CCID, OK,
     "8901410427946171356", {"AT+CCID"}, ""},
    {"iccid_without_digits", ReadSimId, {"iccid none"}, LEAF_CELL_CCID, NOT_OK, "SIM ID unknown",
     {"AT+CCID", "AT+CCID"}, std::string(kNoSimId) + kNoSimId},
};

class CellIdentity : public CellSimTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(CellIdentity, output_and_leaf_hold_the_same_text) {
    const IdCase& c = GetParam();
    Sim(c.setup);
    char out[40];
    memset(out, 'x', sizeof out);  // even a failed query leaves a terminated text
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.query(fd, out, rxBuf), c.wantResult);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.wantOut);
    EXPECT_STREQ(out, c.wantText);
    EXPECT_EQ(store.GetText(c.leaf), c.wantText);
    EXPECT_EQ(sim.Commands(0), c.wantReceived);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellIdentity, ::testing::ValuesIn(kIdCases), CaseName<IdCase>);

struct FwCase {
    const char* name;
    Cmds setup;
    int wantResult;
    const char* wantText;
    int wantVersionLeaf, wantFactoryLeaf;
    Cmds wantReceived;
};

const FwCase kFwCases[] = {
    {"release_and_factory_number", {"fw 20.00.524", "cfvr 2"}, OK, "20.00.524.02", 0x0140020C, 2,
     {"AT+GMR", "AT#CFVR"}},
    // The text is gone but the packed release is still published.
    {"factory_number_unanswered", {"fw 20.00.524", "noanswer AT#CFVR"}, NOT_OK, "???", 0x0140020C,
     0, {"AT+GMR", "AT#CFVR", "AT#CFVR", "AT#CFVR", "AT#CFVR"}},
    // What the caller's buffer held (an IMEI) does not show in front of the suffix.
    {"release_without_digits", {"fw unknown", "cfvr 7"}, OK, "??.??.???.07", 0, 7,
     {"AT+GMR", "AT+GMR", "AT#CFVR"}},
};

class CellFirmware : public CellSimTest, public ::testing::WithParamInterface<FwCase> {};

TEST_P(CellFirmware, joins_release_and_factory_number_and_publishes_both) {
    const FwCase& c = GetParam();
    Sim(c.setup);
    store.SetInt(LEAF_CELL_FACTORY_CONFIG_VERSION, 99);
    char fw[40] = "353535099996462";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadFwVersion(fd, fw, rxBuf), c.wantResult);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(fw, c.wantText);
    EXPECT_EQ(store.GetInt(LEAF_CELL_VERSION), c.wantVersionLeaf);
    EXPECT_EQ(store.GetInt(LEAF_CELL_FACTORY_CONFIG_VERSION), c.wantFactoryLeaf);
    EXPECT_EQ(sim.Commands(0), c.wantReceived);
}

INSTANTIATE_TEST_SUITE_P(Modem, CellFirmware, ::testing::ValuesIn(kFwCases), CaseName<FwCase>);

}  // namespace
