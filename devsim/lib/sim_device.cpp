// The simulator's engine: the thread that serves the ports, the network side and the power
// service, and the device's public face.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "lib/device.h"

namespace devsim {

void SimDevice::Impl::Serve() {
    while (!stopping.load()) {
        struct pollfd fds[4];
        int idx[4];
        int nfds = 0;
        unsigned gen;
        int timeoutMs = 20;
        {
            std::lock_guard<std::mutex> lock(mu);
            gen = generation;
            for (int i = 0; i < 2; i++) {
                if (ports[i].master < 0) continue;
                fds[nfds].fd = ports[i].master;
                fds[nfds].events = POLLIN;
                fds[nfds].revents = 0;
                idx[nfds++] = i;
            }
            if (peer.fd >= 0 && peer.toPort.size() < kRelayMax) {
                fds[nfds] = {peer.fd, POLLIN, 0};
                idx[nfds++] = kPeerSlot;
            }
            if (lineWatch >= 0) {
                fds[nfds] = {lineWatch, POLLIN, 0};
                idx[nfds++] = kWatchSlot;
            }
            if (!peer.toPort.empty() || !peer.toPeer.empty()) timeoutMs = 2;
            int64_t due = NextDueMs();
            if (due >= 0) {
                int64_t wait = due - MonoMs();
                if (wait < timeoutMs) timeoutMs = wait < 0 ? 0 : (int)wait;
            }
        }
        int r = poll(nfds ? fds : nullptr, (nfds_t)nfds, timeoutMs);
        std::lock_guard<std::mutex> lock(mu);
        bool closed = false;
        if (r > 0 && gen == generation) {
            for (int k = 0; k < nfds; k++) {
                if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (idx[k] == kWatchSlot) {
                    closed = LineWatchRead(lineWatch, holders) == 1;
                    continue;
                }
                if (idx[k] != kPeerSlot && !(fds[k].revents & POLLIN)) continue;
                char buf[4096];
                ssize_t n = read(fds[k].fd, buf, sizeof buf);
                if (idx[k] != kPeerSlot) {
                    if (n > 0) Receive(idx[k], buf, (size_t)n);
                } else if (n > 0) {
                    // A silent network sends nothing; in command mode the modem has no
                    // call to deliver to.
                    if (!peer.silent && modem.dataMode) peer.toPort.append(buf, (size_t)n);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    // The network side ended: the call is lost as the network drops it.
                    EndCall(true, MonoMs());
                }
            }
        }
        const int64_t now = MonoMs();
        if (!peer.command.empty()) {
            WatchHangUp(closed, now);
            EscapeDue(now);
            Relay(now);
        }
        AbortDial(now, true);
        Flood();  // first: a flooded port's answers never go out
        SendDue(now);
        PowerServiceTick(power, modem, now, bootMs);
        PowerUp();
    }
}

SimDevice::SimDevice(const std::string& root) : impl_(new Impl) { impl_->root = root; }

SimDevice::~SimDevice() { Stop(); }

bool SimDevice::Start() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.started) return true;
    if (MakeDirs(d.root + "/dev") != 0) {
        fprintf(stderr, "devsim: cannot create %s/dev: %s\n", d.root.c_str(), strerror(errno));
        return false;
    }
    if (!WorldDefaults(d.WorldDir())) {
        fprintf(stderr, "devsim: cannot write %s\n", d.WorldDir().c_str());
        return false;
    }
    if (d.modem.type != MODEM_NONE && d.plugged && !d.OpenPorts()) return false;
    d.started = true;
    d.stopping.store(false);
    d.thread = std::thread([&d] { d.Serve(); });
    return true;
}

void SimDevice::Stop() {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        if (!d.started) return;
        d.stopping.store(true);
    }
    if (d.thread.joinable()) d.thread.join();
    std::lock_guard<std::mutex> lock(d.mu);
    d.ClosePorts();
    PeerReap(d.peer, true);
    PowerServiceStop(d.power);
    d.started = false;
}

std::string SimDevice::Control(const std::string& line) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->Run(line);
}

std::vector<LogEntry> SimDevice::CommandLog() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->log;
}

std::vector<std::string> SimDevice::Commands(int port) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<std::string> out;
    for (const LogEntry& e : impl_->log)
        if (e.port == port) out.push_back(e.line);
    return out;
}

void SimDevice::ClearLog() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->log.clear();
}

void SimDevice::SetDataPeer(const std::string& command) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->peer.command = command;
}

void SimDevice::SetCommandFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->logFile = path;
}

std::string SimDevice::PortPath(int port) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (port < 0 || port > 1) return "";
    return impl_->ports[port].slaveName;
}

}  // namespace devsim
