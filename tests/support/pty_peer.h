// The far end of a serial line for unit tests: a pseudo-terminal whose master side the test
// holds and plays the modem on. The helper keeps a slave descriptor of its own open, so that the
// code under test can close and reopen the port without the master reading EIO.
#pragma once

#include <string>

class PtyPeer {
public:
    PtyPeer();  // the slave starts raw, so nothing the peer sends is echoed back to it
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

    // Makes <root>/dev/<name> a symlink to the slave. Returns false when that fails.
    bool LinkAt(const std::string& root, const std::string& name) const;

    // Writes bytes (NULs included) as the modem and waits until the port can read them all,
    // so that a read started afterwards is sure to see them (not while a read is under way).
    void Send(const std::string& bytes) const;
    // Reads what the port wrote, up to and including the first CR, waiting at most timeoutMs.
    std::string ReadLine(int timeoutMs = 2000) const;
    // Reads everything the port wrote that has arrived within waitMs.
    std::string Drain(int waitMs = 50) const;
    // Bytes waiting to be read on the port side.
    int Pending() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
