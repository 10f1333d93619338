// Placeholder until this module is built.
#include "supervision/watchdog.h"
watchdog_settings_t watchdogSettings = {};
void LoadWatchdogSettings() {}
void ResetWatchdogCounters() {}
int RunWatchdogPass(int, int, int*, char*) { return 0; }
