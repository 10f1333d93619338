// The command line of main, kept apart from it so that the whole argument loop can be driven with
// any argument vector.
#include "app/command_line.h"

#include <stdio.h>
#include <string.h>

#include "app/hw_reset.h"
#include "app/modem_select.h"
#include "base/os_seam.h"

void ReadCommandLine(int argc, char** argv, whitelist_t* whitelist) {
    int ipCount = 0;
    for (int i = 0; i < WHITELIST_ENTRIES; i++) {
        whitelist[i].ip[0] = '\0';
        snprintf(whitelist[i].mask, sizeof whitelist[i].mask, "%s", "255.255.255.255");
    }

    for (int i = 0; i < argc; i++) {
        char* arg = argv[i];
        if (strstr(arg, "-ip")) {
            // The list has six entries; later "-ip" arguments have nowhere to go.
            if (ipCount < WHITELIST_ENTRIES) {
                whitelist_t& entry = whitelist[ipCount];
                int pos = 0;
                GrabAddrFromStr(arg, entry.ip, &pos);
                GrabAddrFromStr(arg + pos, entry.mask, &pos);
                printf("\nCFG-MAIN: %d) grabbed IP: \"%s\"  Mask: \"%s\" ", ipCount, entry.ip,
                       entry.mask);
                ipCount++;
            }
        } else if (strstr(arg, "-reset")) {
            printf("\n\n-----------------------------------  ");
            fflush(stdout);
            printf("\nCFG-MAIN: Toggling HW reset pin... ");
            fflush(stdout);
            printf("\n-----------------------------------  ");
            fflush(stdout);
            RequestHwReset();
            OsSleep(2);
        }
        if (strstr(arg, "-vexdebug") || strstr(arg, "-vd")) vexDebug = 1;
    }
}
