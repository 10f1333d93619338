// Modem reset and power control. linkwarden never drives the reset pin or the modem supply itself:
// it writes true to a request leaf and the device's power service sets it back to false once it
// has acted, so every operation here is "write, then poll the leaf".
#include "app/hw_reset.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/globals.h"
#include "app/modem_select.h"
#include "base/os_seam.h"
#include "serial/port.h"
#include "store/leaves.h"

// Reads of a request leaf before giving up, 500 ms apart: 5 s for the service to answer.
static const int kRequestPolls = 10;
static const unsigned int kRequestPollUs = 500000;
// The power service needs 10 s between two power requests; we wait for at most 15 s.
static const int64_t kPowerSpacingSec = 10;
static const int kPowerSpacingMaxWaits = 15;
// A powered-up cellular modem needs this long before it answers AT.
static const unsigned int kPowerUpSettleSec = 60;

static const char kRule55Dash[] = "-------------------------------------------------------";
static const char kRule49Eq[] = "=================================================";
static const char kRule50Eq[] = "==================================================";
static const char kRule51Eq[] = "===================================================";

// The end of the last power request. The spacing is measured on the monotonic clock: the wall
// clock is set (NTP, GPS) at boot, just when the start-up power-cycles the modem, and a step
// between the power-off and the power-on would skip the spacing or cost a full wait. The wall
// clock's low 32 bits are kept only for the trace.
static bool powerRequested = false;
static time_t lastPowerRequestMonotonic = 0;
static int32_t lastPowerRequestSec = 0;

void ForgetLastPowerRequest() {
    powerRequested = false;
    lastPowerRequestMonotonic = 0;
    lastPowerRequestSec = 0;
}

// With no request made yet there is nothing to wait for.
static int64_t SecondsSinceLastPowerRequest() {
    if (!powerRequested) return INT64_MAX;
    return static_cast<int64_t>(OsMonotonicSeconds()) - lastPowerRequestMonotonic;
}

// What a poll of a request leaf found.
enum { REQUEST_PENDING = 0, REQUEST_CLEARED = 1, REQUEST_UNREADABLE = 2 };

// The outcome of the last store call on a request leaf, for the failure messages.
static int lastCallResult = 0;
static api_status_t lastCallStatus = LEAF_DONE;

// Reads a bool request leaf into the shared element `value`.
static int ReadRequestLeaf(const char* path) {
    lastCallStatus = LEAF_DONE;
    element_property_t info = {};
    lastCallResult = api.get_leaf(path, lastCallStatus, value, info);
    if (lastCallResult != 0 || lastCallStatus != LEAF_DONE) return REQUEST_UNREADABLE;
    return value.to_bool() ? REQUEST_PENDING : REQUEST_CLEARED;
}

// Polls a request leaf until the service has set it false. In a busy check a read that fails
// ends the poll: a leaf we cannot see holds nothing back, and the write then tells. While our own
// request is being confirmed a failed read is only a store that did not answer this time: the
// request stays pending and the poll goes on, so a service that acted is still seen to have
// acted. The result tells whether the last read failed.
static int PollRequestLeaf(const char* path, bool confirming) {
    int found = REQUEST_PENDING;
    for (int i = 0; i < kRequestPolls; i++) {
        found = ReadRequestLeaf(path);
        if (found == REQUEST_CLEARED || (found == REQUEST_UNREADABLE && !confirming)) return found;
        OsUsleep(kRequestPollUs);
    }
    return found;
}

// Writes true to a request leaf. Returns 1 when the store took it.
static int WriteRequestLeaf(const char* path) {
    value.set_bool(true);
    lastCallStatus = LEAF_DONE;
    std::string text;
    lastCallResult = api.set_leaf(path, value, lastCallStatus, 0, text);
    return lastCallResult == 0 && lastCallStatus == LEAF_DONE;
}

static int ResetAnalogModem() {
    if (vexDebug) {
        printf("\n%s ", kRule55Dash);
        printf("\nCFG-HWR: Send CDS command to reset the modem pin. ");
        printf("\n%s\n", kRule55Dash);
    }
    fflush(stdout);

    // The reset request goes through the shared single-leaf globals. Reading the leaf first
    // only fills `value`; what counts is that the request was written and that the service
    // clears it afterwards.
    leafpath = LEAF_RESET_ANALOG_MODEM;
    api.get_leaf(leafpath, retCode, value, property);
    if (!WriteRequestLeaf(leafpath.c_str())) {
        printf("\n\nCFG-HWR: *** ERROR: linkwarden: RESET request not written to %s "
               "(call %d, status %d). ",
               LEAF_RESET_ANALOG_MODEM, lastCallResult, static_cast<int>(lastCallStatus));
        return 0;
    }
    int found = PollRequestLeaf(LEAF_RESET_ANALOG_MODEM, true);
    if (found == REQUEST_UNREADABLE) {
        // The poll ran out with the store not answering: say so before the usual failure line.
        printf("\n\nCFG-HWR: *** ERROR: linkwarden: RESET request unconfirmed, %s could not be "
               "read (call %d, status %d). ",
               LEAF_RESET_ANALOG_MODEM, lastCallResult, static_cast<int>(lastCallStatus));
    }
    if (found != REQUEST_CLEARED) {
        printf(
            "\n\nCFG-HWR: *** ERROR: linkwarden: Service failed to send RESET request to modem. ");
        return 0;
    }
    if (vexDebug) puts("\nCFG-HWR: Successfully sent RESET request to Modem.");
    return 1;
}

