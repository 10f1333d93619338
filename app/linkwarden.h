// The daemon's start, from the banner to the exit banner or the never-ending supervision.
#pragma once

// Runs one start with the process's arguments and returns the exit status main returns: 0 on
// every path that returns. Status 2 (a LINKWARDEN_ROOT that could not be used), and the statuses
// of the configuration and the supervision, end the process through OsExit instead.
int RunLinkwarden(int argc, char** argv);
