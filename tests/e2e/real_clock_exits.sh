#!/usr/bin/env bash
# The short exits of the real binary on the real clock, for a sanitizer build: libfaketime's
# preload makes LeakSanitizer abort at exit instead of reporting, so the end-to-end tests cannot
# show a leak. Here, with no preload and leak detection on: no store, no modem fitted, a
# configuration that fails (analog option, no modem port) and an analog modem configured. Each
# must exit 0 with no sanitizer report. First, a tiny program that leaks on purpose must be
# reported under the same options, so a silent LeakSanitizer cannot pass for a clean daemon.
# Usage: real_clock_exits.sh (LINKWARDEN_BIN, DEVSIM_BIN and BUILD_DIR name the sanitizer build).
. "$(dirname "$0")/lib.sh"

# verify_asan_link_order=0: the daemon runs behind stdbuf, whose line buffering is a preload too.
export ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 LSAN_OPTIONS=exitcode=23
unset LD_PRELOAD FAKETIME

probe_dir=$(mktemp -d /tmp/lw-lsan-probe.XXXXXX) || fail "cannot create a folder for the leak probe"
printf '#include <stdlib.h>\nvoid* volatile kept;\nint main(void) { kept = malloc(64); kept = 0; return 0; }\n' \
    > "$probe_dir/leak.c"
gcc -fsanitize=address -g -o "$probe_dir/leak" "$probe_dir/leak.c" || fail "cannot build the leak probe"
probe_status=0
stdbuf -oL "$probe_dir/leak" > "$probe_dir/out" 2>&1 || probe_status=$?  # started as the daemon is
grep -q "ERROR: LeakSanitizer: detected memory leaks" "$probe_dir/out" && [ "$probe_status" = 23 ] ||
    fail "LeakSanitizer is not live: a 64-byte leak went unreported (status $probe_status): $(cat "$probe_dir/out")"
rm -rf "$probe_dir"
e2e_log "LeakSanitizer reports a deliberate leak"

# exit NAME DEVICE EXPECTED-TRACE-TEXT [prepare steps are done by the caller]
run_exit() {
    local name=$1 text=$2
    e2e_start_linkwarden 1
    e2e_wait_exit 120
    assert_eq 0 "$E2E_LW_STATUS" "exit status ($name)"
    e2e_assert_no_crash
    [ "$(e2e_count "$text")" -ge 1 ] || fail "no \"$text\" in the trace ($name)"
    e2e_log "$name: exit 0, no sanitizer report"
}

e2e_make_sandbox none
CDS_STORE=$E2E_ROOT/no-such-store run_exit "no store" "linkWarden: initialize CDS connection."
run_exit "no modem fitted" "CFG-MAIN: NO modem is installed, exit linkwarden."
e2e_end_sandbox

# The analog option without a modem port: the reset request goes unanswered, the port cannot
# be opened, and the configuration fails.
e2e_make_sandbox analog
rm -f "$E2E_ROOT/dev/ttyPSC7"
run_exit "configuration failed" "CFG-MAIN: ConfigureModem FAILED, Exit"
e2e_end_sandbox

e2e_make_sandbox analog
e2e_start_sim analog
run_exit "analog modem configured" "CFG-MAIN: Analog modem configured OK"
