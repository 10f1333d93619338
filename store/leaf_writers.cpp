// Placeholder until this module is built.
#include "store/leaf_writers.h"
int WriteBoolLeaf(bool, std::string) { return 1; }
int WriteIntLeaf(int, std::string) { return 1; }
void WriteTextLeaf(const std::string&, const std::string&) {}
int ReadPPP1IpAddrFromCds() { return 0; }
