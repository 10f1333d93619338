// Placeholder until this module is built.
#include "configure/analog.h"
int SendModemCmd(int) { return 0; }
int ReadFromModem(int, unsigned int, char*, int*, short) { return 4; }
