// Finds the cellular modem's current line speed and moves it (and the host port) to `rate`.
#pragma once

// Probes 57600, 115200, 57600, 115200, 9600, 2400, 1200 bps with "AT"; then "AT+IPR=<rate>",
// the host port to 115200 (rate 115200) or 57600, and "AT&W". OK when found and AT+IPR was
// answered OK.
int SetCellBaud(int fd, int rate, char* rxBuf);
