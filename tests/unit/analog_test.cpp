// The analog set-up over a pseudo-terminal: the modem answers each command line during the
// two-second pause after it, from fixed replies, or not at all.
#include "configure/analog.h"

#include <gtest/gtest.h>

#include <chrono>
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

TEST(Analog, each_reply_is_compared_over_the_bytes_received_and_never_retried) {
    const std::string all = "ATZ0\rATE0\rATV0\rATS0=2\r";
    const struct {
        int rings; const char* hex; const char* cmd; std::string reply; int result; std::string sent; bool bad;
    } rows[] = {
        {2, "32", "", "", 1, all, false},
        {3, "33", "ATS0=3", "0\r", 1, "ATZ0\rATE0\rATV0\rATS0=3\r", false},
        {10, "3a", "ATS0=:", "0\r", 1, "ATZ0\rATE0\rATV0\rATS0=:\r", false},  // past 9: the next character
        {2, "32", "ATZ0", "ATZ0\r\r\n", 1, all, false},  // a leading part still matches
        {2, "32", "ATZ0", "ATZ0\r\r\nERROR\r\n", 1, all, true},
        {2, "32", "ATZ0", "ATZ0\r\r\nOK\r\n\r\nOK\r\n", 1, all, true},  // longer than expected
        {2, "32", "ATV0", "OK\r\n", 1, all, true},
        {2, "32", "ATZ0", "ATZ0\r", 0, "ATZ0\r", false},  // 5 of 7 bytes ends the set-up
    };
    TempStore store;
    for (const auto& r : rows) {
        store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, r.rings);
        Replies replies = kGoodModem;
        replies[r.cmd] = r.reply;
        PtyPeer peer;
        std::string sent;
        fakeos::Reset();
        fakeos::onSleep = [&](int64_t) {
            std::string line = peer.ReadLine();
            sent += line;
            auto it = replies.find(line.substr(0, line.size() - 1));
            if (it != replies.end()) peer.Send(it->second);
        };
        vexDebug = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(SendModemCmd(peer.slave()), r.result) << r.reply;
        std::string out = testing::internal::GetCapturedStdout();
        vexDebug = 0;
        EXPECT_EQ(sent, r.sent) << r.reply;
        EXPECT_EQ(out.find("\nCFG-SMM: Bad analog modem response, try again ") != out.npos, r.bad) << r.reply;
        EXPECT_EQ(out.find(std::string("\nCFG-SMM: Normal num of rings : 0x") + r.hex + " "), 0u) << out;
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
