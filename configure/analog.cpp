// Set-up of the analog modem: four Hayes commands, each answered within its own read time-out.
// The analog modem is driven with the terminal's own VMIN/VTIME read controls rather than the
// one-second reads that the cellular exchange uses.
#include "configure/analog.h"

#include <errno.h>
#include <poll.h>
#include <termios.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/globals.h"
#include "app/modem_select.h"
#include "base/os_seam.h"
#include "store/leaves.h"

// ReadFromModem results.
enum { READ_FAILED = 4, READ_TIMED_OUT = 5, READ_OK = 6, READ_TOO_SHORT = 13 };

enum { ANALOG_REPLY_MAX = 300 };

// One set-up command: its text (sent as it is, CR included), the reply time-out in tenths of a
// second, the least number of reply bytes and the reply we expect.
struct analog_cmd_t {
    char command[10];
    int16_t timeout;
    int16_t minimum;
    char expected[14];
};

enum { ANALOG_CMD_COUNT = 4, RINGS_CMD = 3, RINGS_DIGIT_POS = 5 };
enum { RINGS_MIN = 0, RINGS_MAX = 9, RINGS_SAFE = 2 };

// Reset to the stored profile, echo off, numeric results, answer after N rings. The first two
// replies still carry the echo, since echo is on while those commands arrive; from ATV0 on the
// modem answers with the bare numeric code "0".
static const analog_cmd_t kAnalogCmds[ANALOG_CMD_COUNT] = {
    {"ATZ0\r", 20, 7, "ATZ0\r\r\nOK\r\n"},
    {"ATE0\r", 20, 7, "ATE0\r\r\nOK\r\n"},
    {"ATV0\r", 20, 2, "0\r\n"},
    {"ATS0=?\r", 20, 2, "0\r\n"},  // '?' is replaced by the rings digit
};

// How long to wait for the first reply byte: the record's time-out, or the half second that
// goes with a time-out of 0.
static int FirstByteWaitMs(unsigned int timeout) {
    unsigned int tenths = (timeout == 0) ? 5 : (timeout & 0xFFu);
    return static_cast<int>(tenths) * 100;
}

static int SetAnalogReadControls(int fd, unsigned int timeout, short minimum) {
    struct termios tio;
    if (OsTcgetattr(fd, &tio) != 0) {
        printf("\nReadFromModem: Serial port read failed. errno - %d", errno);
        fflush(stdout);
        return 0;
    }
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    if (timeout != 0) {
        tio.c_cc[VMIN] = static_cast<cc_t>(static_cast<unsigned int>(minimum) & 0xFFu);
        tio.c_cc[VTIME] = static_cast<cc_t>(timeout & 0xFFu);
    } else {
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 5;
    }
    if (OsTcsetattr(fd, TCSANOW, &tio) != 0) {
        int err = errno;
        printf("\nReadFromModem: Modem read tcsetattr failed. ");
        printf("\nReadFromModem: Serial port read failed. errno - %d", err);
        fflush(stdout);
        return 0;
    }
    return 1;
}

