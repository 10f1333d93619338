// Shared plumbing of the PPP stand-ins (see world.h).
#include "world.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace simppp {

static bool Contains(const char* text, const char* part) {
    return text && strstr(text, part) != nullptr;
}

void LeaveFakeClock(char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (!Contains(preload, "faketime") && !getenv("FAKETIME")) return;
    // Keep any other preloaded library; drop only the fake clock.
    std::string kept;
    if (preload) {
        std::string all(preload);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find_first_of(": ", start);
            if (end == std::string::npos) end = all.size();
            std::string item = all.substr(start, end - start);
            if (!item.empty() && item.find("faketime") == std::string::npos) {
                if (!kept.empty()) kept += ':';
                kept += item;
            }
            start = end + 1;
        }
    }
    if (kept.empty()) unsetenv("LD_PRELOAD"); else setenv("LD_PRELOAD", kept.c_str(), 1);
    unsetenv("FAKETIME");
    unsetenv("FAKETIME_SHARED");
    unsetenv("FAKETIME_DONT_RESET");
    unsetenv("FAKETIME_NO_CACHE");
    // Started again under the program's own file name, not /proc/self/exe: the kernel names a
    // process after the file it was started from, and the daemon takes only a "pppd" for pppd.
    char exe[512];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        execv(exe, argv);
    }
    execv("/proc/self/exe", argv);
    fprintf(stderr, "%s: cannot restart without the fake clock: %s\n", argv[0], strerror(errno));
}

std::string SandboxRoot() {
    const char* env = getenv("LINKWARDEN_ROOT");
    std::string root;
    if (env && env[0]) {
        root = env;
    } else {
        char exe[512];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = '\0';
            root = exe;
            for (int up = 0; up < 2; up++) {
                size_t slash = root.rfind('/');
                root = slash == std::string::npos ? std::string() : root.substr(0, slash);
            }
        }
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    return root;
}

std::string WorldLine(const std::string& root, const char* name, const char* fallback) {
    std::string path = root + "/devsim/world/" + name;
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return fallback;
    char line[201];
    std::string value;
    if (fgets(line, sizeof line, f)) value = line;
    fclose(f);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' '))
        value.pop_back();
    return value.empty() ? std::string(fallback) : value;
}

void Log(const std::string& root, const char* file, const char* tag, const std::string& text) {
    std::string dir = root + "/devsim";
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + file;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // The real-time clock straight from the kernel, so that the log agrees with the simulator's.
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    char head[96];
    snprintf(head, sizeof head, "%lld.%03ld %s[%d]: ", static_cast<long long>(ts.tv_sec),
             ts.tv_nsec / 1000000L, tag, static_cast<int>(getpid()));
    std::string line = std::string(head) + text + "\n";
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

double MonotonicSeconds() {
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int ParsePid(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
    long pid = 0;
    bool digits = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        digits = true;
        pid = pid * 10 + (text[i] - '0');
        if (pid > 0x3fffffff) return 0;  // no such pid on Linux
    }
    return digits ? static_cast<int>(pid) : 0;
}

int ReadPidFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[32];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    return ParsePid(std::string(buf, static_cast<size_t>(n)));
}

int PidAlive(int pid) {
    if (pid <= 0) return 0;
    return (kill(pid, 0) == 0 || errno == EPERM) ? 1 : 0;
}

}  // namespace simppp
