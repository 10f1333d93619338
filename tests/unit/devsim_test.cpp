// The device simulator's own promises, checked from the host side of its pseudo-terminals the
// way linkwarden talks to it: answers byte for byte, line speed, rate switching, the log.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "lib/modem.h"
#include "sim_device.h"
#include "temp_store.h"

namespace {

using devsim::Modem;
using devsim::ModemAnswer;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The host's end of one modem port: raw, non-blocking, at the given speed.
int OpenHost(const std::string& path, speed_t speed) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void SetSpeed(int fd, speed_t speed) {
    struct termios t;
    tcgetattr(fd, &t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

// Reads until the text ends with a final result or quietMs pass without a byte.
std::string ReadReply(int fd, int quietMs = 1500) {
    std::string got;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0) return got;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return got;
        got.append(buf, (size_t)n);
        for (const char* end : {"OK\r\n", "ERROR\r\n", "CONNECT 100000000\r\n", "NO CARRIER\r\n"})
            if (got.size() >= strlen(end) && got.compare(got.size() - strlen(end), strlen(end), end) == 0)
                return got;
    }
}

std::string Ask(int fd, const std::string& bytes, int quietMs = 1500) {
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    return ReadReply(fd, quietMs);
}

class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Start());
        data = OpenHost(root.Path("/dev/ttyPSC7"), B115200);
        aux = OpenHost(root.Path("/dev/ttyPSC3"), B115200);
        ASSERT_GE(data, 0);
        ASSERT_GE(aux, 0);
    }
    void TearDown() override {
        if (data >= 0) close(data);
        if (aux >= 0) close(aux);
        sim.Stop();
    }
    TempRoot root;
    devsim::SimDevice sim{root.dir()};
    int data = -1;
    int aux = -1;
};

// What the engine answers, byte for byte, from a fresh cellular modem (echo on).
TEST(SimModemAnswers, cellular_commands_answer_like_the_real_modem) {
    struct Row {
        const char* line;
        const char* answer;
    } rows[] = {
        {"AT", "AT\r\r\nOK\r\n"},
        {"at", "at\r\r\nOK\r\n"},
        {"AT+CSQ", "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n"},
        {"AT+CGSN", "AT+CGSN\r\r\n353535099996462\r\n\r\nOK\r\n"},
        {"AT+CCID", "AT+CCID\r\r\n+CCID: 89014104279461713562\r\n\r\nOK\r\n"},
        {"AT+GMR", "AT+GMR\r\r\n20.00.524\r\n\r\nOK\r\n"},
        {"AT#CFVR", "AT#CFVR\r\r\n#CFVR: 2\r\n\r\nOK\r\n"},
        {"AT#ICMP=2", "AT#ICMP=2\r\r\nOK\r\n"},
        {"AT#ICMP=3", "AT#ICMP=3\r\r\nERROR\r\n"},
        {"AT+IPR?", "AT+IPR?\r\r\n+IPR: 115200\r\n\r\nOK\r\n"},
        {"AT+IPR=12345", "AT+IPR=12345\r\r\nERROR\r\n"},
        {"AT#PORTCFG=8", "AT#PORTCFG=8\r\r\nOK\r\n"},
        {"AT#PORTCFG?", "AT#PORTCFG?\r\r\n#PORTCFG: 8,0\r\n\r\nOK\r\n"},
        {"AT+CMEE=3", "AT+CMEE=3\r\r\nERROR\r\n"},
        {"AT+BOGUS", "AT+BOGUS\r\r\nERROR\r\n"},
        {"hello", "hello\r"},
    };
    Modem m;
    for (const Row& r : rows) EXPECT_EQ(ModemAnswer(m, 0, r.line), r.answer) << r.line;
}

TEST(SimModemAnswers, missing_sim_error_follows_cmee) {
    struct Row {
        const char* cmee;
        const char* answer;
    } rows[] = {
        {"AT+CMEE=0", "AT+CCID\r\r\nERROR\r\n"},
        {"AT+CMEE=1", "AT+CCID\r\r\n+CME ERROR: 10\r\n"},
        {"AT+CMEE=2", "AT+CCID\r\r\n+CME ERROR: SIM not inserted\r\n"},
    };
    for (const Row& r : rows) {
        Modem m;
        m.simPresent = false;
        ModemAnswer(m, 0, r.cmee);
        EXPECT_EQ(ModemAnswer(m, 0, "AT+CCID"), r.answer) << r.cmee;
    }
}

