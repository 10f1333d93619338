// The modem's serial ports at the terminal level, and the trace clock.
#pragma once

#include <cstdint>

// A fixed underlying type: a role number from outside (2, say) is a value the open refuses, not
// undefined behaviour.
enum MODEM_PORT_TYPE : int {
    CELL_DATA_PORT = 0,  // "/dev/ttyPSC7": AT set-up, then handed to pppd
    CELL_AUX_PORT = 1    // "/dev/ttyPSC3": status polls while pppd owns the data port
};

// Opens the port of the given role (rooted under $LINKWARDEN_ROOT) with O_RDWR | O_NOCTTY |
// O_NONBLOCK and a one-second read time-out. Returns the descriptor, or -1 after printing
// "\nCFG-OMP: OpenModemPort: Failed to open modem serial port %s.\n".
int OpenModemPort(MODEM_PORT_TYPE type);
// Raw 8N1 at `speed` (a termios B* constant), CREAD | CLOCAL, VMIN 0 / VTIME 10, input flushed,
// O_NONBLOCK cleared. Returns 1 when both the settings and the flags were applied, else 0.
int ConfigModemPort(int fd, unsigned int speed);
// Non-canonical reads with VMIN 0 and VTIME of `seconds` (0 to 24 s; a longer request gives
// 2.5 s, a negative one no wait at all). Other settings are kept. Returns tcsetattr's result
// (-1 also when the settings cannot be read).
int SetCellPortTimeout(int fd, int seconds);
// Discards up to 100 waiting bytes, one read at a time. Returns the last read's result
// (0 quiet line, -1 error, 1 when the limit was reached).
int FlushRxData(int fd);
// One read() of at most size bytes, retried on EINTR. On a port that is still non-blocking,
// "nothing yet" (EAGAIN) gives 0 like a time-out. Returns the byte count, 0, or -1.
int ReadModemPort(int fd, char* buf, int size);
// Writes all len bytes, retrying on EINTR and after partial writes. Returns len, or -1.
int WriteModemPort(int fd, const char* buf, int len);
// Refreshes globalSec and globalMsec from the wall clock.
void GetSystemTime();
// Seconds of a clock as the daemon's int seconds: the low 32 bits, so that from 2038-01-19
// 03:14:08 UTC on they run on from INT_MIN, as an int does.
int LowClockSeconds(int64_t seconds);
// later - earlier for two int seconds readings, taken modulo 2^32 (no signed overflow): the right
// small difference also when the readings lie on either side of that wrap.
int SecondsBetween(int earlier, int later);
