// Identity queries of the cellular modem: IMEI, SIM ID and firmware version, each published.
#pragma once

// Output buffers hold at least 40 bytes.
int ReadImei(int fd, char* imei, char* rxBuf);
int ReadSimId(int fd, char* simId, char* rxBuf);
int ReadFwVersion(int fd, char* fwVersion, char* rxBuf);
