// The analog set-up over a real pseudo-terminal: a scripted Hayes modem on the master side
// answers each command line with fixed bytes (or not at all).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "app/modem_select.h"
#include "configure/analog.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

class ScriptedModem {
public:
    // replies: command line (without its CR) -> bytes to answer; unlisted lines go unanswered.
    explicit ScriptedModem(std::map<std::string, std::string> replies) : replies_(std::move(replies)) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        struct termios t;
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedModem() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    int port() const { return slave_; }
    // Every byte the port wrote, in order.
    std::string Received() {
        std::lock_guard<std::mutex> lock(mu_);
        return received_;
    }

private:
    void Serve() {
        std::string line;
        while (!stop_) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; i++) {
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    received_.push_back(buf[i]);
                }
                if (buf[i] != '\r') {
                    line.push_back(buf[i]);
                    continue;
                }
                auto it = replies_.find(line);
                if (it != replies_.end()) {
                    ssize_t w = write(master_, it->second.data(), it->second.size());
                    (void)w;
                }
                line.clear();
            }
        }
    }
    std::map<std::string, std::string> replies_;
    int master_ = -1;
    int slave_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::string received_;
};

// A modem with echo on and verbose results until ATV0: the answers of a classic Hayes modem.
std::map<std::string, std::string> GoodModem(const std::string& ringsCmd = "ATS0=2") {
    return {{"ATZ0", "ATZ0\r\r\nOK\r\n"},
            {"ATE0", "ATE0\r\r\nOK\r\n"},
            {"ATV0", "0\r"},
            {ringsCmd, "0\r"}};
}

const char kBadReply[] = "\nCFG-SMM: Bad analog modem response, try again ";

class AnalogTest : public ::testing::Test {
protected:
    TempStore store;

    void SetUp() override {
        fakeos::Reset();
        ForgetModemType();
        vexDebug = 1;
        store.SetBool(LEAF_OPTION_ANALOG, true);
        store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, 2);
    }
    void TearDown() override { vexDebug = 0; }

    // Runs the set-up against the modem and returns its result; out gets the trace.
    int RunSetUp(ScriptedModem& modem, std::string& out) {
        testing::internal::CaptureStdout();
        int result = SendModemCmd(modem.port());
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        return result;
    }
};

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

TEST_F(AnalogTest, a_well_behaved_modem_gets_four_commands_two_seconds_apart) {
    ScriptedModem modem(GoodModem());
    std::string out;
    EXPECT_EQ(RunSetUp(modem, out), 1);
    EXPECT_EQ(modem.Received(), "ATZ0\rATE0\rATV0\rATS0=2\r");
    EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>(4, 2000000));
    EXPECT_EQ(Count(out, kBadReply), 0) << out;
}

TEST_F(AnalogTest, the_rings_leaf_gives_the_digit_of_the_answer_command) {
    struct Row {
        int rings;
        const char* command;
        const char* trace;
    } rows[] = {
        {3, "ATS0=3", "\nCFG-SMM: Normal num of rings : 0x33 "},
        {0, "ATS0=0", "\nCFG-SMM: Normal num of rings : 0x30 "},
        {10, "ATS0=:", "\nCFG-SMM: Normal num of rings : 0x3a "},  // no digit past 9
    };
    for (const Row& r : rows) {
        store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, r.rings);
        ScriptedModem modem(GoodModem(r.command));
        std::string out;
        EXPECT_EQ(RunSetUp(modem, out), 1) << r.rings;
        EXPECT_EQ(modem.Received(), std::string("ATZ0\rATE0\rATV0\r") + r.command + "\r");
        EXPECT_EQ(out.find(r.trace), 0u) << out;
    }
}

