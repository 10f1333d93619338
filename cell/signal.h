// Signal level: AT+CSQ to dBm and bars, published as two leaves; the periodic status poll.
#pragma once

int ReadSigLevel(int fd, int* dBm, int* csq, char* rxBuf, int* bars);
int WriteLeafSigLevel(int csq, int maxBars, int dBm);
// 1 when the reading was valid or fd is negative (nothing sent), else 0.
int UpdateCellStatus(int fd, char* rxBuf);
