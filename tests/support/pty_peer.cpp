#include "pty_peer.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

PtyPeer::PtyPeer() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = name;
    struct termios tio;
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
    }
}

PtyPeer::~PtyPeer() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool PtyPeer::LinkAt(const std::string& root, const std::string& name) const {
    std::string dir = root + "/dev";
    mkdir(dir.c_str(), 0755);
    std::string link = dir + "/" + name;
    unlink(link.c_str());
    return symlink(slavePath_.c_str(), link.c_str()) == 0;
}

int PtyPeer::Pending() const {
    int n = 0;
    if (ioctl(slave_, TIOCINQ, &n) != 0) return -1;
    return n;
}

void PtyPeer::Send(const std::string& bytes) const {
    int target = Pending() + static_cast<int>(bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
    // The kernel hands master writes to the slave's input asynchronously; wait for them
    // (generously: this is a bound for a loaded machine, not a measured time).
    for (int i = 0; i < 5000 && Pending() < target; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

static std::string ReadMaster(int fd, int timeoutMs, bool stopAtCr) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left < 0) left = 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || !(p.revents & POLLIN)) break;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) break;
        got.push_back(c);
        if (stopAtCr && c == '\r') break;
    }
    return got;
}

std::string PtyPeer::ReadLine(int timeoutMs) const { return ReadMaster(master_, timeoutMs, true); }

std::string PtyPeer::Drain(int waitMs) const { return ReadMaster(master_, waitMs, false); }
