#!/usr/bin/env bash
# CI's field simulation: one year of the default field mix at a fixed seed, run twice, which must
# break no invariant and print the same report byte for byte; then a swarm (each member a random
# part of the faults at random rates, random watchdog settings) of a fixed simulated budget,
# about two minutes of one core. The simulator's stderr (real time, speed-up) is shown as it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/simulate
mkdir -p "$out"
scripts/simulate --years 1 --seed 1 > "$out/year.txt"
scripts/simulate --years 1 --seed 1 > "$out/year-again.txt"
cmp "$out/year.txt" "$out/year-again.txt" || { echo "seed 1 printed two different reports"; exit 1; }
cat "$out/year.txt"
scripts/simulate --swarm "${SWARM_MEMBERS:-24}" --years 0.5 --seed 1000 > "$out/swarm.txt" ||
    { cat "$out/swarm.txt"; exit 1; }
tail -n 2 "$out/swarm.txt"
