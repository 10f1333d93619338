// Placeholder until this module is built.
#include "serial/at_exchange.h"
int SendCellModemCmd(int, const char*, int, char* rxBuf, int, int, const char*, int) { rxBuf[0] = 0; return 0; }
