// The analog set-up over a real pseudo-terminal: a scripted Hayes modem on the master side
// answers each command line with fixed bytes, or not at all.
#include "configure/analog.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "app/globals.h"
#include "app/modem_select.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

typedef std::map<std::string, std::string> Replies;  // command line without CR -> answer

class ScriptedModem {
public:
    explicit ScriptedModem(const Replies& replies) : replies_(replies) {
        openpty(&master_, &slave_, nullptr, nullptr, nullptr);
        struct termios t;
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] {
            std::string line;
            char c;
            while (!stop_) {
                struct pollfd p = {master_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0 || read(master_, &c, 1) != 1) continue;
                std::lock_guard<std::mutex> lock(mu_);
                received_ += c;
                if (c != '\r') {
                    line += c;
                    continue;
                }
                if (replies_.count(line)) {
                    ssize_t w = write(master_, replies_[line].data(), replies_[line].size());
                    (void)w;
                }
                line.clear();
            }
        });
    }
    ~ScriptedModem() {
        stop_ = true;
        thread_.join();
        close(master_);
        close(slave_);
    }
    int port() const { return slave_; }
    std::string Received() {
        std::lock_guard<std::mutex> lock(mu_);
        return received_;
    }

private:
    Replies replies_;
    int master_ = -1, slave_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::string received_;
};

// Echo on and verbose results until ATV0, as a Hayes modem answers after ATZ0.
const Replies kGoodModem = {
    {"ATZ0", "ATZ0\r\r\nOK\r\n"}, {"ATE0", "ATE0\r\r\nOK\r\n"}, {"ATV0", "0\r"}, {"ATS0=2", "0\r"}};
const char kBadReply[] = "\nCFG-SMM: Bad analog modem response, try again ";

class AnalogTest : public ::testing::Test {
protected:
    TempStore store;
    std::string out;

    void SetUp() override {
        fakeos::Reset();
        ForgetModemType();
        vexDebug = 1;
        store.SetBool(LEAF_OPTION_ANALOG, true);
    }
    void TearDown() override { vexDebug = 0; }
    int SetUpModem(ScriptedModem& modem) {
        testing::internal::CaptureStdout();
        int result = SendModemCmd(modem.port());
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        return result;
    }
    int Count(const std::string& part) const {
        int n = 0;
        for (size_t at = out.find(part); at != std::string::npos; at = out.find(part, at + 1)) n++;
        return n;
    }
};

TEST_F(AnalogTest, each_reply_is_compared_over_the_bytes_received_and_never_retried) {
    const std::string all = "ATZ0\rATE0\rATV0\rATS0=2\r";
    struct {
        int rings;
        const char* hex;
        const char* cmd;
        std::string reply;
        int result;
        std::string sent;
        int bad;
    } rows[] = {
        {2, "32", "", "", 1, all, 0},
        {3, "33", "ATS0=3", "0\r", 1, "ATZ0\rATE0\rATV0\rATS0=3\r", 0},
        // past 9 rings the character after "9"
        {10, "3a", "ATS0=:", "0\r", 1, "ATZ0\rATE0\rATV0\rATS0=:\r", 0},
        {2, "32", "ATZ0", "ATZ0\r\r\n", 1, all, 0},  // a leading part still matches
        {2, "32", "ATZ0", "ATZ0\r\r\nERROR\r\n", 1, all, 1},
        {2, "32", "ATZ0", "ATZ0\r\r\nOK\r\n\r\nOK\r\n", 1, all, 1},  // longer than expected
        {2, "32", "ATV0", "OK\r\n", 1, all, 1},
        {2, "32", "ATZ0", "ATZ0\r", 0, "ATZ0\r", 0},  // 5 of 7 bytes: read gives 13
    };
    for (auto& r : rows) {
        store.SetInt(LEAF_ANALOG_RINGS_TO_ANSWER, r.rings);
        Replies replies = kGoodModem;
        replies[r.cmd] = r.reply;
        ScriptedModem modem(replies);
        fakeos::sleepsUs.clear();
        EXPECT_EQ(SetUpModem(modem), r.result) << r.reply;
        EXPECT_EQ(modem.Received(), r.sent) << r.reply;
        EXPECT_EQ(fakeos::sleepsUs.size(), r.sent.size() / 5) << "two seconds before each read";
        EXPECT_EQ(Count(kBadReply), r.bad) << r.reply;
        EXPECT_EQ(out.find(std::string("\nCFG-SMM: Normal num of rings : 0x") + r.hex + " "), 0u)
            << out;
    }
}

TEST_F(AnalogTest, a_silent_modem_ends_the_set_up_after_the_reply_time_out) {
    ScriptedModem modem(Replies{});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SetUpModem(modem), 0);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(modem.Received(), "ATZ0\r");
    EXPECT_EQ(Count("ReadFromModem:Modem read timed out. "), 1);
    EXPECT_GE(waited, 1.9);  // the record's 2 s
    EXPECT_LT(waited, 10.0);
    struct termios t;  // the record's read controls stay on the port
    ASSERT_EQ(tcgetattr(modem.port(), &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 7);
    EXPECT_EQ(t.c_cc[VTIME], 20);
}

}  // namespace
