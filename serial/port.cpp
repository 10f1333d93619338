// Placeholder until this module is built.
#include "serial/port.h"
int OpenModemPort(MODEM_PORT_TYPE) { return -1; }
int ConfigModemPort(int, unsigned int) { return 0; }
int SetCellPortTimeout(int, int) { return -1; }
int FlushRxData(int) { return -1; }
void GetSystemTime() {}
