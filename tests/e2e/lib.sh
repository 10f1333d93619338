# Shared helpers of the end-to-end tests, sourced by tests/e2e/*_test.sh: a sandbox with the
# device simulator, the PPP stand-ins and the daemon under a sped-up clock; waits on the daemon's
# trace bounded in real time; leaf reads; clear failures; and clean-up of every process the test
# started, on any exit.
#
# Environment (ctest sets it): LINKWARDEN_BIN, DEVSIM_BIN, SOURCE_DIR, BUILD_DIR. E2E_TMP: where
# sandboxes are made (default /tmp). E2E_KEEP=1
# keeps the sandbox folder; a failing test always keeps it and names it.
# shellcheck shell=bash

set -u

: "${SOURCE_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
: "${BUILD_DIR:=$SOURCE_DIR/build}"
: "${LINKWARDEN_BIN:=$BUILD_DIR/linkwarden}"
: "${DEVSIM_BIN:=$BUILD_DIR/devsim/linkwarden-devsim}"
E2E_SANDBOX_TOOL=$SOURCE_DIR/devsim/linkwarden-sandbox
E2E_PPP_DIR=$BUILD_DIR/devsim/ppp

E2E_ROOT=""
E2E_SIM_PID=""
E2E_LW_PID=""
E2E_LW_STATUS=""
E2E_FAILED=0
E2E_CHECKS=0

e2e_log() { echo "[e2e $(date +%T)] $*"; }

# The last lines of everything that tells what happened, for a failure report.
e2e_dump() {
    [ -n "$E2E_ROOT" ] || return 0
    local f
    for f in linkwarden.out devsim/pppd.log devsim/fping.log devsim/devsim.out; do
        [ -s "$E2E_ROOT/$f" ] || continue
        echo "----- last lines of $E2E_ROOT/$f" >&2
        tail -n 25 "$E2E_ROOT/$f" >&2
    done
    echo "-----" >&2
}

