// Pure text-to-value parsers for modem answers.
#pragma once

// Copies the first number (a digit, then digits and dots) found among the first 200 characters
// of source into destination (at most size-1 characters, zero-filled, terminated) and cuts source
// after it. OK when the number ends inside the window; NOT_OK when there is no digit (destination
// empty, "\nCFG-YNK: retval = NOT_OK" printed) or the number runs to the window's end.
int YankStrNumbers(char* source, char* destination, int size);
// Packs "20.00.524" as (20 << 20) | (0 << 12) | 524 = 0x0140020C. 0 for "?..." or a field of
// more than four characters.
int StrToVersion(char* text);
// The value of the leading decimal digits of text; 0 when it does not start with one. Stops
// growing at INT_MAX rather than overflowing on a modem that sends a long run of digits.
int LeadingDecimal(const char* text);
// Where the value of a query's answer starts in rxBuf, for YankStrNumbers. A modem may put other
// lines in front of it: unsolicited result codes ("+CREG: 5", "#QSS: 1", RING) and the late answer
// of an earlier command. The value is taken from the command's own result line ("+CSQ: 17,99"
// for AT+CSQ; "#CCID:" for AT+CCID and "+CGMR:" for AT+GMR count as their own too) wherever it
// stands; for a bare answer ("353535099996462" for AT+CGSN) from the first line after the
// command's echo that is not another command's "+"/"#" result. An own line after the echo wins
// over one ahead of it (the same command's late answer to an earlier asking). Without either,
// rxBuf itself. When digits are passed over, prints
// "\nCFG-ANS: CMD: value taken N bytes into the reply, past other results".
char* AnswerValueStart(char* rxBuf, const char* cmd);