TEST(SimModemAnswers, csq_list_is_consumed_and_its_last_level_repeats) {
    Modem m;
    m.echo = false;
    m.csq = {5, 99};
    EXPECT_EQ(ModemAnswer(m, 0, "AT+CSQ"), "\r\n+CSQ: 5,99\r\n\r\nOK\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
}

// The four set-up commands linkwarden sends an analog modem, with the replies it compares.
TEST(SimModemAnswers, analog_setup_replies_are_what_linkwarden_expects) {
    Modem m;
    devsim::ModemFactory(m, devsim::MODEM_ANALOG);
    EXPECT_EQ(ModemAnswer(m, 0, "ATZ0"), "ATZ0\r\r\nOK\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "ATV0"), "0\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "ATS0=2"), "0\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "ATX9"), "4\r\n");
    // ATZ0 brings echo and words back.
    EXPECT_EQ(ModemAnswer(m, 0, "ATZ0"), "\r\nOK\r\n");
    EXPECT_EQ(ModemAnswer(m, 0, "AT"), "AT\r\r\nOK\r\n");
}

TEST_F(SimOnPty, whole_answer_arrives_in_one_write_and_ate0_drops_the_echo) {
    ASSERT_EQ(write(data, "AT+CGSN\r", 8), 8);
    struct pollfd p = {data, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char buf[256];
    ssize_t n = read(data, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), "AT+CGSN\r\r\n353535099996462\r\n\r\nOK\r\n");

    EXPECT_EQ(Ask(data, "ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT\n\r"), "\r\nOK\r\n");  // LF is ignored, CR ends the line
    // Same modem behind the aux port: the echo is off there too.
    EXPECT_EQ(Ask(aux, "AT+CSQ\r"), "\r\n+CSQ: 17,99\r\n\r\nOK\r\n");
}

TEST_F(SimOnPty, split_answer_needs_more_than_one_read) {
    ASSERT_EQ(sim.Control("split 3"), "ok");
    ASSERT_EQ(write(data, "AT\r", 3), 3);
    struct pollfd p = {data, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char buf[64];
    ssize_t n = read(data, buf, sizeof buf);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, 9);
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0) + ReadReply(data), "AT\r\r\nOK\r\n");
}

TEST_F(SimOnPty, wrong_line_speed_gives_silence_or_noise_and_never_a_command) {
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    ASSERT_EQ(sim.Control("garbage on"), "ok");
    EXPECT_EQ(Ask(data, "AT\r", 300), "\xe6\x9e\x98\xfc\x80");
    // Half a command at the wrong speed, the rest at the right one: no command is formed.
    ASSERT_EQ(sim.Control("garbage off"), "ok");
    ASSERT_EQ(write(data, "AT+CG", 5), 5);
    usleep(100000);
    SetSpeed(data, B115200);
    EXPECT_EQ(Ask(data, "SN\r", 300), "SN\r");
    EXPECT_TRUE(sim.Commands(0) == std::vector<std::string>{"SN"});
}

TEST_F(SimOnPty, ipr_switches_after_its_ok_and_only_atw_survives_a_power_cycle) {
    ASSERT_EQ(sim.Control("boot-ms 0"), "ok");
    EXPECT_EQ(Ask(data, "AT+IPR=57600\r"), "AT+IPR=57600\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");

    // Not saved: the power cycle brings back 115200.
    ASSERT_EQ(sim.Control("power off"), "ok");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    ASSERT_EQ(sim.Control("power on"), "ok");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    SetSpeed(data, B115200);
    EXPECT_EQ(Ask(data, "AT+IPR=57600\r"), "AT+IPR=57600\r\r\nOK\r\n");
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT&W\r"), "\r\nOK\r\n");
    ASSERT_EQ(sim.Control("power off"), "ok");
    ASSERT_EQ(sim.Control("power on"), "ok");
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");  // saved rate, echo back on
}

TEST_F(SimOnPty, modem_answers_only_after_its_boot_time) {
    ASSERT_EQ(sim.Control("boot-ms 1500"), "ok");
    ASSERT_EQ(sim.Control("power off"), "ok");
    ASSERT_EQ(sim.Control("power on"), "ok");
    const int64_t on = NowMs();
    EXPECT_EQ(Ask(data, "AT\r", 200), "");
    std::string got;
    while (got.empty() && NowMs() - on < 10000) got = Ask(data, "AT\r", 200);
    EXPECT_EQ(got, "AT\r\r\nOK\r\n");
    EXPECT_GE(NowMs() - on, 1400);
}

