// Running on a PC: every absolute path the daemon opens, removes, runs or writes into a shell
// command line is put under $LINKWARDEN_ROOT when that is set and not empty. Programs found
// through PATH (rm, fping) are not rooted. On the target nothing is set and paths stay as they are.
#pragma once

#include <cstddef>

// Room for any rooted path: the root is limited to LINKWARDEN_ROOT_MAX characters.
enum { LINKWARDEN_ROOT_MAX = 120, ROOTED_PATH_MAX = 256 };

// Checks $LINKWARDEN_ROOT once: unset or empty is fine; otherwise it must be an absolute path of
// at most LINKWARDEN_ROOT_MAX characters from [A-Za-z0-9/._-] (it reaches shell command lines).
// Returns 1 when usable, 0 (after printing why) when not.
int CheckLinkwardenRoot();

// Writes the rooted form of the absolute path `path` into out (size bytes) and returns out.
// A result that would not fit gives the empty text.
const char* RootedPath(const char* path, char* out, size_t size);
