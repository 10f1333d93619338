# Shared by tests/e2e/*_test.sh: the sandbox (devsim/linkwarden-sandbox) builds the world and runs
# the daemon; here are the waits on the daemon's trace, bounded in real time, the reads of what it
# left, clear failures, and the clean-up of every process the test started, on any exit.
#
# Environment (ctest sets it): LINKWARDEN_BIN, DEVSIM_BIN, CDS_BIN, SOURCE_DIR, BUILD_DIR. E2E_TMP:
# where sandboxes are made (default /tmp). E2E_KEEP=1 keeps the sandbox folder; a failing test
# always keeps it and names it.
# shellcheck shell=bash

set -u

: "${SOURCE_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
: "${BUILD_DIR:=$SOURCE_DIR/build}"
: "${CDS_BIN:=$BUILD_DIR/cds}"
: "${LINKWARDEN_BIN:=$BUILD_DIR/linkwarden}"
: "${DEVSIM_BIN:=$BUILD_DIR/devsim/linkwarden-devsim}"
export LINKWARDEN_BIN DEVSIM_BIN
E2E_SANDBOX=("$SOURCE_DIR/devsim/linkwarden-sandbox" --build-dir "$BUILD_DIR")

E2E_ROOT=""
E2E_LW_PID=""
E2E_LW_STATUS=""
E2E_FAILED=0
E2E_CHECKS=0

e2e_log() { echo "[e2e $(date +%T)] $*"; }

fail() {
    E2E_FAILED=1
    echo "FAIL: $*" >&2
    local f
    for f in linkwarden.out devsim/sandbox.out devsim/pppd.log devsim/devsim.out; do
        [ -n "$E2E_ROOT" ] && [ -s "$E2E_ROOT/$f" ] || continue
        echo "----- last lines of $E2E_ROOT/$f" >&2
        tail -n 25 "$E2E_ROOT/$f" >&2
    done
    exit 1
}

assert_eq() {  # assert_eq EXPECTED ACTUAL WHAT
    E2E_CHECKS=$((E2E_CHECKS + 1))
    [ "$1" = "$2" ] || fail "$3: expected \"$1\", got \"$2\""
}

assert_ne() {  # assert_ne UNWANTED ACTUAL WHAT
    E2E_CHECKS=$((E2E_CHECKS + 1))
    [ "$1" != "$2" ] || fail "$3: got \"$2\", which it must not be"
}

# e2e_end_sandbox: stops everything the current sandbox started and removes it (a failure keeps
# it), so that one script can run several sandboxes in turn.
e2e_end_sandbox() {
    [ -n "$E2E_ROOT" ] || return 0
    [ -z "$E2E_LW_PID" ] || kill -TERM "$E2E_LW_PID" 2>/dev/null
    "${E2E_SANDBOX[@]}" --stop-all "$E2E_ROOT"
    [ -z "$E2E_LW_PID" ] || wait "$E2E_LW_PID" 2>/dev/null
    if [ "$E2E_FAILED" = 1 ] || [ "${E2E_KEEP:-0}" = 1 ]; then
        echo "sandbox kept: $E2E_ROOT" >&2
    else
        rm -rf "$E2E_ROOT"
    fi
    E2E_ROOT="" E2E_LW_PID="" E2E_LW_STATUS=""
}

e2e_cleanup() {
    local status=$?
    [ "$status" = 0 ] || E2E_FAILED=1
    e2e_end_sandbox
    [ "$E2E_FAILED" = 1 ] || echo "$E2E_CHECKS passed, 0 failed"
    exit "$status"
}
trap e2e_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# e2e_sandbox DEVICE [SANDBOX OPTIONS]...: a fresh sandbox in E2E_ROOT, seeded for DEVICE, with
# the simulator running (--leaf, --rate, --set and --fault as the sandbox takes them).
e2e_sandbox() {
    local dir
    dir=$(mktemp -d "${E2E_TMP:-/tmp}/lw-e2e.XXXXXX") || fail "cannot create a sandbox folder"
    E2E_ROOT=$dir
    "${E2E_SANDBOX[@]}" --no-daemon --root "$dir" --device "$@" > /dev/null 2> "$dir/sandbox.err" ||
        fail "the sandbox did not come up: $(cat "$dir/sandbox.err")"
}