fail() {
    E2E_FAILED=1
    echo "FAIL: $*" >&2
    e2e_dump
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

e2e_cleanup() {
    local status=$?
    if [ -n "$E2E_ROOT" ]; then
        "$E2E_SANDBOX_TOOL" --stop-all "$E2E_ROOT"
        if [ -n "$E2E_SIM_PID" ] && kill -0 "$E2E_SIM_PID" 2>/dev/null; then
            kill -TERM "$E2E_SIM_PID" 2>/dev/null
            wait "$E2E_SIM_PID" 2>/dev/null
        fi
        if [ "$status" != 0 ] || [ "$E2E_FAILED" = 1 ] || [ "${E2E_KEEP:-0}" = 1 ]; then
            echo "sandbox kept: $E2E_ROOT" >&2
        else
            rm -rf "$E2E_ROOT"
        fi
    fi
    if [ "$status" = 0 ] && [ "$E2E_FAILED" = 0 ]; then
        echo "$E2E_CHECKS passed, 0 failed"
    fi
    exit "$status"
}

# Skips the test (ctest counts exit 0) when a program it needs was not built.
e2e_require_programs() {
    local p
    for p in "$LINKWARDEN_BIN" "$DEVSIM_BIN" "$E2E_PPP_DIR/sim-pppd"; do
        [ -x "$p" ] || fail "missing program $p: build the linkwarden, linkwarden-devsim and sim-* targets"
    done
}

# e2e_make_sandbox DEVICE [--leaf "PATH TYPE VALUE"]...: a fresh seeded sandbox in E2E_ROOT.
e2e_make_sandbox() {
    local device=$1
    shift
    e2e_require_programs
    E2E_ROOT=$(mktemp -d "${E2E_TMP:-/tmp}/lw-e2e.XXXXXX") || fail "cannot create a sandbox folder"
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    "$E2E_SANDBOX_TOOL" --prepare-only --root "$E2E_ROOT" --device "$device" \
        --ppp-dir "$E2E_PPP_DIR" "$@" > /dev/null || fail "the sandbox could not be prepared"
    export LINKWARDEN_ROOT=$E2E_ROOT CDS_STORE=$E2E_ROOT/store
}

e2e_ctl() {  # e2e_ctl "CONTROL LINE": the simulator's answer on stdout
    "$DEVSIM_BIN" --root "$E2E_ROOT" ctl "$1"
}

# e2e_start_sim TYPE [SIMULATOR ARGUMENTS]...: starts the simulator and waits (20 s at most) until
# it answers on its control socket.
e2e_start_sim() {
    local type=$1 i
    shift
    "$DEVSIM_BIN" --root "$E2E_ROOT" --type "$type" "$@" > "$E2E_ROOT/devsim/devsim.out" 2>&1 &
    E2E_SIM_PID=$!
    for ((i = 0; i < 200; i++)); do
        kill -0 "$E2E_SIM_PID" 2>/dev/null || fail "the simulator ended at start"
        if e2e_ctl status > /dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    fail "the simulator did not answer within 20 s"
}

e2e_world() {  # e2e_world NAME VALUE: one file of the simulated world, replaced whole
    printf '%s\n' "$2" > "$E2E_ROOT/devsim/world/$1.tmp" &&
        mv "$E2E_ROOT/devsim/world/$1.tmp" "$E2E_ROOT/devsim/world/$1"
}

# e2e_start_linkwarden SPEED [ARGUMENTS]...: "linkwarden -vd" in the background with its clock
# SPEED times faster, its trace in $E2E_ROOT/linkwarden.out.
e2e_start_linkwarden() {
    local speed=$1 lib
    shift
    # The sanitizer runtime refuses to start behind a preloaded library unless told it may.
    local env_args=(PATH="$E2E_ROOT/bin:$PATH"
        ASAN_OPTIONS="${ASAN_OPTIONS:-verify_asan_link_order=0}")
    if [ "$speed" != 1 ]; then
        lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
        [ -n "$lib" ] || fail "libfaketime is not installed"
        env_args+=(LD_PRELOAD="$lib" FAKETIME="+0 x$speed")
    fi
    # E2E_LW_PREFIX: words put in front of the daemon's command (e.g. a privilege wrapper).
    # shellcheck disable=SC2086
    env "${env_args[@]}" ${E2E_LW_PREFIX:-} stdbuf -oL "$LINKWARDEN_BIN" -vd "$@" \
        > "$E2E_ROOT/linkwarden.out" 2>&1 &
    E2E_LW_PID=$!
    echo "$E2E_LW_PID" > "$E2E_ROOT/devsim/linkwarden.pid"
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
    while :; do
        [ "$(e2e_count "$text")" -ge "$want" ] && return 0
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
    rm -f "$E2E_ROOT/devsim/linkwarden.pid"
}

# e2e_leaf PATH: the value of a leaf (the text after its type word), empty when missing.
e2e_leaf() {
    local file="$E2E_ROOT/store$1" line
    [ -f "$file" ] || return 0
    IFS= read -r line < "$file" || true
    echo "${line#* }"
}

# e2e_wait_leaf PATH VALUE SECONDS: waits until the leaf holds VALUE.
e2e_wait_leaf() {
    local end=$((SECONDS + $3))
    until [ "$(e2e_leaf "$1")" = "$2" ]; do
        [ "$SECONDS" -lt "$end" ] || fail "leaf $1 is \"$(e2e_leaf "$1")\", not \"$2\", after $3 s"
        sleep 0.2
    done
    E2E_CHECKS=$((E2E_CHECKS + 1))
}

e2e_pppd_pid() {  # the pid in the pid file, empty when there is none
    local pid=""
    [ -f "$E2E_ROOT/var/run/ppp1.pid" ] && read -r pid < "$E2E_ROOT/var/run/ppp1.pid"
    echo "$pid"
}

e2e_alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# The address as the daemon publishes it: a 32-bit value, first number in the top byte, signed.
e2e_addr_int() {
    local a b c d
    IFS=. read -r a b c d <<<"$1"
    local v=$(((a << 24) | (b << 16) | (c << 8) | d))
    [ "$v" -ge 2147483648 ] && v=$((v - 4294967296))
    echo "$v"
}

# e2e_end_sandbox: stops everything the current sandbox started and removes it (a failure keeps
# it), so that one script can run several sandboxes in turn.
e2e_end_sandbox() {
    [ -n "$E2E_ROOT" ] || return 0
    "$E2E_SANDBOX_TOOL" --stop-all "$E2E_ROOT"
    if [ -n "$E2E_SIM_PID" ] && kill -0 "$E2E_SIM_PID" 2>/dev/null; then
        kill -TERM "$E2E_SIM_PID" 2>/dev/null
        wait "$E2E_SIM_PID" 2>/dev/null
    fi
    [ "${E2E_KEEP:-0}" = 1 ] && echo "sandbox kept: $E2E_ROOT" >&2 || rm -rf "$E2E_ROOT"
    E2E_ROOT="" E2E_SIM_PID="" E2E_LW_PID="" E2E_LW_STATUS=""
}

# e2e_stop_linkwarden: ends a daemon that is still running with SIGTERM; E2E_LW_STATUS is 143
# when it was still there to be stopped.
e2e_stop_linkwarden() {
    e2e_alive "$E2E_LW_PID" || fail "linkwarden ended on its own before it was stopped"
    kill -TERM "$E2E_LW_PID"
    e2e_wait_exit 30
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

e2e_set_leaf() {  # e2e_set_leaf PATH TYPE VALUE: one leaf written as the store keeps it
    mkdir -p "$(dirname "$E2E_ROOT/store$1")" && printf '%s %s\n' "$2" "$3" > "$E2E_ROOT/store$1" ||
        fail "cannot write leaf $1"
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
