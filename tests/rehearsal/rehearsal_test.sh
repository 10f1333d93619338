#!/usr/bin/env bash
# One plan of the box rehearsal as a test: boots the rehearsal kernel, runs the plan's scenarios
# against the real pppd, chat, fping and BusyBox init, and then checks the host: the box wrote
# nothing outside the run folder, mounted nothing of the host writable but it, and left nothing
# running. Usage: rehearsal_test.sh gsm|analog|ppc BUILD_DIR [PPC_BUILD_DIR]
# The run folder is BUILD_DIR/rehearsal/PLAN, or $REHEARSAL_RUN_DIR.
set -uo pipefail
plan=${1:?usage: rehearsal_test.sh PLAN BUILD_DIR [PPC_BUILD_DIR]}
build=$(cd "${2:?usage: rehearsal_test.sh PLAN BUILD_DIR [PPC_BUILD_DIR]}" && pwd)
ppc_build=${3:-$build/../build-ppc}
here=$(cd "$(dirname "$0")" && pwd)
run=${REHEARSAL_RUN_DIR:-$build/rehearsal/$plan}
rm -rf "$run"
mkdir -p "$run"

start=$SECONDS
"$here/../../boxemu/boot" --run "$run" --plan "$plan" --build "$build" --ppc-build "$ppc_build" --limit 1500
echo "rehearsal $plan: $((SECONDS - start)) s"
[ "$plan" = analog ] || "$here/../../scripts/recovery" "$run" || true  # figures, never a verdict

failures=0
bad() { echo "FAIL $*"; failures=$((failures + 1)); }
cat "$run/results"
grep -q '^PASS' "$run/results" || bad "the plan reported nothing (see $run/console.log)"
grep -q '^FAIL' "$run/results" && failures=$((failures + 1))

# The box's writes: none of them may have reached the host. Each path the box created or changed
# is either absent on the host or older than the run.
[ -s "$run/box-writes" ] || bad "the box did not list its writes"
written=0
while read -r path; do
    path=${path#.}
    [ -e "$path" ] && [ "$path" -nt "$run/started" ] && [ -f "$path" ] && bad "the host's $path changed"
    written=$((written + 1))
done < <(grep '^\./' "$run/box-writes" 2>/dev/null)
for path in /etc/inittab /etc/ppp/chat.cellmodem.data /var/lib/cds /jffs; do
    [ "$plan" != gsm ] || grep -qx ".$path" "$run/box-writes" || bad "the box never wrote $path"
done
echo "the box wrote $written paths, none of them on the host"
# The host is mounted read-only; only the run folder is writable.
if [ -f "$run/box-mounts" ]; then
    awk '$3 == "hostfs" && $4 !~ /^ro/ && $2 != "/out"' "$run/box-mounts" | grep . &&
        bad "a host folder other than the run folder was writable in the box"
else
    bad "the box did not list its mounts"
fi
# Nothing of the rehearsal outlives it.
sleep 1
left=$(pgrep -af -- "$run(/| |\$)") && bad "processes of the rehearsal still run: $left"

[ "$failures" = 0 ] || { echo "rehearsal $plan: $failures failures; the run is in $run"; exit 1; }
echo "rehearsal $plan: passed"
