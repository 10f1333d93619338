// Command-line address parsing and detection of the fitted modem from the store's option leaves.
#pragma once

// Copies one dotted address from text into out (at least 16 bytes) and advances *pos by the
// characters skipped plus copied. Returns 1 when accepted, 0 when rejected (out is then empty).
int GrabAddrFromStr(char* text, char* out, int* pos);

// The modem type code (MODEM_*). Cellular and "none" results are remembered for the life of the
// process; an analog result is not, and writes "/U6F/AnalogModem/Configured/Value" each time.
// Neither is a result for which an option leaf could not be read.
int CheckForModemType();
// Tests only: forgets the remembered result.
void ForgetModemType();
