// Whitelist address grammar of "-ip" arguments, and modem detection from the option leaves.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/globals.h"
#include "app/modem_select.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

std::string Captured(const std::function<void()>& f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

struct DebugOn {
    DebugOn() { vexDebug = 1; }
    ~DebugOn() { vexDebug = 0; }
};
}  // namespace

// Parses one argument the way main fills a whitelist entry: the address, then the mask from where
// the address parse stopped, with one shared counter.
TEST(GrabAddr, fills_address_and_mask_from_one_argument) {
    const struct { std::string arg; const char* ip; const char* mask; int pos; } rows[] = {
        {"-ip10.1.2.3,255.255.0.0", "10.1.2.3", "255.255.0.0", 23},
        {"-ip10.1.2.3", "10.1.2.3", "255.255.255.255", 11},
        {"-ip=10.1.2.3 255.255.0.0", "10.1.2.3", "255.255.0.0", 24},
        // "/" is no separator: the address is dropped, the mask starts there.
        {"-ip10.1.2.3/24", "", "24", 14},
        // Cut after 15 characters and accepted; the mask parse starts at the sixteenth.
        {"-ip1234567890123456789", "123456789012345", "6789", 22},
        {"-ip" + std::string(1997, '9'), "999999999999999", "999999999999999", 33},
        // No digits at all, or "-ip" alone: nothing copied, the mask keeps its default.
        {"-ip", "", "255.255.255.255", 3},
        // At most ten characters are skipped before the address must start.
        {"-ip" + std::string(15, '-') + "10.1.2.3", "", "10.1.2.3", 26},
        {"-ip\xff\xfe" "10.1.2.3", "10.1.2.3", "255.255.255.255", 13},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.arg.substr(0, 40));
        std::vector<char> arg(r.arg.begin(), r.arg.end());
        arg.push_back('\0');
        whitelist_t entry;
        memset(&entry, 'Z', sizeof entry);
        entry.ip[0] = '\0';
        snprintf(entry.mask, sizeof entry.mask, "%s", "255.255.255.255");
        int pos = 0;
        GrabAddrFromStr(arg.data(), entry.ip, &pos);
        GrabAddrFromStr(arg.data() + pos, entry.mask, &pos);
        EXPECT_STREQ(entry.ip, r.ip);
        EXPECT_STREQ(entry.mask, r.mask);
        EXPECT_EQ(pos, r.pos);
        for (int i = 16; i < 20; i++) EXPECT_EQ(entry.ip[i], 'Z') << "ip byte " << i;
    }
}

TEST(GrabAddr, result_says_accepted_and_rejection_is_traced_only_in_debug) {
    char text[] = "-ip10.1.2.3/24";
    char out[20] = "old";
    for (int debug : {0, 1}) {
        int pos = 0;
        vexDebug = debug;
        EXPECT_EQ(Captured([&] { EXPECT_EQ(GrabAddrFromStr(text, out, &pos), 0); }),
                  debug ? "\nCFG-GAD: Invalid addr, *ptr: '/', addr: \"10.1.2.3\" -> clear it" : "");
        EXPECT_STREQ(out, "");
    }
    DebugOn debug;
    char plain[] = "10.1.2.3";
    int pos = 5;  // the counter is advanced, not reset
    EXPECT_EQ(Captured([&] { EXPECT_EQ(GrabAddrFromStr(plain, out, &pos), 1); }), "");
    EXPECT_EQ(pos, 13);
}

