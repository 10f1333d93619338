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
#include <string.h>
#include <sys/stat.h>

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
// The kernel keeps at most 15 characters of a process's name.
enum { PROCESS_NAME_MAX = 15 };

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

// pppd writes its pid file as a regular file. Anything else under that name (a FIFO, a device, a
// folder) is not read: a FIFO's read would wait for a writer and a device's open acts on the line.
// Not blocking and close-on-exec, so that neither a stray FIFO nor the shell's children get hold
// of the daemon.
static int OpenPidFile(const char* path) {
    struct stat st;
    if (OsStat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -2;
    }
    int fd = OsOpen(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (OsFstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        OsClose(fd);
        errno = EINVAL;
        return -2;
    }
    return fd;
}

int GetCellModemPPPDataInterfacePid() {
    char path[ROOTED_PATH_MAX];
    char text[PID_TEXT_MAX + 1];

    RootedPath(PPP1_PID_FILE, path, sizeof path);
    int fd = OpenPidFile(path);
    if (fd == -1) {
        printf("\nGetCellModemPPPDataInterfacePid: Unable to open %s path. errno = %d\n", path, errno);
        return -1;
    }
    ssize_t got = fd < 0 ? -1 : OsRead(fd, text, PID_TEXT_MAX);
    if (got < 0) {
        int err = errno;
        printf("\nGetCellModemPPPDataInterfacePid: Unable to read from %s path. errno = %d\n", path,
               err);
        if (fd >= 0) OsClose(fd);
        return -1;
    }
    OsClose(fd);
    text[got] = '\0';
    return LeadingNumber(text);
}

// A pid file outlives a pppd that was killed outright, and pids wrap within days on a box that
// starts fping every few seconds: the pid may name another program by now. Only a process the
// kernel names pppd is taken for pppd; any other is "pppd not running" and is never signalled,
// so the watchdog starts a new pppd, which writes its own pid into the file.
static bool IsPppd(int pid) {
    char name[PROCESS_NAME_MAX + 1];
    if (OsProcessName(static_cast<pid_t>(pid), name, sizeof name) != 0) return false;
    if (strcmp(name, "pppd") == 0) return true;
    for (char* c = name; *c; c++) {
        if (*c < ' ' || *c > '~' || *c == '"') *c = '?';
    }
    printf("\nSignalPppd: pid %d is \"%s\", not pppd: pppd not running, no signal sent\n", pid, name);
    return false;
}

// A pid of 0 or less would signal a process group or every process we may signal: never send it.
static int SignalPppd(int sig) {
    int pid = GetCellModemPPPDataInterfacePid();
    if (pid <= 0 || !IsPppd(pid)) return -1;
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
