// One start of the daemon: the start-up clean-up, the command line, the store connection check,
// modem detection and reset, and the configuration run that hands a cellular modem to the
// supervisor. Kept out of main so that the whole start can run on a test's clock.
#include "app/linkwarden.h"

#include <stdio.h>
#include <string.h>

#include "base/globals.h"
#include "app/command_line.h"
#include "app/hw_reset.h"
#include "app/modem_select.h"
#include "base/os_seam.h"
#include "base/paths.h"
#include "configure/configure_modem.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"
#include "supervision/supervisor.h"

namespace {

enum {
    START_DATA_RATE = 115200,
    PING_RESPONSE_MODE = 2,
    RULE_MAX = 128,
    COMMAND_MAX = 2 * ROOTED_PATH_MAX
};

// Prints lead followed by count copies of c; puts (which adds a newline) where the trace uses it.
void Rule(const char* lead, char c, int count, bool viaPuts) {
    char line[RULE_MAX];
    size_t len = strlen(lead);
    if (len + static_cast<size_t>(count) >= sizeof line) return;
    memcpy(line, lead, len);
    memset(line + len, c, static_cast<size_t>(count));
    line[len + count] = '\0';
    if (viaPuts) {
        puts(line);
    } else {
        printf("%s", line);
    }
}

void ExitBanner() {
    fflush(stdout);
    Rule("\n\n", '-', 29, false);
    printf("\n CFG-MAIN: EXIT linkwarden ");
    Rule("\n", '-', 30, true);
    fflush(stdout);
}

}  // namespace

int RunLinkwarden(int argc, char** argv) {
    // On a PC the root reaches shell command lines; refuse one that could break them.
    if (!CheckLinkwardenRoot()) OsExit(2);

    int portFd = -1;
    char rxBuf[RX_BUF_SIZE];
    char command[COMMAND_MAX];
    char rooted[ROOTED_PATH_MAX];
    whitelist_t whitelist[WHITELIST_ENTRIES];
    rxBuf[0] = '\0';

    printf("\n\n\n=========================== linkwarden Built: %s %s "
           "============================================",
           buildDate, buildTime);
    printf("\nCFG-MAIN: Start main, command line (or default) data rate: %d bps", START_DATA_RATE);
    fflush(stdout);

    // The old firmware-version file. The doubled slash after "jffs/" is how the command has always
    // been built (folder plus an absolute file name); rm does not mind, and the trace shows it.
    snprintf(command, sizeof command, "exec rm -rf %s%s", RootedPath("/jffs/", rooted, sizeof rooted),
             "/home/verizon/fota/verizonCellVer.txt");
    printf("\nCFG-MAIN: Remove any old version file, system command: '%s'  ", command);
    fflush(stdout);
    OsSystem(command);
    snprintf(command, sizeof command, "exec rm %s", RootedPath("/tmp/cell_pipe", rooted, sizeof rooted));
    printf("\nCFG-MAIN: Remove any old pipe, sys command: '%s'  ", command);
    fflush(stdout);
    OsSystem(command);

    ReadCommandLine(argc, argv, whitelist);

    Rule("\n", '=', 103, false);
    fflush(stdout);

    if (api.handle() == 0) {
        api.set_handle(pcd_init());
        if (api.handle() == 0) {
            printf("\nlinkWarden: initialize CDS connection. ");
            return 0;
        }
    }

    printf("\nCFG-MAIN: Initially set analog and cell modem configured value leaves to FALSE and "
           "installed modem type to none ");
    WriteBoolLeaf(false, LEAF_ANALOG_CONFIGURED);
    WriteBoolLeaf(false, LEAF_CELL_CONFIGURED);

    printf("\n\nCFG-MAIN: Determine any installed modem type ");
    int modemType = CheckForModemType();
    if (modemType == MODEM_ANALOG) {
        Rule("\n\n", '=', 61, false);
        printf("\n\nCFG-MAIN: Analog modem is installed. ");
        Rule("\n", '=', 61, true);
        WriteBoolLeaf(true, LEAF_ANALOG_CONFIGURED);
    } else if (modemType > MODEM_ANALOG) {
        Rule("\n\n", '=', 61, false);
        printf("\n  CFG-MAIN: Cell modem is installed: type: %d. ", modemType);
        Rule("\n", '=', 61, true);
        fflush(stdout);
    } else {
        Rule("\n\n", '=', 56, false);
        printf("\n  CFG-MAIN: NO modem is installed, exit linkwarden. ");
        Rule("\n", '=', 56, false);
        ExitBanner();
        return 0;
    }

    fflush(stdout);
    RequestHwReset();
    OsSleep(2);

    leafpath = modemType == MODEM_ANALOG ? LEAF_ANALOG_BAUD_RATE : LEAF_CELL_BAUD_RATE;
    api.get_leaf(leafpath, retCode, value, property);
    int baudIndex = value.to_int();

    if (modemType == MODEM_ANALOG) OsSleep(3);

    int result = ConfigureModem(baudIndex, modemType, &portFd, rxBuf, START_DATA_RATE,
                                PING_RESPONSE_MODE);
    printf("\nCFG-MAIN: ConfigureModem retval: %d", result);

    if (result == OK && modemType > MODEM_ANALOG) {
        WriteBoolLeaf(true, LEAF_CELL_CONFIGURED);
        printf("\n\n-------------------------------------- ");
        printf("\n CFG-MAIN: ConfigureModem says OK ");
        Rule("\n", '-', 40, true);
        HandleCellModem(&portFd, rxBuf);
    }
    if (result == OK) {
        // One word: a different leaf from the "AnalogModem/Configured" one that detection sets.
        WriteBoolLeaf(true, LEAF_ANALOG_MODEM_CONFIGURED);
        printf("\nCFG-MAIN: Analog modem configured OK, start binary communication over Modem. ");
        ExitBanner();
        return 0;
    }
    Rule("\n\n", '*', 38, false);
    printf("\n CFG-MAIN: ConfigureModem FAILED, Exit ");
    Rule("\n", '*', 41, true);
    ExitBanner();
    return 0;
}
