// The AT exchange against a modem played on a pseudo-terminal. The modem answers from inside the
// exchange's own wait (the fake clock's sleep hook), so what has arrived before the single read
// is exact and no test depends on machine speed.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "base/globals.h"
#include "fake_os.h"
#include "pty_peer.h"
#include "serial/at_exchange.h"
#include "serial/port.h"
#include "temp_store.h"

namespace {

const std::string kAtOk = "AT\r\r\nOK\r\n";

// answers[i] is sent during the wait of attempt i; every command line heard is kept.
struct Modem {
    TempRoot root;
    PtyPeer peer;
    int fd = -1;
    std::vector<std::string> answers, heard;
    char rxBuf[RX_BUF_SIZE];
    explicit Modem(std::vector<std::string> script = {}) : answers(std::move(script)) {
        fakeos::Reset();
        memset(rxBuf, 'Z', sizeof rxBuf - 1);  // what a longer earlier answer left behind
        rxBuf[sizeof rxBuf - 1] = 0;
        peer.LinkAt(root.dir(), "ttyPSC7");
        fd = OpenModemPort(CELL_DATA_PORT);
        ConfigModemPort(fd, B115200);
        fakeos::onSleep = [this](int64_t) {
            heard.push_back(peer.ReadLine());
            if (heard.size() <= answers.size()) peer.Send(answers[heard.size() - 1]);
        };
    }
    ~Modem() {
        fakeos::Reset();
        vexDebug = 0;
        close(fd);
    }
    int Send(const char* cmd, const char* expected = "OK", int minLen = 5, int delayUs = 100000,
             int wait = 1, int report = 1) {
        return SendCellModemCmd(fd, cmd, minLen, rxBuf, wait, delayUs, expected, report);
    }
};

}  // namespace

TEST(AtExchange, accepts_an_answer_only_with_echo_expected_text_and_enough_bytes) {
    const std::string csq = "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n", noise = "\xe6\x9e\x98\xfc\x80";
    const struct Row {
        const char* what; const char* cmd; int minLen; const char* expected; int delayUs;
        std::vector<std::string> answers; int result; size_t writes; std::string rx;
    } rows[] = {
        {"answered at once", "AT", 5, "OK", 100000, {kAtOk}, OK, 1, kAtOk},
        {"information line", "AT+CSQ", 5, "+CSQ:", 100000, {csq}, OK, 1, csq},
        {"probe wait", "AT", 5, "OK", 2000000, {kAtOk}, OK, 1, kAtOk},
        {"unsolicited line first", "AT", 5, "OK", 100000, {"\r\nRING\r\n" + kAtOk}, OK, 1, "\r\nRING\r\n" + kAtOk},
        {"no echo", "AT", 5, "OK", 100000, {"\r\nOK\r\n", "\r\nOK\r\n"}, NOT_OK, 2, "\r\nOK\r\n"},
        {"mismatch", "AT+CPIN?", 5, "OK", 100000, {"AT+CPIN?\r\r\n+CME ERROR: 10\r\n", "AT+CPIN?\r\r\nERROR\r\n"},
         NOT_OK, 2, "AT+CPIN?\r\r\nERROR\r\n"},
        {"second attempt answered", "AT", 5, "OK", 100000, {"\r\nOK\r\n", kAtOk}, OK, 2, kAtOk},
        {"NUL ends the text", "AT", 5, "OK", 100000,
         {std::string("AT\r\r\n\0OK\r\n", 10), std::string("AT\0\r\nOK\r\n", 9)}, NOT_OK, 2, "AT"},
        {"4 bytes, any text", "AT", 5, nullptr, 100000, {noise.substr(0, 4), "0\r\n"}, NOT_OK, 2, "0\r\n"},
        {"5 bytes of noise, any text", "AT", 5, nullptr, 100000, {noise}, OK, 1, noise},
        {"longer than the part cleared", "AT", 5, "OK", 100000, {kAtOk + std::string(450, '.')}, OK, 1,
         kAtOk + std::string(450, '.')},
        {"numeric result, 1 byte enough", "ATS0=2", 1, nullptr, 100000, {"0\r"}, OK, 1, "0\r"},
    };
    for (const Row& row : rows) {
        Modem modem(row.answers);
        EXPECT_EQ(modem.Send(row.cmd, row.expected, row.minLen, row.delayUs), row.result) << row.what;
        EXPECT_EQ(modem.heard, std::vector<std::string>(row.writes, std::string(row.cmd) + "\r")) << row.what;
        EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>(row.writes, row.delayUs + 100000)) << row.what;
        EXPECT_EQ(std::string(modem.rxBuf), row.rx) << row.what;
    }
}