static void PowerCycleCellModem() {
    if (vexDebug) {
        printf("\n\n%s", kRule49Eq);
        printf("\n CFG-HWR: power on/off cell modem");
        printf("\n%s\n", kRule51Eq);
    }
    fflush(stdout);

    if (SetCellModemPower(0) == 1) {
        if (vexDebug) printf("\nCFG-HWR: Modem Powered down OK ");
        fflush(stdout);
        if (SetCellModemPower(1) == 1) {
            OsSleep(kPowerUpSettleSec);
            if (vexDebug) printf("\nCFG-HWR: Modem powered up OK ");
        } else if (vexDebug) {
            puts("\n\n*** CFG-HWR: Modem failed Power up ***");
        }
        fflush(stdout);
    } else {
        // No power-up request after a failed power-down: the service is not answering, and an
        // On request on top of a pending Off one would only be refused.
        puts("\n\n*** CFG-HWR: Modem failed Power down ***");
    }
}

int RequestHwReset() {
    int result = 1;
    if (CheckForModemType() == MODEM_ANALOG) {
        result = ResetAnalogModem();
    } else {
        // Type 0 lands here too: a power cycle request is harmless when nothing is fitted.
        PowerCycleCellModem();
    }
    if (vexDebug) printf("\n%s\n", kRule50Eq);
    return result;
}

int SetCellModemPower(int on) {
    GetSystemTime();
    int64_t elapsed = SecondsSinceLastPowerRequest();
    if (vexDebug) {
        printf("\nCFG-PWR: set cell power %d", on);
        if (elapsed >= 0 && elapsed < kPowerSpacingSec) {
            printf(
                "\nCFG-PWR: *** Need to wait %d sec before sending command (globalSec:%d, last:%d)",
                static_cast<int>(elapsed), LowClockSeconds(globalSec),
                static_cast<int>(lastPowerRequestSec));
        }
    }
    fflush(stdout);

    for (int i = 0; i < kPowerSpacingMaxWaits; i++) {
        GetSystemTime();
        if (SecondsSinceLastPowerRequest() >= kPowerSpacingSec) break;
        OsSleep(1);
        if (vexDebug) printf(".");
    }

    // A request still pending in either direction means the service is busy: we then only
    // watch whether our direction's leaf clears. A busy check that cannot read its leaf does not
    // hold the request back; the write and the confirmation then tell.
    bool onIdle = PollRequestLeaf(LEAF_CELL_MODEM_ON, false) != REQUEST_PENDING;
    if (onIdle && vexDebug) printf("\nCFG-PWR: not busy with Power On command ");
    bool offIdle = false;
    if (onIdle) {
        offIdle = PollRequestLeaf(LEAF_CELL_MODEM_OFF, false) != REQUEST_PENDING;
        if (offIdle && vexDebug) printf("\nCFG-PWR: not busy with Power Off command ");
    }
    const char* requestLeaf = (on == 1) ? LEAF_CELL_MODEM_ON : LEAF_CELL_MODEM_OFF;
    int found = REQUEST_PENDING;
    bool written = true;
    if (onIdle && offIdle) {
        if (vexDebug) printf("\nCFG-PWR: ready to set cell modem power On/Off ");
        if (vexDebug)
            fputs(on == 1 ? "\nCFG-PWR: Turn ON cell " : "\nCFG-PWR: Turn OFF cell ", stdout);
        written = WriteRequestLeaf(requestLeaf);
    }
    if (!written) {
        // Nothing was asked of the service, so its leaf's old false would prove nothing.
        printf("\nCFG-PWR: *** ERROR: Power set %d request not written to %s (call %d, status %d) ",
               on, requestLeaf, lastCallResult, static_cast<int>(lastCallStatus));
    } else {
        found = PollRequestLeaf(requestLeaf, true);
        if (found == REQUEST_UNREADABLE) {
            printf("\nCFG-PWR: *** ERROR: Power set %d request unconfirmed, %s could not be read "
                   "(call %d, status %d) ",
                   on, requestLeaf, lastCallResult, static_cast<int>(lastCallStatus));
        }
    }
    bool acknowledged = found == REQUEST_CLEARED;
    if (acknowledged && vexDebug) {
        printf("\nCFG-PWR: Successfully sent Power set %d request to Modem.\n", on);
    }

    GetSystemTime();
    lastPowerRequestSec = LowClockSeconds(globalSec);
    lastPowerRequestMonotonic = OsMonotonicSeconds();
    powerRequested = true;

    if (!acknowledged) {
        if (vexDebug) puts("\nCFG-PWR: Failed to send Power change request to Modem.");
        return 0;
    }
    return 1;
}
