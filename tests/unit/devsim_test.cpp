// What the daemon's tests rely on the simulator for, checked from the host side of its ports:
// echo and framing, silence at the wrong line speed, rate switching and saving, the power service.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sim_device.h"
#include "temp_store.h"

namespace {

void SetSpeed(int fd, speed_t speed) {
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

// Writes the bytes, then reads until a final result or quietMs without a byte.
std::string Ask(int fd, const std::string& bytes, int quietMs = 1500) {
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    std::string got;
    char buf[256];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, quietMs) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
        if (got.size() >= 4 && (got.compare(got.size() - 4, 4, "OK\r\n") == 0 ||
                                got.compare(got.size() - 4, 4, "OR\r\n") == 0))
            break;
    }
    return got;
}

class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Start());
        for (int* fd : {&data, &aux}) {
            *fd = open(root.Path(fd == &data ? "/dev/ttyPSC7" : "/dev/ttyPSC3").c_str(),
                       O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(*fd, 0);
            SetSpeed(*fd, B115200);
        }
    }
    void TearDown() override {
        close(data);
        close(aux);
        sim.Stop();
    }
    TempRoot root;
    devsim::SimDevice sim{root.dir()};
    int data = -1, aux = -1;
};

TEST_F(SimOnPty, whole_answer_arrives_in_one_write_and_ate0_drops_the_echo_on_both_ports) {
    ASSERT_EQ(write(data, "AT+CGSN\r", 8), 8);
    struct pollfd p = {data, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char buf[256];
    ssize_t n = read(data, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), "AT+CGSN\r\r\n353535099996462\r\n\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT\n\r"), "\r\nOK\r\n");  // LF is ignored, CR ends the line
    EXPECT_EQ(Ask(aux, "AT+CSQ\r"), "\r\n+CSQ: 17,99\r\n\r\nOK\r\n");
}

TEST_F(SimOnPty, wrong_line_speed_gives_silence_or_noise_and_never_a_command) {
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    ASSERT_EQ(sim.Control("garbage on"), "ok");
    EXPECT_EQ(Ask(data, "AT\r", 300), "\xe6\x9e\x98\xfc\x80");
    ASSERT_EQ(sim.Control("garbage off"), "ok");
    ASSERT_EQ(write(data, "AT+CG", 5), 5);  // half a command at the wrong speed, the rest right
    usleep(100000);
    SetSpeed(data, B115200);
    EXPECT_EQ(Ask(data, "SN\r", 300), "SN\r");
    EXPECT_EQ(sim.Commands(0), std::vector<std::string>{"SN"});
}

TEST_F(SimOnPty, ipr_switches_after_its_ok_and_only_atw_survives_a_power_cycle) {
    ASSERT_EQ(sim.Control("boot-ms 0"), "ok");
    EXPECT_EQ(Ask(data, "AT+IPR=57600\r"), "AT+IPR=57600\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");
    for (const char* line : {"power off", "power on"}) ASSERT_EQ(sim.Control(line), "ok");
    EXPECT_EQ(Ask(data, "AT\r", 300), "");  // not saved: back at 115200
    SetSpeed(data, B115200);
    EXPECT_EQ(Ask(data, "AT+IPR=57600\r"), "AT+IPR=57600\r\r\nOK\r\n");
    SetSpeed(data, B57600);
    EXPECT_EQ(Ask(data, "ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Ask(data, "AT&W\r"), "\r\nOK\r\n");
    for (const char* line : {"power off", "power on"}) ASSERT_EQ(sim.Control(line), "ok");
    EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");  // saved rate, echo back on
}

TEST(SimPowerService, clears_a_request_it_acted_on_and_a_stuck_one_stays) {
    TempStore store;
    TempRoot root;
    devsim::SimDevice sim(root.dir());
    ASSERT_TRUE(sim.Start());
    const char* off = "/U6F/UpdateService/CellModemOff/Value";
    const char* on = "/U6F/UpdateService/CellModemOn/Value";
    ASSERT_EQ(sim.Control("power-service on"), "ok");
    store.SetBool(off, true);
    for (int i = 0; i < 250 && store.GetBool(off); i++) usleep(20000);
    EXPECT_FALSE(store.GetBool(off));
    ASSERT_EQ(sim.Control("power-service stuck"), "ok");
    store.SetBool(on, true);
    usleep(300000);
    EXPECT_TRUE(store.GetBool(on));
    EXPECT_NE(sim.Control("status").find("power off"), std::string::npos);
}

}  // namespace
