// The modem's serial ports at the terminal level, and the trace clock.
#pragma once

enum MODEM_PORT_TYPE {
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
// Non-canonical reads with VMIN 0 and VTIME of `seconds` (at most 2.5 s). Returns tcsetattr's result.
int SetCellPortTimeout(int fd, int seconds);
// Discards up to 100 waiting bytes, one read at a time. Returns the last read's result
// (0 quiet line, -1 error, 1 when the limit was reached).
int FlushRxData(int fd);
// Refreshes globalSec and globalMsec from the wall clock.
void GetSystemTime();
