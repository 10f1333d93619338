// Placeholder until this module is built.
#include "cell/signal.h"
int ReadSigLevel(int, int* d, int* c, char*, int* b) { *d = -9999; *c = 0; *b = 0; return 0; }
int WriteLeafSigLevel(int, int, int) { return 0; }
int UpdateCellStatus(int, char*) { return 1; }
