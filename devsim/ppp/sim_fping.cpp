// Stand-in for fping as the daemon runs it: "fping -c1 -t<ms> -I ppp1 <address>". Nothing goes
// on the wire: the answer comes from the simulated world. The address answers when ppp1 is up
// (the pid file <root>/var/run/ppp1.pid names a live process) and <root>/devsim/world/pings
// does not say "dropped". A lost echo costs min(time-out, 200 ms) of real time.
//
// Exit statuses as fping's: 0 alive, 1 unreachable, 2 address not valid, 3 bad arguments,
// 4 the interface could not be used.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "world.h"

int main(int argc, char** argv) {
    simppp::LeaveFakeClock(argv);
    std::string root = simppp::SandboxRoot();
    long timeoutMs = 500;
    const char* iface = nullptr;
    const char* address = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strncmp(a, "-c", 2) == 0 && a[2]) continue;  // one echo request, whatever the count
        if (strncmp(a, "-t", 2) == 0 && a[2]) {
            char* end = nullptr;
            timeoutMs = strtol(a + 2, &end, 10);
            if (*end || timeoutMs < 0) return 3;
        } else if (strcmp(a, "-I") == 0 && i + 1 < argc) {
            iface = argv[++i];
        } else if (a[0] != '-' && !address) {
            address = a;
        } else {
            fprintf(stderr, "fping: unexpected argument %s\n", a);
            return 3;
        }
    }
    if (!address) return 3;
    struct in_addr parsed;
    if (inet_pton(AF_INET, address, &parsed) != 1) {
        simppp::Log(root, "fping.log", "fping", std::string(address) + ": address not found");
        fprintf(stderr, "%s: Name or service not known\n", address);
        return 2;
    }
    bool linkUp = simppp::PidAlive(simppp::ReadPidFile(root + "/var/run/ppp1.pid")) == 1;
    if (iface && strcmp(iface, "ppp1") == 0 && !linkUp) {
        simppp::Log(root, "fping.log", "fping", "ppp1 is down");
        fprintf(stderr, "fping: binding to device ppp1 failed\n");
        return 4;
    }
    if (iface && strcmp(iface, "ppp1") != 0) {
        fprintf(stderr, "fping: binding to device %s failed\n", iface);
        return 4;
    }
    bool reachable = simppp::WorldLine(root, "pings", "answered") != "dropped";
    if (!reachable) {
        long waitMs = timeoutMs < 200 ? timeoutMs : 200;
        struct timespec ts = {waitMs / 1000, (waitMs % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
    simppp::Log(root, "fping.log", "fping",
                std::string(address) + (reachable ? " is alive" : " is unreachable"));
    printf("%s is %s\n", address, reachable ? "alive" : "unreachable");
    return reachable ? 0 : 1;
}
