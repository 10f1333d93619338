// The analog set-up over a pseudo-terminal: the modem answers each command line during the
// two-second pause after it, from fixed replies, or not at all.
#include "configure/analog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>

#include "base/globals.h"
#include "fake_os.h"
#include "pty_peer.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

typedef std::map<std::string, std::string> Replies;  // command line without CR -> answer

// Echo on and verbose results until ATV0, as a Hayes modem answers after ATZ0.
const Replies kGoodModem = {
    {"ATZ0", "ATZ0\r\r\nOK\r\n"}, {"ATE0", "ATE0\r\r\nOK\r\n"}, {"ATV0", "0\r"}, {"ATS0=2", "0\r"}};

// Runs the set-up against a modem on a pseudo-terminal that answers from replies; the lines sent
// and the trace (debug on) come back through the arguments.
int SetUpAgainst(const Replies& replies, std::string* sent, std::string* out) {
    PtyPeer peer;
    fakeos::Reset();
    fakeos::onSleep = [&](int64_t) {
        std::string line = peer.ReadLine();
        *sent += line;
        auto it = replies.find(line.substr(0, line.size() - 1));
        if (it != replies.end()) peer.Send(it->second);
    };
    vexDebug = 1;
    testing::internal::CaptureStdout();
    int result = SendModemCmd(peer.slave());
    *out = testing::internal::GetCapturedStdout();
    vexDebug = 0;
    return result;
}

TEST(Analog, each_reply_is_compared_over_the_bytes_received_and_never_retried) {
    const std::string all = "ATZ0\rATE0\rATV0\rATS0=2\r";
    const struct { const char* cmd; std::string reply; int result; std::string sent; bool bad; } rows[] = {
        {"", "", 1, all, false},
        {"ATZ0", "ATZ0\r\r\n", 1, all, false},  // a leading part still matches
        {"ATZ0", "ATZ0\r\r\nERROR\r\n", 1, all, true},
        {"ATZ0", "ATZ0\r\r\nOK\r\n\r\nOK\r\n", 1, all, true},  // longer than expected
        {"ATV0", "OK\r\n", 1, all, true},
        {"ATZ0", "ATZ0\r", 0, "ATZ0\r", false},  // 5 of 7 bytes ends the set-up
    };
    TempStore store;
    store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, 2);
    for (const auto& r : rows) {
        Replies replies = kGoodModem;
        replies[r.cmd] = r.reply;
        std::string sent, out;
        EXPECT_EQ(SetUpAgainst(replies, &sent, &out), r.result) << r.reply;
        EXPECT_EQ(sent, r.sent) << r.reply;
        EXPECT_EQ(out.find("\nCFG-SMM: Bad analog modem response, try again ") != out.npos, r.bad) << r.reply;
        EXPECT_EQ(out.find("\nCFG-SMM: Normal num of rings : 0x32 "), 0u) << out;
    }
}

// 0 to 9 rings are sent as their digit (0: auto-answer off); anything else, an unreadable leaf
// included, is refused with one line and the modem answers after 2 rings.
TEST(Analog, rings_outside_zero_to_nine_are_refused_and_two_are_used) {
    const std::string refused = "\nCFG-SMM: *** " LEAF_ANALOG_RINGS_TO_ANSWER;
    const struct { const char* leaf; char digit; std::string line; } rows[] = {
        {"int 3", '3', ""}, {"int 0", '0', ""}, {"int 9", '9', ""},
        {"int 10", '2', refused + " = 10 refused (rings, 0 to 9); answering after 2 rings "},
        {"int 256", '2', refused + " = 256 refused (rings, 0 to 9); answering after 2 rings "},
        {"int -1", '2', refused + " = -1 refused (rings, 0 to 9); answering after 2 rings "},
        {"int 2147483647", '2', refused + " = 2147483647 refused (rings, 0 to 9); answering after 2 rings "},
        {"int -2147483648", '2', refused + " = -2147483648 refused (rings, 0 to 9); answering after 2 rings "},
        {"rings 3", '2', refused + " could not be read; answering after 2 rings "},
    };
    TempStore store;
    store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, 0);  // makes the leaf's folder
    for (const auto& r : rows) {
        std::ofstream(store.dir() + LEAF_ANALOG_RINGS_TO_ANSWER) << r.leaf << "\n";
        const std::string ats0 = std::string("ATS0=") + r.digit;
        Replies replies = kGoodModem;
        replies[ats0] = "0\r";
        std::string sent, out;
        EXPECT_EQ(SetUpAgainst(replies, &sent, &out), 1) << r.leaf;
        EXPECT_EQ(sent, "ATZ0\rATE0\rATV0\r" + ats0 + "\r") << r.leaf;
        char normal[64];
        snprintf(normal, sizeof normal, "\nCFG-SMM: Normal num of rings : 0x%x ", r.digit);
        EXPECT_EQ(out.find(r.line + normal), 0u) << out;
    }
}

TEST(Analog, a_short_reply_reads_13_and_silence_5_after_the_time_out) {
    const struct { std::string reply; short minimum; int result, count; } rows[] = {
        {"0\r", 2, 6, 2}, {"ATZ0\r", 7, 13, 5}, {"", 7, 5, 0}};
    for (const auto& r : rows) {
        PtyPeer peer;
        peer.Send(r.reply);
        char buf[400] = {};
        int count = 0;
        auto start = std::chrono::steady_clock::now();
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadFromModem(peer.slave(), 20, buf, &count, r.minimum), r.result) << r.reply;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(count, r.result == 6 ? r.count : 0) << r.reply;
        EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  r.result == 5 ? 1.9 : 0.0);
    }
}

}  // namespace
