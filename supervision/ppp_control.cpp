// Control of the outside pppd that runs ppp1 over the modem's data port. Nothing here keeps
// state: pppd's own pid file is the only record of which process serves the link, and it is read
// afresh on every call.
#include "supervision/ppp_control.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "base/os_seam.h"
#include "base/paths.h"

static const char PPPD_PROGRAM[] = "/sbin/pppd";
static const char CHAT_PROGRAM[] = "/sbin/chat";
static const char CHAT_SCRIPT[] = "/etc/ppp/chat.cellmodem.data";
static const char CHAT_SCRIPT_GENERATOR[] = "/etc/ppp/generate_cell_chat_script.sh";
static const char DATA_PORT[] = "/dev/ttyPSC7";
static const char PPP1_PID_FILE[] = "/var/run/ppp1.pid";

// pppd writes the pid as decimal text and a newline; ten digits hold any pid.
enum { PID_TEXT_MAX = 10 };

int StartPPPDataConnection() {
    char pppd[ROOTED_PATH_MAX];
    char port[ROOTED_PATH_MAX];
    char chat[ROOTED_PATH_MAX];
    char script[ROOTED_PATH_MAX];
    char command[4 * ROOTED_PATH_MAX + 128];

    puts("\nStartPPPDataConnection: Starting pppd");
    // The connect command is quoted so that the shell hands it to pppd as one argument. Without
    // nodetach pppd goes to the background, so the shell returns once it has detached.
    snprintf(command, sizeof command,
             "%s debug noipdefault usepeerdns noauth ifname ppp1 %s 115200 connect \"%s -v -f %s\"",
             RootedPath(PPPD_PROGRAM, pppd, sizeof pppd), RootedPath(DATA_PORT, port, sizeof port),
             RootedPath(CHAT_PROGRAM, chat, sizeof chat),
             RootedPath(CHAT_SCRIPT, script, sizeof script));
    fflush(stdout);
    return OsSystem(command);
}

// The leading decimal number of text, as atoi reads it, but clamped to the int range so that a
// pid file full of digits gives the same answer on a 32-bit and a 64-bit long.
static int LeadingNumber(const char* text) {
    long n = strtol(text, nullptr, 10);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

int GetCellModemPPPDataInterfacePid() {
    char path[ROOTED_PATH_MAX];
    char text[PID_TEXT_MAX + 1];

    RootedPath(PPP1_PID_FILE, path, sizeof path);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        printf("\nGetCellModemPPPDataInterfacePid: Unable to open %s path. errno = %d\n", path, errno);
        return -1;
    }
    ssize_t got = read(fd, text, PID_TEXT_MAX);
    if (got < 0) {
        int err = errno;
        printf("\nGetCellModemPPPDataInterfacePid: Unable to read from %s path. errno = %d\n", path,
               err);
        close(fd);
        return -1;
    }
    close(fd);
    text[got] = '\0';
    return LeadingNumber(text);
}

// A pid of 0 or less would signal a process group or every process we may signal: never send it.
static int SignalPppd(int sig) {
    int pid = GetCellModemPPPDataInterfacePid();
    if (pid <= 0) return -1;
    return OsKill(static_cast<pid_t>(pid), sig);
}

int StopPPPDataConnection() { return SignalPppd(SIGTERM); }

int CheckPPPDataConnection() { return SignalPppd(0); }

int GeneratePPPChatScript() {
    char generator[ROOTED_PATH_MAX];
    // An empty command line would be a successful shell run of nothing.
    if (!RootedPath(CHAT_SCRIPT_GENERATOR, generator, sizeof generator)[0]) return -1;
    fflush(stdout);
    return OsSystem(generator);
}