TEST(AtExchange, the_single_read_takes_only_what_has_arrived_at_every_split_of_the_reply) {
    for (size_t k = 1; k < kAtOk.size(); k++) {
        std::string first = kAtOk.substr(0, k), rest = kAtOk.substr(k);
        Modem modem({first, rest});
        bool complete = first.find("OK") != std::string::npos;
        EXPECT_EQ(modem.Send("AT"), complete ? OK : NOT_OK) << k;
        EXPECT_EQ(std::string(modem.rxBuf), complete ? first : rest) << k;
    }
}

TEST(AtExchange, not_waiting_returns_after_the_line_cut_to_199_characters_and_one_cr) {
    const struct { size_t len; int report, debug; const char* rx; } rows[] = {
        {198, 1, 1, "[Didn't wait for resp] "}, {199, 1, 0, ""}, {200, 1, 0, ""}, {250, 0, 1, ""}, {2, 2, 1, ""}};
    for (const auto& row : rows) {
        Modem modem;
        vexDebug = row.debug;
        std::string cmd(row.len, 'S');
        EXPECT_EQ(modem.Send(cmd.c_str(), "OK", 5, 100000, 0, row.report), OK);
        EXPECT_EQ(modem.peer.Drain(), std::string(std::min<size_t>(row.len, 199), 'S') + "\r") << row.len;
        EXPECT_TRUE(fakeos::sleepsUs.empty());
        EXPECT_STREQ(modem.rxBuf, row.rx);
    }
}

TEST(AtExchange, failures_are_traced_only_when_reported_in_debug_and_failed_writes_cost_2_s) {
    const std::string noEcho =
        "\nCFG-SMC:  attempt 0) FAILED: response match, expected resp: 'OK', rxbuf: '\r\nOK\r\n',  "
        "strstr result: '\r\nOK\r\n' "
        "\nCFG-SMC:  attempt 1) *** Too many unexpected resp: cmd: AT expected: OK, \nGot rxbuf: \r\nOK\r\n ***\n"
        "\nCFG-SCM: Failed command 'AT' ";
    const struct { bool badFd; std::string answer; int report, debug; std::string trace; int64_t sleepUs; } rows[] = {
        {false, "\r\nOK\r\n", 1, 1, noEcho, 200000},
        {false, "\r\nOK\r\n", 1, 0, "", 200000},
        {false, "\r\nOK\r\n", 0, 1, "", 200000},
        {true, "", 1, 1, "\nCFG-SMC: write command 'AT' failed, attempt 0 \nCFG-SMC: write command 'AT' failed, "
                         "attempt 1 \nCFG-SCM: Failed command 'AT' ", 2000000},
        {true, "", 0, 1, "", 200000},  // an unnoticed failed write still waits and reads
    };
    for (const auto& row : rows) {
        Modem modem({row.answer, row.answer});
        if (row.badFd) fakeos::onSleep = nullptr, close(modem.fd), modem.fd = -1;
        vexDebug = row.debug;
        testing::internal::CaptureStdout();
        EXPECT_EQ(modem.Send("AT", "OK", 5, 100000, 1, row.report), NOT_OK);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.trace);
        EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>(2, row.sleepUs));
    }
}
