// The link watchdog: pppd restart, aux-port status poll, refresh period, auto-ping.
#pragma once

struct watchdog_settings_t {
    int connRefreshInterval;  // seconds; 0: no refresh
    int autoPingInterval;     // seconds; 0 or less: no auto-ping
    int autoPingRetries;
    int autoPingTimeout;      // milliseconds
    char autoPingIp[20];
};

extern watchdog_settings_t watchdogSettings;

// Reads the refresh and auto-ping settings from the store, once per process.
void LoadWatchdogSettings();
// Sets every counter and accumulator to 0.
void ResetWatchdogCounters();
// One pass. Returns 1 when the state machine is to go to state 0 (the stored descriptor was 0 at
// an aux-port poll), else 0; or ends the process.
int RunWatchdogPass(int elapsed, int now, int* portFd, char* rxBuf);
