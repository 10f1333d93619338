// linkwarden-simulate: years of a box in the field in minutes. The daemon's own code runs against
// the simulated world (world.h) on a clock that jumps to the next event whenever it waits; init
// starts it again 10 s after every exit, each start a fresh process. One seed gives one run, byte
// for byte on standard output; the real time taken goes to standard error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "world.h"

using namespace fieldsim;

namespace {

const int64_t kYear = 31557600LL * SEC;
// 2037-06-01 00:00:00 UTC: every run of a year or more crosses 2038-01-19 03:14:08 UTC, the end
// of 32-bit seconds.
const int64_t kWallStart = 2127513600LL;

struct Options {
    double years = 1;
    uint64_t seed = 1;
    std::string faults;
    int swarm = 0;
    std::string source = FIELDSIM_SOURCE_DIR;
    std::string picture;
    bool trace = false;
    bool calibrate = false;
};

int Usage() {
    fprintf(stderr,
            "usage: linkwarden-simulate [--years Y] [--seed N] [--faults FILE] [--swarm K]\n"
            "                           [--source DIR] [--picture DIR]\n"
            "  --years Y      simulated years per run (default 1; fractions allowed)\n"
            "  --seed N       the run's seed; with --swarm, the first member's (default 1)\n"
            "  --faults FILE  fault rates (default: fieldsim/field-mix, the field mix)\n"
            "  --swarm K      K runs, seeds N to N+K-1, each with a random part of the faults at\n"
            "                 random rates and random watchdog settings\n"
            "  --source DIR   the source tree whose box files (chat script, pppd options, inittab\n"
            "                 line) the world follows\n"
            "  --picture DIR  where the gnuplot picture of availability and power cycles goes\n"
            "  --trace        after the report, the daemon's trace leading to the run's end\n"
            "  --calibrate    the rehearsal's fault scenarios once each, with its dial time\n");
    return 2;
}

// The watchdog's settings in the store: the benchmarks' sandbox, or a swarm member's own draw.
void Settings(bool swarm) {
    int refresh = 60, interval = 30, retries = 3, timeout = 5;
    if (swarm) {
        const int refreshes[] = {0, 1, 5, 60, 240, 600, 1440};
        refresh = refreshes[Uniform(0, 6)];
        interval = Uniform(0, 4) == 0 ? 0 : (int)Uniform(10, 600);
        // One retry ends the process at any ping a network drop catches: the owner's choice,
        // not a fault of the daemon's, so swarms give it at least two.
        retries = (int)Uniform(2, 5);
        timeout = (int)Uniform(1, 10);
        // The modem of a swarm member may boot slowly and put noise on its lines at power-up.
        world->modem.bootMsMax = (int)Uniform(30, 90) * 1000;
        world->modem.powerUpNoise = Uniform(0, 1) == 1;
    }
    SetLeafInt("/U6C/Comms/CellModem/Settings/RefreshInterval/Value", refresh);
    SetLeafInt("/U6C/Comms/CellModem/Settings/AutoPingInterval/Value", interval);
    SetLeafInt("/U6C/Comms/CellModem/Settings/AutoPingRetries/Value", retries);
    SetLeafInt("/U6C/Comms/CellModem/Settings/AutoPingTimeout/Value", timeout);
    SetLeafText("/U6C/Comms/CellModem/Settings/AutoPingIp/Value", "192.0.2.1");
}

void Boot() {
    World& w = *world;
    w.nextPid = 2;
    SpawnPid("init", -1);
    const char* const daemons[] = {"syslogd", "klogd", "crond", "cdsd", "powerd", "ntpd"};
    for (const char* d : daemons) {
        w.nextPid += (int)Uniform(5, 40);
        SpawnPid(d, -1);
    }
    ModemFactory();
    ModemPowerOn();
    SeedStore();
    w.lastPowerRequest = -1;
    w.csqDelivered = -1;
    w.ports[PORT_DATA].speed = w.ports[PORT_AUX].speed = B115200;
}

// The last `show` bytes of the trace, from a line's start.
void PrintTrace(uint64_t show) {
    const World& w = *world;
    uint64_t from = w.traceHead > show ? w.traceHead - show : 0;
    if (w.traceHead > TRACE_RING && from < w.traceHead - TRACE_RING) from = w.traceHead - TRACE_RING;
    while (from < w.traceHead && w.trace[from % TRACE_RING] != '\n') from++;
    printf("the daemon's trace, each line with the simulated time:");
    for (uint64_t i = from; i < w.traceHead; i++) putchar(w.trace[i % TRACE_RING]);
    printf("\n");
}

int Median(const FaultStats& s) {
    int64_t total = 0;
    for (int b = 0; b < RECOVERY_BINS; b++) total += s.recovery[b];
    int64_t half = (total + 1) / 2, seen = 0;
    for (int b = 0; b < RECOVERY_BINS; b++) {
        seen += s.recovery[b];
        if (total > 0 && seen >= half) return b;
    }
    return -1;
}

void Report(const Options& o, uint64_t seed, bool swarm) {
    const World& w = *world;
    const double years = (double)w.end / (double)kYear;
    int64_t up = 0;
    for (int64_t u : w.upUs) up += u;
    const double availability = 100.0 * (double)up / (double)w.end;
    const double offline = (double)(w.end - up) / 60e6 / years;
    printf("seed %llu%s: %.2f years, %d starts, %lld power cycles, exits (status 0/1/other) "
           "%lld/%lld/%lld\n",
           (unsigned long long)seed, swarm ? " (swarm member)" : "", years, w.starts,
           (long long)w.powerCycles, (long long)w.exitsByStatus[0], (long long)w.exitsByStatus[1],
           (long long)(w.exitsByStatus[2] + w.exitsByStatus[3]));
    printf("availability %.3f %%, %.1f minutes offline per year (the first start's included)\n",
           availability, offline);
    if (swarm) return;
    printf("%-17s %7s %10s %8s %10s %12s %6s\n", "fault", "count", "back: med", "worst", "down: mean",
           "power cycles", "exits");
    for (int k = 0; k < FaultKinds(); k++) {
        const FaultStats& s = w.stats[k];
        if (s.count == 0) continue;
        int med = Median(s);
        char medText[24] = "-", worstText[24] = "-";
        if (med >= 0) {
            snprintf(medText, sizeof medText, "%d s", med);
            snprintf(worstText, sizeof worstText, "%lld s", (long long)(s.worstUs / SEC));
        }
        printf("%-17s %7lld %10s %8s %8.0f s %12lld %6lld\n", FaultName(k), (long long)s.count, medText,
               worstText, (double)s.downUs / SEC / (double)s.count, (long long)s.cycles, (long long)s.exits);
    }
    printf("%-17s %7s %10s %8s %10s %12lld %6lld\n", "(no fault)", "", "", "", "",
           (long long)w.cyclesWithoutFault, (long long)w.exitsWithoutFault);
    printf("pings %lld, failed %lld\n", (long long)w.pings, (long long)w.pingsFailed);
    printf("daemon descriptors open at its first and last supervision pass: %d and %d; heap in use: "
           "%lld and %lld bytes\n",
           w.fdFirst, w.fdLast, (long long)w.heapFirst, (long long)w.heapLast);
    if (o.picture.empty()) return;
    std::string base = o.picture + "/seed-" + std::to_string(seed);
    std::ofstream data(base + ".dat");
    for (int y = 0; y < YEARS_MAX && (int64_t)y * kYear < w.end; y++) {
        int64_t span = std::min(kYear, w.end - (int64_t)y * kYear);
        data << y + 1 << " " << 100.0 * (double)w.upUs[y] / (double)span << " " << w.cycles[y]
             << " " << w.exitsPerYear[y] << "\n";
    }
    data.close();
    std::ofstream gp(base + ".gp");
    gp << "set terminal pngcairo size 900,500\nset output '" << base << ".png'\n"
       << "set title 'linkwarden in the simulated field, seed " << seed << "'\n"
       << "set xlabel 'year'\nset ylabel 'availability (%)'\nset y2label 'per year'\n"
       << "set ytics nomirror\nset y2tics\nset yrange [*:100]\nset y2range [0:*]\n"
       << "set key outside bottom center horizontal\nset boxwidth 0.6\n"
       << "set style fill transparent solid 0.3\nset xrange [0.5:*]\nset xtics 1\n"
       << "plot '" << base << ".dat' using 1:3 axes x1y2 with boxes title 'power cycles', "
       << "'' using 1:4 axes x1y2 with impulses lw 4 title 'exits', "
       << "'' using 1:2 with linespoints lw 2 pt 7 title 'availability'\n";
    gp.close();
    printf("picture: %s.png\n", base.c_str());
    std::string cmd = "gnuplot '" + base + ".gp' 2>/dev/null";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "gnuplot could not draw %s.png\n", base.c_str());
}