TEST(ModemType, first_option_leaf_that_reads_true_decides) {
    const char* const head =
        "\n\nCFG-CFM: test CDS leaf for installed analog modem... \nCFG-CFM: No Analog modem leaf set ";
    const struct { std::vector<const char*> trueLeaves; int type; std::string trace; } rows[] = {
        {{}, MODEM_NONE, head},
        {{LEAF_OPTION_ANALOG, LEAF_OPTION_CELL_GSM, LEAF_OPTION_CELL_VERIZON}, MODEM_ANALOG,
         "\n\nCFG-CFM: test CDS leaf for installed analog modem... \nCFG-CFM: Analog modem leaf set "},
        {{LEAF_OPTION_CELL_GSM, LEAF_OPTION_CELL_SPRINT, LEAF_OPTION_CELL_VERIZON}, MODEM_CELL_GSM,
         std::string(head) + "\n\nCFG-CFM: GSM cell modem leaf set "},
        {{LEAF_OPTION_CELL_SPRINT, LEAF_OPTION_CELL_VERIZON, LEAF_OPTION_CELL_VERISON},
         MODEM_CELL_SPRINT, std::string(head) + "\n\nCFG-CFM: Cell Sprint flag leaf set"},
        {{LEAF_OPTION_CELL_VERIZON, LEAF_OPTION_CELL_VERISON}, MODEM_CELL_VERIZON,
         std::string(head) + "\n\nCFG-CFM: Cell Verizon flag set"},
        {{LEAF_OPTION_CELL_VERISON}, MODEM_CELL_VERIZON,
         std::string(head) + "\n\nCFG-CFM: Cell VeriSon flag set **** BAD SPELLING! ****"},
    };
    DebugOn debug;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.type);
        TempStore store;
        ForgetModemType();
        store.SetBool(LEAF_OPTION_ANALOG, false);
        for (const char* leaf : r.trueLeaves) store.SetBool(leaf, true);
        int type = -1;
        EXPECT_EQ(Captured([&] { type = CheckForModemType(); }), r.trace);
        EXPECT_EQ(type, r.type);
        EXPECT_EQ(store.Has(LEAF_ANALOG_CONFIGURED), r.type == MODEM_ANALOG);
    }
    ForgetModemType();
}

// A cellular result is remembered however the leaves before it read; a "none" only when every
// option leaf could be read: a store that is not there yet (a start with -reset) or a garbled
// leaf gives a "none" that is asked again.
TEST(ModemType, cellular_and_none_are_remembered_but_analog_and_a_none_from_failed_reads_are_read_again) {
    const char* const options[] = {LEAF_OPTION_ANALOG, LEAF_OPTION_CELL_GSM, LEAF_OPTION_CELL_SPRINT,
                                   LEAF_OPTION_CELL_VERIZON, LEAF_OPTION_CELL_VERISON};
    enum Fault { NONE, DETACHED, GARBLED_ANALOG, MISSING_VERISON };
    const struct { bool gsm; Fault fault; int first; bool remembered; } rows[] = {
        {true, NONE, MODEM_CELL_GSM, true}, {false, NONE, MODEM_NONE, true},
        {true, DETACHED, MODEM_NONE, false}, {true, GARBLED_ANALOG, MODEM_CELL_GSM, true},
        {false, MISSING_VERISON, MODEM_NONE, false},
    };
    TempStore store;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fault);
        ForgetModemType();
        for (const char* leaf : options) store.SetBool(leaf, false);
        store.SetBool(LEAF_OPTION_CELL_GSM, r.gsm);
        if (r.fault == DETACHED) api.set_handle(0);
        if (r.fault == GARBLED_ANALOG) std::ofstream(store.dir() + LEAF_OPTION_ANALOG) << "bool maybe\n";
        if (r.fault == MISSING_VERISON) unlink((store.dir() + LEAF_OPTION_CELL_VERISON).c_str());
        EXPECT_EQ(CheckForModemType(), r.first);
        if (r.fault == DETACHED) api.set_handle(pcd_init());  // the store answers a second later
        store.SetBool(LEAF_OPTION_CELL_GSM, !r.gsm);
        DebugOn debug;
        int again = -1;
        const std::string trace = Captured([&] { again = CheckForModemType(); });
        EXPECT_EQ(again, r.remembered ? r.first : (r.gsm ? MODEM_NONE : MODEM_CELL_GSM));
        EXPECT_EQ(trace.empty(), r.remembered) << trace;
    }
    ForgetModemType();
    store.SetBool(LEAF_OPTION_ANALOG, true);
    EXPECT_EQ(CheckForModemType(), MODEM_ANALOG);
    store.SetBool(LEAF_ANALOG_CONFIGURED, false);
    EXPECT_EQ(CheckForModemType(), MODEM_ANALOG);
    EXPECT_TRUE(store.GetBool(LEAF_ANALOG_CONFIGURED));  // written again by the second call
    store.SetBool(LEAF_OPTION_ANALOG, false);
    EXPECT_EQ(CheckForModemType(), MODEM_CELL_GSM);
    ForgetModemType();
}