TEST_F(SimOnPty, data_mode_ignores_commands_until_escape_or_drop) {
    EXPECT_EQ(Ask(data, "ATD*99***3#\r"), "ATD*99***3#\r\r\nCONNECT 100000000\r\n");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    EXPECT_EQ(Ask(data, "+++"), "\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "ATO\r"), "ATO\r\r\nCONNECT 100000000\r\n");
    ASSERT_EQ(sim.Control("drop"), "ok");
    EXPECT_EQ(ReadReply(data), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(Ask(aux, "ATD*99***3#\r"), "ATD*99***3#\r\r\nERROR\r\n");
}

TEST_F(SimOnPty, log_records_each_command_with_port_and_time) {
    const double before = (double)time(nullptr) - 1;
    Ask(data, "AT+CSQ\r");
    Ask(aux, "at#cfvr\r");
    ASSERT_EQ(sim.Control("noanswer AT#CFVR"), "ok");
    EXPECT_EQ(Ask(aux, "AT#CFVR\r", 300), "");
    std::vector<devsim::LogEntry> log = sim.CommandLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].port, 0);
    EXPECT_EQ(log[0].line, "AT+CSQ");
    EXPECT_EQ(log[1].port, 1);
    EXPECT_EQ(log[2].line, "AT#CFVR");
    EXPECT_GE(log[0].time, before);
    EXPECT_LE(log[0].time, log[2].time);
    const std::string text = sim.Control("log");
    EXPECT_NE(text.find(" data AT+CSQ\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" aux at#cfvr\n"), std::string::npos) << text;
    EXPECT_EQ(sim.Control("clear-log"), "ok");
    EXPECT_TRUE(sim.CommandLog().empty());
}

TEST_F(SimOnPty, unplug_hangs_up_the_host_and_plug_brings_the_port_back) {
    const std::string before = sim.PortPath(0);
    ASSERT_EQ(sim.Control("unplug"), "ok");
    char c;
    struct pollfd p = {data, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE((p.revents & POLLHUP) || read(data, &c, 1) <= 0);
    struct stat st;
    EXPECT_NE(lstat(root.Path("/dev/ttyPSC7").c_str(), &st), 0);
    ASSERT_EQ(sim.Control("plug"), "ok");
    close(data);
    data = OpenHost(root.Path("/dev/ttyPSC7"), B115200);
    ASSERT_GE(data, 0);
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");
}

TEST(SimControl, bad_control_lines_are_refused_with_a_reason) {
    TempRoot root;
    devsim::SimDevice sim(root.dir());
    for (const char* line : {"rate 12345", "rate", "csq 17,abc", "csq 100", "echo maybe",
                             "type modem", "power-service slow", "ppp explode",
                             "link-address 10.1.2", "network down", "frobnicate", ""}) {
        EXPECT_EQ(sim.Control(line).rfind("error: ", 0), 0u) << line;
    }
    EXPECT_EQ(sim.Control("ppp die-after 30"), "ok");
}

TEST(SimControl, world_files_start_with_defaults_and_follow_the_commands) {
    TempRoot root;
    devsim::SimDevice sim(root.dir());
    ASSERT_TRUE(sim.Start());
    auto read = [&](const char* name) {
        std::ifstream f(root.dir() + "/devsim/world/" + name);
        std::string line;
        std::getline(f, line);
        return line;
    };
    EXPECT_EQ(read("ppp_fault"), "none");
    EXPECT_EQ(read("network"), "up");
    EXPECT_EQ(read("link_address"), "10.170.3.25");
    EXPECT_EQ(sim.Control("ppp die-after 30"), "ok");
    EXPECT_EQ(sim.Control("network drop"), "ok");
    EXPECT_EQ(sim.Control("link-address 10.1.2.3"), "ok");
    EXPECT_EQ(read("ppp_fault"), "die-after 30");
    EXPECT_EQ(read("network"), "drop");
    EXPECT_EQ(read("link_address"), "10.1.2.3");
}

TEST(SimPowerService, acts_on_a_request_and_then_clears_it) {
    TempStore store;
    TempRoot root;
    devsim::SimDevice sim(root.dir());
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(sim.Control("power-service on"), "ok");
    const char* off = "/U6F/UpdateService/CellModemOff/Value";
    store.SetBool(off, true);
    const int64_t start = NowMs();
    while (store.GetBool(off) && NowMs() - start < 5000) usleep(20000);
    EXPECT_FALSE(store.GetBool(off));
    EXPECT_NE(sim.Control("status").find("power off"), std::string::npos);

    ASSERT_EQ(sim.Control("power-service stuck"), "ok");
    const char* on = "/U6F/UpdateService/CellModemOn/Value";
    store.SetBool(on, true);
    usleep(300000);
    EXPECT_TRUE(store.GetBool(on));
    EXPECT_NE(sim.Control("status").find("power off"), std::string::npos);
}

}  // namespace
