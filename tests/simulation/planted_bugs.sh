#!/usr/bin/env bash
# The invariants against real bugs: each bug below is planted alone in a scratch copy of the
# committed tree (build/plants/NAME), and the field simulation runs the decade at seed 1 and, when
# that breaks nothing, CI's swarm. Prints which invariant caught each bug and when; a bug that
# nothing catches is a missing invariant. Takes about twenty minutes of two cores; not part of CI.
#   tests/simulation/planted_bugs.sh [NAME...]
set -euo pipefail
cd "$(dirname "$0")/../.."
# name~file~the text as it is~the text with the bug (the last two: the old code back)
bugs=(
  "pid-file-descriptor~supervision/ppp_control.cpp~    OsClose(fd);
    text[got]~    text[got]"
  "close-on-exec~serial/port.cpp~O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC~O_RDWR | O_NOCTTY | O_NONBLOCK"
  "any-process-is-pppd~supervision/ppp_control.cpp~    if (strcmp(name, \"pppd\") == 0) return true;~    return true;"
  "power-spacing-on-wall-clock~app/hw_reset.cpp~    return static_cast<int64_t>(OsMonotonicSeconds()) - lastPowerRequestMonotonic;~    return globalSec - lastPowerRequestSec;"
  "refresh-in-16-bits~supervision/watchdog.h~    int refreshElapsed;~    short refreshElapsed;"
  "aux-count-never-reset~supervision/watchdog.cpp~        counters.auxFailCount = 0;~        ;"
  "stale-address-published~supervision/watchdog.cpp~    PublishPPP1IpAddr();~    WriteIntLeaf(ReadPPP1IpAddrFromCds(), LEAF_CELL_IP_ADDR);"
  "first-own-line-taken~serial/text_utils.cpp~    char* start = echo != nullptr ? OwnResultLine(echo + strlen(cmd), cmd) : nullptr;~    char* start = nullptr; (void)echo;"
)
for bug in "${bugs[@]}"; do
    IFS='~' read -r -d '' name file old new <<< "$bug" || true
    new=${new%$'\n'}
    [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
    dir=build/plants/$name
    rm -rf "$dir" && mkdir -p "$dir"
    git archive HEAD | tar -x -C "$dir"
    python3 -c 'import sys; p,o,n=sys.argv[1:4]; s=open(p).read(); assert s.count(o)==1, o; open(p,"w").write(s.replace(o,n))' \
        "$dir/$file" "$old" "$new"
    cmake -S "$dir" -B "$dir/build" -DLINKWARDEN_TESTS=OFF >/dev/null
    cmake --build "$dir/build" -j "$(nproc)" --target linkwarden-simulate >/dev/null
    sim=$dir/build/fieldsim/linkwarden-simulate
    if $sim --years 10 --seed 1 > "$dir/decade.txt" 2>/dev/null; then
        $sim --swarm 24 --years 0.5 --seed 1000 > "$dir/swarm.txt" 2>/dev/null || true
        echo "$name: the decade ran clean; swarm: $(grep -m1 '^VIOLATION' "$dir/swarm.txt" || echo 'nothing caught it')"
    else
        echo "$name: $(grep -m1 '^VIOLATION' "$dir/decade.txt")"
    fi
done
