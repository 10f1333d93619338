// Set-up of the analog modem: four Hayes commands, each reply read and compared.
#pragma once

// 1 when all four commands were written and each read gave 6, else 0.
int SendModemCmd(int fd);
// Reads up to 300 bytes. 6: at least `minimum` bytes (count stored); 5: nothing arrived;
// 13: fewer than `minimum`; 4: terminal settings or read failed.
int ReadFromModem(int fd, unsigned int timeout, char* buffer, int* count, short minimum);
