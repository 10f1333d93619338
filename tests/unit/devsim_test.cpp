// What the daemon's tests rely on the simulator for, checked from the host side of its ports:
// echo and framing, silence at the wrong line speed, rate switching and saving, the power service,
// and data calls carried to a network-side program with the host's hang-ups.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
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

// Reads until the bytes hold want, or waitMs pass.
std::string ReadUntil(int fd, const std::string& want, int waitMs = 5000) {
    std::string got;
    char buf[256];
    struct pollfd p = {fd, POLLIN, 0};
    while (got.find(want) == std::string::npos && poll(&p, 1, waitMs) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    return got;
}

// Whatever arrives before 200 ms pass without a byte.
std::string Leftover(int fd) {
    std::string got;
    char buf[256];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    return got;
}

// True as soon as the condition holds, false when it still does not after about 10 s.
bool Eventually(const std::function<bool()>& holds) {
    for (int i = 0; i < 500; i++) {
        if (holds()) return true;
        usleep(20000);
    }
    return holds();
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

// The network side is `cat` by default: every byte the host sends in a call comes back.
class SimDataCall : public SimOnPty {
protected:
    void SetUp() override {
        sim.SetDataPeer("echo $$ > " + root.Path("/peer.pid") + "; exec " + peerProgram);
        SimOnPty::SetUp();
    }
    std::string peerProgram = "cat";
    // Dials and returns the pid of the call's network side.
    int Dial() {
        unlink(root.Path("/peer.pid").c_str());
        const std::string dial = "ATD*99***3#\r";
        EXPECT_EQ(write(data, dial.data(), dial.size()), (ssize_t)dial.size());
        EXPECT_EQ(ReadUntil(data, "CONNECT 100000000\r\n"), dial + "\r\nCONNECT 100000000\r\n");
        int pid = 0;
        EXPECT_TRUE(Eventually([&] {
            std::ifstream f(root.Path("/peer.pid"));
            return bool(f >> pid);
        }));
        return pid;
    }
    bool Status(const std::string& line) {
        return sim.Control("status").find(line + "\n") != std::string::npos;
    }
};

TEST_F(SimDataCall, call_bytes_pass_raw_and_every_hang_up_leaves_a_clean_line_in_command_mode) {
    // A PPP frame with what a modem must not take from a call: escape, result text, NUL.
    const std::string frame("~\xff\x7d\x23+++\x00\r\nNO CARRIER\r\nAT\r~", 24);
    for (const std::string hangUp : {"port closed", "line speed 0", "network drop"}) {
        SCOPED_TRACE(hangUp);
        const int peer = Dial();
        ASSERT_GT(peer, 0);
        ASSERT_EQ(write(data, frame.data(), frame.size()), (ssize_t)frame.size());
        EXPECT_EQ(ReadUntil(data, frame), frame);
        // A frame left unread on the line when the call ends.
        ASSERT_EQ(write(data, frame.data(), frame.size()), (ssize_t)frame.size());
        ASSERT_TRUE(Eventually([&] {
            int n = 0;
            return ioctl(data, FIONREAD, &n) == 0 && n == (int)frame.size();
        }));
        if (hangUp == "port closed") {
            close(data);
            ASSERT_TRUE(Eventually([&] { return Status("call down"); }));
            data = open(root.Path("/dev/ttyPSC7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(data, 0);
            SetSpeed(data, B115200);
        } else if (hangUp == "line speed 0") {
            SetSpeed(data, B0);
            ASSERT_TRUE(Eventually([&] { return Status("call down"); }));
            SetSpeed(data, B115200);
        } else {
            // The carrier is lost: what the line already holds stays, NO CARRIER follows.
            ASSERT_EQ(sim.Control(hangUp), "ok");
            const std::string kept = frame + "\r\nNO CARRIER\r\n";
            EXPECT_EQ(ReadUntil(data, kept), kept);
        }
        EXPECT_TRUE(Eventually([&] { return kill(peer, 0) != 0; })) << "network side still runs";
        EXPECT_EQ(Leftover(data), "");
        EXPECT_EQ(Ask(data, "AT\r"), "AT\r\r\nOK\r\n");
        EXPECT_TRUE(Status("data-peer idle"));
    }
}

TEST_F(SimDataCall, a_refusing_network_answers_no_carrier_and_a_silent_one_sends_nothing) {
    ASSERT_EQ(sim.Control("network refuse"), "ok");
    ASSERT_EQ(write(data, "ATD*99***3#\r", 12), 12);
    EXPECT_EQ(ReadUntil(data, "NO CARRIER\r\n"), "ATD*99***3#\r\r\nNO CARRIER\r\n");
    EXPECT_TRUE(Status("data-peer idle"));
    ASSERT_EQ(sim.Control("network normal"), "ok");
    Dial();
    ASSERT_EQ(sim.Control("network silent"), "ok");
    ASSERT_EQ(write(data, "LCP", 3), 3);
    EXPECT_EQ(ReadUntil(data, "LCP", 300), "");
    EXPECT_TRUE(Status("call up"));
}

// Whether the kernel of the network namespace that pid lives in answers pings ("0") or not ("1").
std::string IgnoresEcho(int pid) {
    const std::string cmd = "nsenter --net=/proc/" + std::to_string(pid) +
                            "/ns/net cat /proc/sys/net/ipv4/icmp_echo_ignore_all 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    char buf[16] = "";
    if (f) {
        if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
        pclose(f);
    }
    return std::string(buf).substr(0, 1);
}

class SimCallInNamespace : public SimDataCall {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
        peerProgram = "unshare --net sleep 60";
        SimDataCall::SetUp();
    }
};

TEST_F(SimCallInNamespace, pings_dropped_holds_in_the_network_sides_namespace_only) {
    const std::string own = IgnoresEcho(getpid());
    ASSERT_EQ(sim.Control("pings dropped"), "ok");  // before the call: taken when it starts
    const int peer = Dial();
    EXPECT_TRUE(Eventually([&] { return IgnoresEcho(peer) == "1"; }));
    ASSERT_EQ(sim.Control("pings answered"), "ok");
    EXPECT_TRUE(Eventually([&] { return IgnoresEcho(peer) == "0"; }));
    EXPECT_EQ(IgnoresEcho(getpid()), own);
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
