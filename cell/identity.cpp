// Placeholder until this module is built.
#include "cell/identity.h"
int ReadImei(int, char* o, char*) { o[0] = 0; return 0; }
int ReadSimId(int, char* o, char*) { o[0] = 0; return 0; }
int ReadFwVersion(int, char*, char*) { return 0; }
