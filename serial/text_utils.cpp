// Placeholder until this module is built.
#include "serial/text_utils.h"
int YankStrNumbers(char*, char* d, int) { d[0] = 0; return 0; }
int StrToVersion(char*) { return 0; }
