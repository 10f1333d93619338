// Stand-in for chat as pppd's connect script: standard input and output are the modem's data
// port. It dials the cellular data context and waits a bounded time for the modem's CONNECT.
// The script named by -f must exist, as for the real program, but its dialogue is fixed here.
//
// Exit statuses as chat's: 0 connected, 2 bad arguments or script file, 3 time-out or the
// modem refused the call (NO CARRIER, ERROR, BUSY, ...).
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "world.h"

namespace {

const char kDial[] = "ATD*99***3#\r";
const double kTimeoutSeconds = 10.0;
// Answers that end the dial without a connection.
const char* const kAborts[] = {"NO CARRIER", "ERROR", "BUSY", "NO DIALTONE", "NO ANSWER"};

}  // namespace

int main(int argc, char** argv) {
    simppp::LeaveFakeClock(argv);
    std::string root = simppp::SandboxRoot();
    const char* script = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) script = argv[++i];
        else if (strcmp(argv[i], "-v") != 0) script = nullptr, i = argc;
    }
    if (!script || access(script, R_OK) != 0) {
        simppp::Log(root, "pppd.log", "chat", "no readable chat script given");
        return 2;
    }

    simppp::Log(root, "pppd.log", "chat", "send (ATD*99***3#^M)");
    if (write(1, kDial, sizeof kDial - 1) != static_cast<ssize_t>(sizeof kDial - 1)) {
        simppp::Log(root, "pppd.log", "chat", std::string("write failed: ") + strerror(errno));
        return 3;
    }

    // The tail of what the modem said; long enough for any answer split across reads.
    std::string heard;
    double deadline = simppp::MonotonicSeconds() + kTimeoutSeconds;
    for (;;) {
        double left = deadline - simppp::MonotonicSeconds();
        if (left <= 0) break;
        struct pollfd p = {0, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;  // the deadline check above ends the wait
        char buf[256];
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        heard.append(buf, static_cast<size_t>(n));
        if (heard.size() > 512) heard.erase(0, heard.size() - 512);
        if (heard.find("CONNECT") != std::string::npos) {
            simppp::Log(root, "pppd.log", "chat", "got CONNECT");
            return 0;
        }
        for (const char* abort : kAborts) {
            if (heard.find(abort) != std::string::npos) {
                simppp::Log(root, "pppd.log", "chat", std::string("abort on (") + abort + ")");
                return 3;
            }
        }
    }
    simppp::Log(root, "pppd.log", "chat", "alarm: no CONNECT in time");
    return 3;
}
