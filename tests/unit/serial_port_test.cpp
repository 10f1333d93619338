// Serial ports over real pseudo-terminals: the test holds the master side, the code under test
// opens the slave through <root>/dev/ttyPSC7 or ttyPSC3.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/globals.h"
#include "fake_os.h"
#include "pty_peer.h"
#include "serial/port.h"
#include "temp_store.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct OpenPort {
    TempRoot root;
    PtyPeer peer;
    int fd = -1;
    explicit OpenPort(MODEM_PORT_TYPE type = CELL_DATA_PORT, speed_t speed = 0) {
        peer.LinkAt(root.dir(), type == CELL_DATA_PORT ? "ttyPSC7" : "ttyPSC3");
        fd = OpenModemPort(type);
        EXPECT_EQ(speed ? ConfigModemPort(fd, speed) : OK, OK);
    }
    ~OpenPort() { close(fd); }
};

void NoteSignal(int) {}

}  // namespace

TEST(SerialPort, opens_each_role_under_the_root_nonblocking_closed_on_exec_and_says_which_one_failed) {
    for (MODEM_PORT_TYPE type : {CELL_DATA_PORT, CELL_AUX_PORT}) {
        OpenPort port(type);
        ASSERT_GE(port.fd, 0) << type;
        EXPECT_TRUE(fcntl(port.fd, F_GETFD) & FD_CLOEXEC);  // pppd and fping must not hold it
        EXPECT_TRUE(fcntl(port.fd, F_GETFL) & O_NONBLOCK);
        port.peer.Send("x");  // it is the line the peer plays on
        char c = 0;
        EXPECT_EQ(ReadModemPort(port.fd, &c, 1), 1);
        EXPECT_EQ(c, 'x');
    }
    TempRoot root;
    PtyPeer peer;  // linked before the unknown role only, which must still open nothing
    for (const auto& row : {std::make_pair(0, "PSC7"), std::make_pair(1, "PSC3"), std::make_pair(2, "PSC3")}) {
        if (row.first == 2) peer.LinkAt(root.dir(), "ttyPSC7"), peer.LinkAt(root.dir(), "ttyPSC3");
        testing::internal::CaptureStdout();
        EXPECT_EQ(OpenModemPort(static_cast<MODEM_PORT_TYPE>(row.first)), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("\nCFG-OMP: OpenModemPort: Failed to open modem serial port ") + row.second + ".\n");
    }
}

// Started with standard input and error closed, the daemon fills them with /dev/null before it
// opens anything, so no port is ever descriptor 0 to 2. Run in a child, whose descriptors are its own.
TEST(SerialPort, closed_standard_descriptors_are_filled_so_no_port_takes_one) {
    TempRoot root;
    PtyPeer peer;
    peer.LinkAt(root.dir(), "ttyPSC3");
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(0), close(2);
        const int filled = OpenStandardDescriptors(), again = OpenStandardDescriptors();
        _exit(filled == 2 && again == 0 && OpenModemPort(CELL_AUX_PORT) > 2 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SerialPort, config_sets_raw_8n1_at_the_speed_drops_waiting_input_and_blocks) {
    for (speed_t speed : {B9600, B57600, B115200}) {
        OpenPort port;
        port.peer.Send("stale input");
        EXPECT_EQ(ConfigModemPort(port.fd, speed), OK);
        EXPECT_EQ(port.peer.Pending(), 0);
        struct termios tio;
        ASSERT_EQ(tcgetattr(port.fd, &tio), 0);
        EXPECT_EQ(cfgetispeed(&tio), speed);
        EXPECT_EQ(cfgetospeed(&tio), speed);
        EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | CREAD | CLOCAL | CRTSCTS | HUPCL),
                  static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
        EXPECT_EQ(tio.c_iflag | tio.c_oflag | tio.c_lflag, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 10);
        EXPECT_FALSE(fcntl(port.fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(port.fd, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_EQ(ConfigModemPort(-1, B115200), NOT_OK);
}

// Every caller asks for 1 s.
TEST(SerialPort, a_one_second_timeout_is_ten_tenths_and_keeps_the_other_settings) {
    OpenPort port(CELL_DATA_PORT, B57600);
    struct termios tio;
    tcgetattr(port.fd, &tio);
    tio.c_lflag |= ICANON;
    tio.c_cc[VMIN] = 1;
    tcsetattr(port.fd, TCSANOW, &tio);
    EXPECT_EQ(SetCellPortTimeout(port.fd, 1), 0);
    tcgetattr(port.fd, &tio);
    EXPECT_EQ(tio.c_cc[VTIME], 10);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_FALSE(tio.c_lflag & ICANON);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(SetCellPortTimeout(-1, 1), -1);
}

TEST(SerialPort, a_silent_line_costs_one_read_timeout_and_a_flush_stops_at_100_bytes) {
    OpenPort port(CELL_DATA_PORT, B115200);
    char buf[8];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadModemPort(port.fd, buf, sizeof buf), 0);
    EXPECT_GE(SecondsSince(t0), 0.9);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FlushRxData(port.fd), 0);
    EXPECT_GE(SecondsSince(t0), 0.9);
    port.peer.Send(std::string(150, 'n'));
    EXPECT_EQ(FlushRxData(port.fd), 1);
    EXPECT_EQ(port.peer.Pending(), 50);
}

TEST(SerialPort, a_read_interrupted_by_a_signal_goes_on_waiting_for_the_answer) {
    OpenPort port(CELL_DATA_PORT, B115200);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = NoteSignal;  // no SA_RESTART: the read sees EINTR
    sigaction(SIGUSR1, &sa, &old);
    pthread_t reader = pthread_self();
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Straight to the master: Send would wait for bytes that the reader takes at once.
        if (write(port.peer.master(), "OK", 2) != 2) ADD_FAILURE();
    });
    char buf[8] = {};
    int got = ReadModemPort(port.fd, buf, sizeof buf);
    modem.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(got, 1);
    EXPECT_EQ(buf[0], 'O');
}

TEST(TraceClock, stores_whole_seconds_and_truncated_milliseconds_past_2038_on_the_target) {
    const struct { int64_t us, sec; int msec; } rows[] = {
        {INT64_C(2147483647) * 1000000 + 1999, INT64_C(2147483647), 1},  // the last second of 32 bits
        {INT64_C(2147483648) * 1000000 + 12000, INT64_C(2147483648), 12},
        {INT64_C(4102444800) * 1000000 + 999999, INT64_C(4102444800), 999}};  // 2100-01-01
    for (const auto& r : rows) {
        fakeos::Reset(0);
        fakeos::Advance(r.us);
        GetSystemTime();
        EXPECT_EQ(globalSec, r.sec);
        EXPECT_EQ(globalMsec, r.msec);
    }
}
