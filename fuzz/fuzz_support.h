// What the fuzz targets share: a quiet standard output, a store on a memory file system, the
// input cut into pieces, and a modem that answers each exchange with the next piece.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/globals.h"
#include "fake_os.h"
#include "temp_store.h"

namespace fuzz {

// Pieces of one input are separated by this byte; a modem answer therefore never holds it.
const uint8_t PIECE_SEPARATOR = 0xFF;
// A piece that starts with this byte is no answer: the command write of that exchange fails.
const uint8_t WRITE_FAILS = 0xFE;

inline std::vector<std::string> SplitPieces(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == PIECE_SEPARATOR) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    return pieces;
}

// The daemon's trace is formatted as always but thrown away: a million runs would fill the disk,
// and libFuzzer reports on standard error.
inline void QuietStdout() {
    if (!freopen("/dev/null", "w", stdout)) abort();
}

// The store and the root folder of a target, made once and kept for the whole run: the test
// suite's own, on a memory file system, removed at exit (after a fault, the runner removes them
// by the fuzzer's pid).
inline std::string Store() {
    static TempStore store;
    if (api.handle() == 0) abort();
    return store.dir();
}
inline std::string Root() {
    static TempRoot root;
    return root.dir();
}

// Writes bytes as the file of a leaf (the folders must exist).
inline void PutLeafFile(const std::string& store, const char* path, const std::string& bytes) {
    FILE* f = fopen((store + path).c_str(), "wb");
    if (!f) abort();
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// The far end of the daemon's modem port: a non-blocking socket pair whose daemon side stands
// for the port. Each command the daemon writes is answered with the next piece, delivered at the
// sleep that follows the write (the exchange's wait before it reads), so one read gets one
// answer and a retried command gets the next one. A WRITE_FAILS piece instead fills the port's
// send buffer before the next write, which then fails; the port is emptied at the next sleep.
// When the pieces run out, or at an empty piece, the modem end is shut: every later read
// returns at once with nothing.
class PieceModem {
public:
    explicit PieceModem(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv_) != 0) abort();
        fcntl(sv_[0], F_SETFL, O_NONBLOCK);
        fcntl(sv_[1], F_SETFL, O_NONBLOCK);
        int small = 1;  // the least the kernel allows: a jam then costs a few writes
        setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        JamIfNext();
        fakeos::onSleep = [this](int64_t) { OnSleep(); };
    }
    ~PieceModem() {
        fakeos::onSleep = nullptr;
        close(sv_[0]);
        close(sv_[1]);
    }
    int port() const { return sv_[0]; }
    // True once every piece has been used (or an empty one ended the conversation).
    bool done() const { return shut_ || next_ >= pieces_.size(); }
    // Answers now, as if a command had just been heard: for a read that follows no write.
    void AnswerNow() { OnSleep(true, true); }

private:
    void OnSleep(bool heard = false, bool forced = false) {
        char buf[4096];
        for (;;) {
            ssize_t n = read(sv_[1], buf, sizeof buf);
            if (n <= 0) break;
            heard = true;
        }
        if (jammed_) {  // what was read is the filler; the daemon's write failed
            jammed_ = false;
            if (!forced) return;
        }
        if (!heard || shut_) return;
        if (next_ >= pieces_.size() || pieces_[next_].empty()) {
            Shut();
            return;
        }
        const std::string& answer = pieces_[next_++];
        if (write(sv_[1], answer.data(), answer.size()) < 0) Shut();
        JamIfNext();
    }
    void JamIfNext() {
        if (next_ >= pieces_.size() || pieces_[next_].empty()) return;
        if (static_cast<uint8_t>(pieces_[next_][0]) != WRITE_FAILS) return;
        next_++;
        static const char filler[512] = {};
        while (write(sv_[0], filler, sizeof filler) > 0) {
        }
        while (write(sv_[0], filler, 1) > 0) {
        }
        jammed_ = true;
    }
    void Shut() {
        shutdown(sv_[1], SHUT_WR);
        shut_ = true;
    }

    std::vector<std::string> pieces_;
    size_t next_ = 0;
    int sv_[2];
    bool jammed_ = false;
    bool shut_ = false;
};

}  // namespace fuzz
