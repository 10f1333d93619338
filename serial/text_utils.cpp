// Pure text-to-value helpers for modem answers: the first number in a reply, and a firmware
// version text packed into one integer. In place, no allocation, no state.
#include "serial/text_utils.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "base/globals.h"

enum {
    YANK_WINDOW = 200,      // only the first 200 characters of an answer are searched
    VERSION_FIELDS = 3,
    VERSION_FIELD_MAX = 4,  // "20.00.524": no field is longer than four characters
};

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n" -> "17" (source cut after it)
// "10.1.2.3 more"                      -> "10.1.2.3"   (dots belong to the number)
// "-51"                                -> "51"         (no sign)
int YankStrNumbers(char* source, char* destination, int size) {
    int start = 0;
    while (start < YANK_WINDOW && source[start] != '\0' && !IsDigit(source[start])) start++;
    if (start >= YANK_WINDOW || !IsDigit(source[start])) {
        printf("\nCFG-YNK: retval = NOT_OK");
        if (size > 0) destination[0] = '\0';
        return NOT_OK;
    }

    int end = start;
    while (end < YANK_WINDOW && (IsDigit(source[end]) || source[end] == '.')) end++;

    int result = NOT_OK;
    int numberLen = end - start;
    if (size > 0) {
        int keep = numberLen < size - 1 ? numberLen : size - 1;
        memcpy(destination, source + start, static_cast<size_t>(keep));
        memset(destination + keep, 0, static_cast<size_t>(size - keep));
    }
    // A number still running at the window's edge may go on beyond it: report it, but leave
    // the source as it is.
    if (end < YANK_WINDOW) {
        source[end] = '\0';
        result = OK;
    }
    return result;
}

// "20.00.524" -> (20 << 20) | (0 << 12) | 524 = 0x0140020C. Fields are ORed, not added, so an
// out-of-range field bleeds into its neighbour; real versions never have one.
int StrToVersion(char* text) {
    if (text[0] == '?') {
        // "??.??.???" is the placeholder for a version the modem has not told us yet.
        if (vexDebug) {
            printf("\nCFG-STV: we don't have a good version number yet: %s, so just return 0.  ",
                   text);
            printf("\nCFG-STV: str version: '%s', int version:%x  ", text, 0u);
        }
        return 0;
    }

    uint32_t field[VERSION_FIELDS] = {0, 0, 0};
    const char* p = text;
    bool valid = true;
    for (int f = 0; f < VERSION_FIELDS && valid; f++) {
        char digits[VERSION_FIELD_MAX + 1];
        int n = 0;
        while (n < VERSION_FIELD_MAX && *p != '\0' && *p != '.') digits[n++] = *p++;
        digits[n] = '\0';
        if (*p == '.') {
            p++;
        } else if (*p != '\0') {
            printf("\n\n*** ERROR: invalid FW version: tempStr: '%s' ***\n", text);
            valid = false;
            break;
        }
        uint32_t v = 0;
        for (int i = 0; i < n && IsDigit(digits[i]); i++) v = v * 10 + static_cast<uint32_t>(digits[i] - '0');
        field[f] = v;
    }

    uint32_t packed = 0;
    if (valid) {
        packed = field[0];
        packed = (packed << 8) | field[1];
        packed = (packed << 12) | field[2];
    }
    int version = static_cast<int>(packed);
    if (vexDebug) printf("\nCFG-STV: str version: '%s', int version:%x  ", text, static_cast<unsigned int>(version));
    return version;
}

int LeadingDecimal(const char* text) {
    int v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        int d = *text - '0';
        v = (v > (INT_MAX - d) / 10) ? INT_MAX : v * 10 + d;
    }
    return v;
}

// The command's own result line, the first in the read in any of the spellings firmwares use:
// "+CCID:" or "#CCID:" for AT+CCID, and 3GPP's name with a C in front of V.250's ("+CGMR:" for
// AT+GMR). Null when there is none.
static char* OwnResultLine(char* rxBuf, const char* cmd) {
    const char* name = strncmp(cmd, "AT", 2) == 0 ? cmd + 2 : cmd;
    if (*name == '+' || *name == '#') name++;
    static const char* const kPrefixes[] = {"+", "#", "+C", "#C"};
    char* first = nullptr;
    for (const char* prefix : kPrefixes) {
        char own[32];
        snprintf(own, sizeof own, "%s%s:", prefix, name);
        char* at = strstr(rxBuf, own);
        if (at != nullptr && (first == nullptr || at < first)) first = at;
    }
    return first;
}

char* AnswerValueStart(char* rxBuf, const char* cmd) {
    // The answer to this asking stands after its echo; the same command's late answer to an
    // earlier asking may stand ahead of it, and is taken only when it is alone in the read.
    char* echo = strstr(rxBuf, cmd);
    char* start = echo != nullptr ? OwnResultLine(echo + strlen(cmd), cmd) : nullptr;
    if (start == nullptr) start = OwnResultLine(rxBuf, cmd);
    if (start == nullptr) {
        start = strstr(rxBuf, cmd);
        if (start == nullptr) return rxBuf;
        start += strlen(cmd);
        for (;;) {
            while (*start == '\r' || *start == '\n') start++;
            if (*start != '+' && *start != '#') break;
            start += strcspn(start, "\r\n");
        }
    }
    const char* p = rxBuf;
    while (p < start && !IsDigit(*p)) p++;
    if (p < start) {
        printf("\nCFG-ANS: %s: value taken %d bytes into the reply, past other results", cmd,
               static_cast<int>(start - rxBuf));
    }
    return start;
}
