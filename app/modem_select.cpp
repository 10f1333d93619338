// Placeholder until this module is built.
#include "app/modem_select.h"
int GrabAddrFromStr(char*, char* out, int*) { out[0] = 0; return 0; }
int CheckForModemType() { return 0; }
void ForgetModemType() {}
