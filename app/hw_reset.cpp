// Placeholder until this module is built.
#include "app/hw_reset.h"
int RequestHwReset() { return 1; }
int SetCellModemPower(int) { return 0; }
void ForgetLastPowerRequest() {}