// 1 when a byte is waiting, 0 when none came within waitMs, -1 on a poll error.
static int WaitForFirstByte(int fd, int waitMs) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    for (;;) {
        int n = OsPoll(&pfd, 1, waitMs);
        if (n >= 0) return n > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

int ReadFromModem(int fd, unsigned int timeout, char* buffer, int* count, short minimum) {
    if (CheckForModemType() == MODEM_ANALOG) {
        if (!SetAnalogReadControls(fd, timeout, minimum)) return READ_FAILED;
    }

    // VMIN > 0 makes the terminal wait for a first byte without end; a silent modem must not
    // hang the set-up, so the first byte is waited for here, within the record's time-out.
    int ready = WaitForFirstByte(fd, FirstByteWaitMs(timeout));
    ssize_t n = 0;
    if (ready < 0) {
        n = -1;
    } else if (ready > 0) {
        do {
            n = OsRead(fd, buffer, ANALOG_REPLY_MAX);
        } while (n < 0 && errno == EINTR);
    }

    if (n < 0) {
        printf("\nReadFromModem: Modem read failed. ");
        fflush(stdout);
        return READ_FAILED;
    }
    if (n == 0) {
        printf("ReadFromModem:Modem read timed out. ");
        fflush(stdout);
        return READ_TIMED_OUT;
    }
    if (n < minimum) return READ_TOO_SHORT;
    *count = static_cast<int>(n);
    return READ_OK;
}

// The number of rings after which the modem answers, from the store; 0 is auto-answer off, the
// owner's way of switching dial-in off. Above 9 or below 0 the modem would be sent a character
// that is no digit and refuse the command while the set-up still reports success; an unreadable
// leaf gave whatever its conversion yields. Such a value is refused with one line and the modem
// answers after RINGS_SAFE rings: a single ring burst (line noise, a test ring) is not answered,
// and the caller's number, sent between the first and the second ring, has arrived before the
// modem picks up.
static int ReadRingsToAnswer() {
    leafpath = LEAF_ANALOG_RINGS_TO_ANSWER;
    retCode = LEAF_DONE;
    int result = api.get_leaf(leafpath, retCode, value, property);
    int rings = value.to_int();
    if (result != 0 || retCode != LEAF_DONE) {
        printf("\nCFG-SMM: *** %s could not be read; answering after %d rings ",
               LEAF_ANALOG_RINGS_TO_ANSWER, static_cast<int>(RINGS_SAFE));
        return RINGS_SAFE;
    }
    if (rings < RINGS_MIN || rings > RINGS_MAX) {
        printf("\nCFG-SMM: *** %s = %d refused (rings, %d to %d); answering after %d rings ",
               LEAF_ANALOG_RINGS_TO_ANSWER, rings, static_cast<int>(RINGS_MIN),
               static_cast<int>(RINGS_MAX), static_cast<int>(RINGS_SAFE));
        return RINGS_SAFE;
    }
    return rings;
}

// The character that follows '0' by `rings`, kept to 8 bits; the sum is made in unsigned
// arithmetic so that no value, however large, overflows on the way.
static char RingsDigit(int rings) {
    unsigned int code = static_cast<unsigned int>('0') + static_cast<unsigned int>(rings);
    return static_cast<char>(static_cast<unsigned char>(code & 0xFFu));
}

int SendModemCmd(int fd) {
    char reply[ANALOG_REPLY_MAX + 1];
    memset(reply, 0, sizeof reply);

    char digit = RingsDigit(ReadRingsToAnswer());
    if (vexDebug) {
        printf("\nCFG-SMM: Normal num of rings : 0x%x ",
               static_cast<unsigned int>(static_cast<unsigned char>(digit)));
    }

    analog_cmd_t cmds[ANALOG_CMD_COUNT];
    memcpy(cmds, kAnalogCmds, sizeof cmds);
    cmds[RINGS_CMD].command[RINGS_DIGIT_POS] = digit;

    for (int i = 0; i < ANALOG_CMD_COUNT; i++) {
        const analog_cmd_t& cmd = cmds[i];
        reply[0] = '\0';
        size_t len = strlen(cmd.command);
        if (OsWrite(fd, cmd.command, len) != static_cast<ssize_t>(len)) return 0;
        OsSleep(2);

        int count = 0;
        if (ReadFromModem(fd, static_cast<unsigned int>(cmd.timeout), reply, &count, cmd.minimum) !=
            READ_OK) {
            return 0;
        }
        reply[count] = '\0';
        // Only the bytes received are compared: a reply cut short of the expected text still
        // counts, one that runs past it does not. A wrong reply is not retried.
        if (strncmp(cmd.expected, reply, static_cast<size_t>(count)) != 0 && vexDebug) {
            printf("\nCFG-SMM: Bad analog modem response, try again ");
        }
    }
    return 1;
}
