// The modem's serial ports at the terminal level: opening by role, raw 8N1 line settings, the
// read time-out every later read relies on, draining waiting input, and the trace clock.
#include "serial/port.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <termios.h>

#include "base/globals.h"
#include "base/os_seam.h"
#include "base/paths.h"

// FlushRxData throws away at most this many bytes per call, one read each.
enum { FLUSH_READ_LIMIT = 100 };

// VTIME counts tenths of a second in one byte; 24 s is the longest time-out we ask for.
enum { PORT_TIMEOUT_MAX_S = 24, PORT_TIMEOUT_OVER_MAX = 25 };

static const char kOpenFailedFmt[] = "\nCFG-OMP: OpenModemPort: Failed to open modem serial port %s.\n";

int OpenModemPort(MODEM_PORT_TYPE type) {
    const char* device;
    const char* label;
    switch (type) {
        case CELL_DATA_PORT:
            device = "/dev/ttyPSC7";
            label = "PSC7";
            break;
        case CELL_AUX_PORT:
            device = "/dev/ttyPSC3";
            label = "PSC3";
            break;
        default:
            // An unknown role is reported under the aux port's label; nothing is opened.
            printf(kOpenFailedFmt, "PSC3");
            return -1;
    }

    char path[ROOTED_PATH_MAX];
    RootedPath(device, path, sizeof path);
    // Non-blocking so that an open never waits on modem control lines; ConfigModemPort clears it.
    // Close-on-exec: pppd and fping, started through the shell, must not hold the port.
    int fd = OsOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        printf(kOpenFailedFmt, label);
        return -1;
    }
    SetCellPortTimeout(fd, 1);
    return fd;
}

int ConfigModemPort(int fd, unsigned int speed) {
    // Built from nothing rather than from the port's current settings, so that whatever a
    // previous user (pppd, a console) left behind cannot leak into the AT dialogue.
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 10;
    cfsetispeed(&tio, static_cast<speed_t>(speed));
    cfsetospeed(&tio, static_cast<speed_t>(speed));

    OsTcflush(fd, TCIFLUSH);
    int setOk = OsTcsetattr(fd, TCSANOW, &tio) == 0;
    int flagsOk = OsFcntl(fd, F_SETFL, 0) == 0;
    return (setOk && flagsOk) ? OK : NOT_OK;
}

int SetCellPortTimeout(int fd, int seconds) {
    struct termios tio;
    if (OsTcgetattr(fd, &tio) != 0) return -1;
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    int tenths;
    if (seconds < 0) {
        tenths = 0;  // no waiting at all: a read returns what is there
    } else if (seconds <= PORT_TIMEOUT_MAX_S) {
        tenths = seconds * 10;
    } else {
        // Anything longer falls back to 2.5 s rather than a long stall on a dead line.
        tenths = PORT_TIMEOUT_OVER_MAX;
    }
    tio.c_cc[VTIME] = static_cast<cc_t>(tenths);
    tio.c_cc[VMIN] = 0;
    return OsTcsetattr(fd, TCSANOW, &tio);
}

int ReadModemPort(int fd, char* buf, int size) {
    if (size <= 0) return 0;
    for (;;) {
        ssize_t n = OsRead(fd, buf, static_cast<size_t>(size));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        // Still non-blocking (opened, not yet configured): nothing has arrived yet.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

int WriteModemPort(int fd, const char* buf, int len) {
    int done = 0;
    while (done < len) {
        ssize_t n = OsWrite(fd, buf + done, static_cast<size_t>(len - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return -1;
        done += static_cast<int>(n);
    }
    return done;
}

int FlushRxData(int fd) {
    SetCellPortTimeout(fd, 1);
    int result = 0;
    char byte;
    for (int i = 0; i < FLUSH_READ_LIMIT; i++) {
        result = ReadModemPort(fd, &byte, 1);
        if (result <= 0) break;
    }
    return result;
}

void GetSystemTime() {
    struct timeval tv;
    if (OsGettimeofday(&tv) != 0) return;
    globalSec = static_cast<int64_t>(tv.tv_sec);
    globalMsec = static_cast<int>(tv.tv_usec / 1000);
}

int LowClockSeconds(int64_t seconds) {
    return static_cast<int>(static_cast<uint32_t>(seconds));
}

int SecondsBetween(int earlier, int later) {
    return static_cast<int>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
}
