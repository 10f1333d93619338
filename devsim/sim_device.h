// The device simulator: the world outside linkwarden on a PC. A simulated cellular or analog
// modem behind two pseudo-terminals linked at <root>/dev/ttyPSC7 (data) and <root>/dev/ttyPSC3
// (aux), driven by a small text control language. The same engine runs in-process in unit tests
// (on a background thread) and as the linkwarden-devsim program.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace devsim {

// One command line the modem received (without its CR).
struct LogEntry {
    double time;        // seconds since the epoch (real clock), when the CR arrived
    int port;           // 0 data port, 1 aux port
    std::string line;   // the command text as received
};

class SimDevice {
public:
    // root: the sandbox folder; <root>/dev is created if missing.
    explicit SimDevice(const std::string& root);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Creates the pseudo-terminals and links and starts serving on a background thread.
    // Returns false (with a message on stderr) when the terminals cannot be set up.
    bool Start();
    // Stops the thread; the links are removed.
    void Stop();

    // Runs one line of the control language (see --help of linkwarden-devsim) and returns its
    // answer: "ok", "error: ..." or the requested text. Thread-safe.
    std::string Control(const std::string& line);

    // Every command received so far, in order. Thread-safe.
    std::vector<LogEntry> CommandLog() const;
    // Only the command texts, for compact assertions.
    std::vector<std::string> Commands(int port = 0) const;
    void ClearLog();

    // A call the modem connects on the data port starts `/bin/sh -c command` with its standard
    // input and output as the network side: the call's bytes pass between it and the port
    // untouched, and a host that closes the port or sets its line speed to 0 hangs up. Empty
    // (the default): no network side; the PPP stand-ins play it. Set before Start.
    void SetDataPeer(const std::string& command);
    // Also appends each received command, as a "<time> <port> <command>" line, to this file
    // (empty: no file). The program uses it for its commands.log.
    void SetCommandFile(const std::string& path);
    // The pseudo-terminal path behind port 0 (data) or 1 (aux); empty while there is none.
    std::string PortPath(int port) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace devsim
