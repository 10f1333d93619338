// The command line: whitelist addresses, the extra hardware reset and the debug switch.
#pragma once

#include "base/globals.h"

// Presets the WHITELIST_ENTRIES entries (empty ip, mask "255.255.255.255"), then examines every
// argument in order, argv[0] included, by substring: "-ip" fills the next entry from the same
// argument (further ones once all six are taken are ignored); otherwise "-reset" requests one
// hardware reset and sleeps 2 s; and "-vexdebug" or "-vd" sets vexDebug from that argument on.
void ReadCommandLine(int argc, char** argv, whitelist_t* whitelist);
