// Process-wide state of linkwarden: result codes, modem type codes, the whitelist record and the
// globals that are set up before main runs. Everything here is shared by all six subsystems.
#pragma once

#include <cstdint>
#include <string>

#include "cds.h"

// Result codes of the daemon's operations.
enum { NOT_OK = 0, OK = 1 };

// Modem type codes, as CheckForModemType gives them. Every code above 1 is a cellular kind;
// 2 and 3 are never produced.
enum {
    MODEM_NONE = 0,
    MODEM_ANALOG = 1,
    MODEM_CELL_GSM = 4,
    MODEM_CELL_VERIZON = 5,
    MODEM_CELL_SPRINT = 6
};

// One whitelist entry from an "-ip" argument. An empty ip means the entry holds no address.
struct whitelist_t {
    char ip[20];
    char mask[20];
};
enum { WHITELIST_ENTRIES = 6 };

// The receive buffer handed to every modem exchange: 2000 received bytes and a terminator.
enum { RX_BUF_SIZE = 2001 };

// Opens /dev/null on each of the descriptors 0 to 2 that is not open, and returns how many it
// opened. Run by static initialisation before the store connection opens: a supervisor that
// starts the daemon with standard input closed would otherwise hand descriptor 0 to the first
// port the daemon opens, which the configuration sequence reads as "port closed".
int OpenStandardDescriptors();

// The store connection, opened by static initialisation (handle 0 when that failed).
extern toolkit::CCds api;
// The shared single-leaf read: callers set leafpath, then get_leaf(leafpath, retCode, value,
// property).
extern std::string leafpath;
extern toolkit::CElement value;
extern element_property_t property;
extern api_status_t retCode;

// The trace clock, refreshed by GetSystemTime.
extern int64_t globalSec;
extern int globalMsec;

// Dotted text of the ppp1 address, empty until the first successful read.
extern char ppp1IpAddr[20];

// Non-zero: print the verbose trace.
extern int vexDebug;

extern const char* buildDate;
extern const char* buildTime;
