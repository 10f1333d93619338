// Reading whitelist addresses out of "-ip" arguments, and finding the fitted modem from the
// option leaves that the device's installer sets.
#include "app/modem_select.h"

#include <stdio.h>

#include "base/globals.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"

namespace {

enum { ADDR_SKIP_MAX = 10, ADDR_COPY_MAX = 15 };

const int NOT_REMEMBERED = -1;
int rememberedType = NOT_REMEMBERED;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An option leaf that could not be read (no store yet, a missing or garbled leaf) counts as not
// set, and marks the detection as failed: a "none" found that way is then not remembered, so that
// the next caller asks a store that may answer by then instead of living with "none" for ever.
bool ReadOption(const char* path, bool* failed) {
    toolkit::CElement element;
    api_status_t status = LEAF_DONE;
    if (api.get_leaf(path, status, element, property) != 0 || status != LEAF_DONE) {
        *failed = true;
        return false;
    }
    return element.to_bool();
}

}  // namespace

// "-ip10.1.2.3,255.255.0.0" -> skip "-ip", copy "10.1.2.3", stop before ","; the caller's next
// call starts at the "," and skips it. The separator is left for that skip so both calls share
// one counter.
int GrabAddrFromStr(char* text, char* out, int* pos) {
    int skipped = 0;
    while (skipped < ADDR_SKIP_MAX && text[skipped] != '\0' && !IsDigit(text[skipped])) skipped++;

    const char* p = text + skipped;
    int copied = 0;
    int accepted = 1;
    while (copied < ADDR_COPY_MAX) {
        char c = p[copied];
        if (c == '\0' || c == ',' || c == ' ') break;
        if (!IsDigit(c) && c != '.') {
            if (vexDebug) {
                // The field holds copied characters only when something was copied.
                printf("\nCFG-GAD: Invalid addr, *ptr: '%c', addr: \"%s\" -> clear it", c,
                       copied > 0 ? out : "");
            }
            out[0] = '\0';
            accepted = 0;
            break;
        }
        out[copied] = c;
        out[copied + 1] = '\0';
        copied++;
    }
    *pos += skipped + copied;
    return accepted;
}

int CheckForModemType() {
    fflush(stdout);
    if (rememberedType != NOT_REMEMBERED) return rememberedType;

    if (vexDebug) printf("\n\nCFG-CFM: test CDS leaf for installed analog modem... ");
    bool failed = false;
    if (ReadOption(LEAF_OPTION_ANALOG, &failed)) {
        if (vexDebug) printf("\nCFG-CFM: Analog modem leaf set ");
        // Not remembered: every later caller re-reads the option and re-marks the leaf.
        WriteBoolLeaf(true, LEAF_ANALOG_CONFIGURED);
        fflush(stdout);
        return MODEM_ANALOG;
    }
    if (vexDebug) printf("\nCFG-CFM: No Analog modem leaf set ");

    int type = MODEM_NONE;
    if (ReadOption(LEAF_OPTION_CELL_GSM, &failed)) {
        if (vexDebug) printf("\n\nCFG-CFM: GSM cell modem leaf set ");
        fflush(stdout);
        type = MODEM_CELL_GSM;
    } else if (ReadOption(LEAF_OPTION_CELL_SPRINT, &failed)) {
        if (vexDebug) printf("\n\nCFG-CFM: Cell Sprint flag leaf set");
        fflush(stdout);
        type = MODEM_CELL_SPRINT;
    } else if (ReadOption(LEAF_OPTION_CELL_VERIZON, &failed)) {
        if (vexDebug) printf("\n\nCFG-CFM: Cell Verizon flag set");
        type = MODEM_CELL_VERIZON;
    } else if (ReadOption(LEAF_OPTION_CELL_VERISON, &failed)) {
        // Some devices carry the option under this misspelt name; it is the same modem.
        if (vexDebug) printf("\n\nCFG-CFM: Cell VeriSon flag set **** BAD SPELLING! ****");
        type = MODEM_CELL_VERIZON;
    }
    if (type != MODEM_NONE || !failed) rememberedType = type;
    fflush(stdout);
    return type;
}

void ForgetModemType() { rememberedType = NOT_REMEMBERED; }
