// A data call: the network side started when the modem says CONNECT and ended with the call,
// the host's hang-up, and the call's bytes relayed both ways.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "lib/device.h"

namespace devsim {

// The modem said CONNECT: the network side of the call starts. When it cannot, the call fails.
void SimDevice::Impl::StartCall(std::string& answer, int64_t nowMs) {
    generation++;
    if (PeerStart(peer, nowMs)) return;
    fprintf(stderr, "devsim: cannot start the network side: %s\n", strerror(errno));
    modem.inCall = false;
    modem.dataMode = false;
    answer = answer.substr(0, answer.rfind("\r\nCONNECT")) + kNoCarrier;
}

// The call is over: the network side goes, the modem is back in command mode.
void SimDevice::Impl::EndCall(bool noCarrier, int64_t nowMs) {
    if (peer.pid > 0) {
        PeerEnd(peer, nowMs);
        generation++;
    }
    const bool was = modem.inCall;
    modem.inCall = false;
    modem.dataMode = false;
    ports[PORT_DATA].plusRun = 0;
    if (was && noCarrier) Queue(PORT_DATA, kNoCarrier, nowMs, false);
}

// A UART drops what nobody holds the port for; a pseudo-terminal would keep it for the next
// program that opens the port (leftover PPP frames, a stale "NO CARRIER" in chat's way).
void SimDevice::Impl::ClearDataLine() {
    Port& p = ports[PORT_DATA];
    p.out.clear();
    p.line.clear();
    p.plusRun = 0;
    if (p.slave >= 0) tcflush(p.slave, TCIOFLUSH);
    if (p.master >= 0) {
        tcflush(p.master, TCIOFLUSH);
        char buf[512];
        while (read(p.master, buf, sizeof buf) > 0) {
        }
    }
}

// The host hangs up as pppd does on the box: it closes the port (DTR drops with the last close)
// or sets its line speed to 0. What the modem makes of it is its AT&D setting.
void SimDevice::Impl::WatchHangUp(bool closed, int64_t nowMs) {
    Port& p = ports[PORT_DATA];
    bool speedZero = false;
    struct termios t;
    if (modem.inCall && p.slave >= 0 && tcgetattr(p.slave, &t) == 0) speedZero = cfgetospeed(&t) == B0;
    if ((closed || speedZero) && modem.dtr == 2) {
        EndCall(false, nowMs);
        modem.dialHeldUntilMs = -1;  // a dial still waiting is called off with it
        ClearDataLine();
    }
    if ((closed || speedZero) && modem.dtr == 1 && modem.dataMode) {
        modem.dataMode = false;
        ClearDataLine();
    }
    // A modem that ignores DTR keeps the call: the network's bytes meet a port nobody holds.
    if (modem.dtr == 0 && holders == 0 && modem.dataMode) {
        peer.toPort.clear();
        if (p.slave >= 0) tcflush(p.slave, TCIFLUSH);
    }
    // The last close of a serial port gives it back its plain line discipline. The simulator's
    // own hold on the slave keeps that close from being the last, so a pppd killed outright would
    // leave its PPP discipline behind, and every write of the next chat would be refused.
    int plain = N_TTY;
    if (closed && p.slave >= 0) ioctl(p.slave, TIOCSETD, &plain);
}

// Moves the call's bytes between the data port and the network side.
void SimDevice::Impl::Relay(int64_t nowMs) {
    Port& p = ports[PORT_DATA];
    if (peer.pid > 0 && !modem.inCall) {  // hung up by ATH, power, unplug or the network
        PeerEnd(peer, nowMs);
        generation++;
    }
    // A silent network takes nothing either: the box's farewells (LCP terminate) never arrive.
    if (peer.silent) peer.toPeer.clear();
    if (peer.fd >= 0 && !peer.toPeer.empty()) {
        ssize_t w = write(peer.fd, peer.toPeer.data(), peer.toPeer.size());
        if (w > 0) peer.toPeer.erase(0, (size_t)w);
    }
    // The network's bytes follow the modem's own answers (CONNECT first).
    if (!peer.toPort.empty() && p.out.empty() && p.master >= 0) {
        ssize_t w = write(p.master, peer.toPort.data(), peer.toPort.size());
        if (w > 0) peer.toPort.erase(0, (size_t)w);
    }
    PeerPings(peer, nowMs);
    PeerReap(peer, false);
}

// A held dial ends: the modem gives up on the network (dueOnly) or the host breaks it off with a
// byte; either way NO CARRIER, and no call. A slow network's answer comes at that time instead.
void SimDevice::Impl::AbortDial(int64_t nowMs, bool dueOnly) {
    if (modem.dialHeldUntilMs < 0 || (dueOnly && nowMs < modem.dialHeldUntilMs)) return;
    modem.dialHeldUntilMs = -1;
    if (dueOnly && modem.dialAnsweredLate) {
        modem.inCall = modem.dataMode = true;
        std::string answer = "\r\nCONNECT 100000000\r\n";
        if (!peer.command.empty()) StartCall(answer, nowMs);
        Queue(PORT_DATA, answer, nowMs, true);
        return;
    }
    Queue(PORT_DATA, kNoCarrier, nowMs, true);
}

}  // namespace devsim
