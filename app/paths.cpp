// Placeholder until this module is built.
#include "app/paths.h"
int CheckLinkwardenRoot() { return 1; }
const char* RootedPath(const char* path, char* out, size_t size) { (void)path; (void)size; out[0] = 0; return out; }