// One run; 0 when no invariant broke, 1 after the violation report.
int RunOne(const Options& o, uint64_t seed, bool swarm) {
    memset(world, 0, sizeof *world);
    World& w = *world;
    w.rng = seed;
    w.end = (int64_t)(o.years * (double)kYear);
    w.wallStartUs = kWallStart * SEC;
    std::string rates = o.faults.empty() ? o.source + "/fieldsim/field-mix" : o.faults;
    if (!o.calibrate && !LoadRates(rates.c_str(), swarm)) {
        fprintf(stderr, "cannot read the fault rates %s\n", rates.c_str());
        exit(2);
    }
    Boot();
    Settings(swarm);
    if (o.calibrate) StartCalibration();
    else ScheduleFaults();
    char program[] = "/usr/sbin/linkwarden";
    char debug[] = "-vd";
    char* argv[] = {program, debug, nullptr};
    for (;;) {
        // init's respawn line: a shell that sleeps 10 s, then the daemon piped to logger.
        SpawnPid("sh", 0);
        SpawnPid("sleep", 0);
        if (!AdvanceTo(w.now + 10 * SEC)) break;
        w.daemonPid = SpawnPid("linkwarden", -1);
        SpawnPid("logger", 0);
        w.daemonRunning = true;
        w.inSupervision = w.restartWait = false;
        w.passes = 0;
        w.fdPassBaseline = -1;
        w.lastTraceAt = w.now;
        w.starts++;
        fflush(stdout);
        pid_t child = fork();
        if (child < 0) {
            perror("fork");
            exit(2);
        }
        if (child == 0) RunDaemonProcess(2, argv);
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
        }
        EndProc(w.daemonPid);
        w.daemonRunning = false;
        w.inSupervision = w.restartWait = false;
        if (WIFSIGNALED(status)) {
            Violation("daemon-crashed", "the daemon was killed by signal %d", WTERMSIG(status));
            break;
        }
        int code = WEXITSTATUS(status);
        if (code != EXIT_RUN_OVER && code != EXIT_VIOLATION) WorldNote("linkwarden exits with %d", code);
        if (code == EXIT_RUN_OVER || code == EXIT_VIOLATION || w.violation[0]) break;
        CheckExit(code);
        NoteExit(code);
        if (w.violation[0]) break;
    }
    FinishAccounts();
    if (w.violation[0]) {
        printf("VIOLATION of %s at %.3f s simulated (seed %llu%s): %s\n", w.violation,
               (double)w.violationAt / SEC, (unsigned long long)seed, swarm ? ", swarm member" : "",
               w.violationDetail);
        printf("rerun: scripts/simulate --seed %llu --years %g%s\n", (unsigned long long)seed, o.years,
               swarm ? " --swarm 1" : "");
        PrintTrace(6000);
        return 1;
    }
    Report(o, seed, swarm);
    if (o.trace) PrintTrace(TRACE_RING);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--years" && v) o.years = atof(argv[++i]);
        else if (a == "--seed" && v) o.seed = strtoull(argv[++i], nullptr, 10);
        else if (a == "--faults" && v) o.faults = argv[++i];
        else if (a == "--swarm" && v) o.swarm = atoi(argv[++i]);
        else if (a == "--source" && v) o.source = argv[++i];
        else if (a == "--picture" && v) o.picture = argv[++i];
        else if (a == "--trace") o.trace = true;
        else if (a == "--calibrate") o.calibrate = true;
        else return Usage();
    }
    if (o.years <= 0 || o.years > YEARS_MAX - 1 || o.swarm < 0) return Usage();
    // The box's environment: nothing puts the daemon's paths under another root.
    unsetenv("LINKWARDEN_ROOT");
    void* shared = mmap(nullptr, sizeof(World), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        perror("mmap");
        return 2;
    }
    world = static_cast<World*>(shared);
    if (!LoadBoxFiles(o.source.c_str())) {
        fprintf(stderr, "cannot read the box files under %s/dist\n", o.source.c_str());
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int failed = 0;
    int runs = o.swarm > 0 ? o.swarm : 1;
    for (int r = 0; r < runs && !failed; r++) failed = RunOne(o, o.seed + (uint64_t)r, o.swarm > 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double real = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    double simulated = o.years * runs;
    fprintf(stderr, "%.1f simulated years in %.1f s of real time: %.0f times real time, %.3f "
            "simulated years per second\n",
            simulated, real, simulated * 31557600.0 / real, simulated / real);
    fflush(stdout);
    return failed;
}
