// The AT command exchange: one command, a fixed wait, one read, an echo-and-text match, one retry.
#pragma once

// Sends cmd followed by CR and, when waitForResp is 1, checks the single read that follows
// respDelayUs + 100000 µs later: OK when it returned at least minRespLen bytes holding "AT" (the
// echo) and expectedResp (or expectedResp is null). rxBuf (RX_BUF_SIZE bytes, caller's) holds the
// last attempt's bytes, terminated. Returns OK or NOT_OK after at most two attempts. A command
// longer than 199 characters is cut to 199.
int SendCellModemCmd(int fd, const char* cmd, int minRespLen, char* rxBuf, int waitForResp,
                     int respDelayUs, const char* expectedResp, int reportFailures);