e2e_ctl() {  # e2e_ctl "CONTROL LINE": the simulator's answer on stdout; a refusal fails the test
    local answer
    answer=$("$DEVSIM_BIN" --root "$E2E_ROOT" ctl "$1") || fail "the simulator refused \"$1\": $answer"
    echo "$answer"
}

# e2e_start_linkwarden SPEED [ARGUMENTS]...: "linkwarden -vd" in the background with its clock
# SPEED times faster, its trace in $E2E_ROOT/linkwarden.out.
e2e_start_linkwarden() {
    local speed=$1
    shift
    "${E2E_SANDBOX[@]}" --daemon-only --root "$E2E_ROOT" --quiet --speed "$speed" \
        --duration 3600 -- "$@" > "$E2E_ROOT/devsim/sandbox.out" 2>&1 &
    E2E_LW_PID=$!
}

e2e_count() {  # e2e_count TEXT: how many trace lines hold TEXT (0 before the trace exists)
    local n
    n=$(grep -c -F -e "$1" "$E2E_ROOT/linkwarden.out" 2>/dev/null)
    echo "${n:-0}"
}

# e2e_wait_for TEXT SECONDS [COUNT]: waits until the trace holds TEXT at least COUNT times
# (default 1). Fails when the real-time bound passes or the daemon ends without it.
e2e_wait_for() {
    local text=$1 seconds=$2 want=${3:-1}
    local end=$((SECONDS + seconds))
    while [ "$(e2e_count "$text")" -lt "$want" ]; do
        if ! kill -0 "$E2E_LW_PID" 2>/dev/null; then
            [ "$(e2e_count "$text")" -ge "$want" ] && return 0
            fail "linkwarden ended before its trace showed \"$text\" ($want time(s))"
        fi
        [ "$SECONDS" -lt "$end" ] || fail "no \"$text\" ($want time(s)) in the trace within $seconds s"
        sleep 0.2
    done
}

# e2e_wait_exit SECONDS: waits for the daemon to end and puts its status in E2E_LW_STATUS.
e2e_wait_exit() {
    local end=$((SECONDS + $1))
    while kill -0 "$E2E_LW_PID" 2>/dev/null; do
        [ "$SECONDS" -lt "$end" ] || fail "linkwarden still runs after $1 s"
        sleep 0.2
    done
    wait "$E2E_LW_PID"
    E2E_LW_STATUS=$?
    E2E_LW_PID=""
}

# e2e_assert_no_crash: the daemon's exit status is no death by a signal it did not get from the
# test, and its output holds no sanitizer report.
e2e_assert_no_crash() {
    E2E_CHECKS=$((E2E_CHECKS + 1))
    case "$E2E_LW_STATUS" in
        0 | 1 | 143) ;;
        *) fail "linkwarden ended with status $E2E_LW_STATUS" ;;
    esac
    if grep -a -q -E 'ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer' \
        "$E2E_ROOT/linkwarden.out"; then
        fail "sanitizer report in the daemon's output"
    fi
}

# e2e_leaf PATH: the value of a leaf (the text after its type word), empty when missing.
e2e_leaf() {
    local file="$E2E_ROOT/store$1" line
    [ -f "$file" ] || return 0
    IFS= read -r line < "$file" || true
    echo "${line#* }"
}

# The address as the daemon publishes it: a 32-bit value, first number in the top byte, signed.
e2e_addr_int() {
    local a b c d
    IFS=. read -r a b c d <<<"$1"
    local v=$(((a << 24) | (b << 16) | (c << 8) | d))
    [ "$v" -ge 2147483648 ] && v=$((v - 4294967296))
    echo "$v"
}

# e2e_trace_lines REGEX: the trace lines that match, each ended by "|" so that trailing blanks
# show and count in a comparison.
e2e_trace_lines() {
    grep -E -e "$1" "$E2E_ROOT/linkwarden.out" | sed 's/$/|/' || true
}

# e2e_commands PORT: the commands the modem heard on PORT (data or aux), one a line, a command
# repeated at once (a retried exchange on a loaded machine) counted once.
e2e_commands() {
    awk -v port="$1" '$2 == port { sub(/^[^ ]+ [^ ]+ /, ""); print }' \
        "$E2E_ROOT/devsim/commands.log" 2>/dev/null | uniq
}

e2e_sim_status() {  # e2e_sim_status NAME: one field of the simulator's status
    e2e_ctl status | awk -v name="$1" '$1 == name { print $2 }'
}