TEST_F(AnalogTest, replies_are_compared_over_the_bytes_received_and_a_mismatch_is_not_retried) {
    struct Row {
        const char* command;
        std::string reply;
        bool reported;
    } rows[] = {
        {"ATZ0", "ATZ0\r\r\nOK\r\n", false},
        {"ATZ0", "ATZ0\r\r\n", false},  // the first 7 bytes of the expected text still match
        {"ATZ0", "ATZ0\r\r\nERROR\r\n", true},
        {"ATZ0", "ATZ0\r\r\nOK\r\n\r\nOK\r\n", true},  // longer than expected
        {"ATV0", "OK\r\n", true},
        {"ATV0", "0\r\n", false},
    };
    for (const Row& r : rows) {
        std::map<std::string, std::string> replies = GoodModem();
        replies[r.command] = r.reply;
        ScriptedModem modem(replies);
        std::string out;
        EXPECT_EQ(RunSetUp(modem, out), 1) << r.reply;
        EXPECT_EQ(modem.Received(), "ATZ0\rATE0\rATV0\rATS0=2\r") << r.reply;
        EXPECT_EQ(Count(out, kBadReply), r.reported ? 1 : 0) << r.reply;
    }
}

TEST_F(AnalogTest, a_short_reply_ends_the_set_up_before_the_next_command) {
    std::map<std::string, std::string> replies = GoodModem();
    replies["ATZ0"] = "ATZ0\r";  // 5 bytes of the 7 needed
    ScriptedModem modem(replies);
    std::string out;
    EXPECT_EQ(RunSetUp(modem, out), 0);
    EXPECT_EQ(modem.Received(), "ATZ0\r");
}

TEST_F(AnalogTest, a_silent_modem_ends_the_set_up_after_the_reply_time_out) {
    ScriptedModem modem(std::map<std::string, std::string>{});
    auto start = std::chrono::steady_clock::now();
    std::string out;
    EXPECT_EQ(RunSetUp(modem, out), 0);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(modem.Received(), "ATZ0\r");
    EXPECT_NE(out.find("ReadFromModem:Modem read timed out. "), std::string::npos) << out;
    EXPECT_GE(waited, 1.9);  // the record's 2 s
    EXPECT_LT(waited, 10.0);
}

TEST_F(AnalogTest, read_results_by_what_arrives) {
    struct Row {
        std::string waiting;  // bytes the modem sends before the read
        unsigned int timeout;
        short minimum;
        int result;
        int count;
    } rows[] = {
        {"ATZ0\r\r\nOK\r\n", 20, 7, 6, 11},
        {"0\r", 20, 2, 6, 2},
        {"ATZ0\r", 1, 7, 13, -1},  // quiet for a tenth of a second after 5 bytes; count kept
        {"", 0, 2, 5, -1},          // time-out 0: half a second for the first byte
    };
    for (const Row& r : rows) {
        ScriptedModem modem(std::map<std::string, std::string>{{"X", r.waiting}});
        ASSERT_EQ(write(modem.port(), "X\r", 2), 2);
        usleep(100000);  // let the reply reach the port
        char buf[301] = {};
        int count = -1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadFromModem(modem.port(), r.timeout, buf, &count, r.minimum), r.result)
            << r.waiting;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(count, r.count) << r.waiting;
        if (r.result == 6) {
            EXPECT_EQ(std::string(buf, count), r.waiting);
        }
    }
}

TEST_F(AnalogTest, read_controls_stay_on_the_port_and_a_bad_port_gives_4) {
    ScriptedModem modem(std::map<std::string, std::string>{{"X", "0\r"}});
    ASSERT_EQ(write(modem.port(), "X\r", 2), 2);
    char buf[301];
    int count = 0;
    EXPECT_EQ(ReadFromModem(modem.port(), 20, buf, &count, 2), 6);
    struct termios t;
    ASSERT_EQ(tcgetattr(modem.port(), &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 2);
    EXPECT_EQ(t.c_cc[VTIME], 20);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadFromModem(-1, 20, buf, &count, 2), 4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nReadFromModem: Serial port read failed. errno - "), std::string::npos);
}

}  // namespace
