#!/usr/bin/env bash
# The binary that ships: the PowerPC build of linkwarden, run under qemu-ppc, goes through the
# whole cellular start-up against the simulated modem until the link is up and published; then its
# wall clock is set forward to just before 2038-01-19 03:14:08 UTC, where 32-bit seconds end, and
# it has to go on polling the aux port, refreshing the link and pinging on the far side of it.
# libfaketime cannot reach the emulated process itself, but qemu-user carries out the guest's clock
# calls through the host C library, so it is preloaded into qemu; its monotonic clock stays real.
# Everything runs in real time (about six minutes: two modem power cycles with their waits, then
# two minutes of supervision). Usage: ppc_startup.sh PPC_BUILD_DIR (the simulator and the PPP
# stand-ins come from the native build in BUILD_DIR).
PPC_BIN=$(cd "${1:?usage: ppc_startup.sh PPC_BUILD_DIR}" && pwd)/linkwarden
LINKWARDEN_BIN=$PPC_BIN
. "$(dirname "$0")/../e2e/lib.sh"
# The sandbox tool stops a recorded daemon only while /proc says it runs a linkwarden binary; under
# emulation it runs qemu-ppc, and the daemon would outlive the test. So the daemon starts in a
# process group of its own with a mark in its environment that everything it starts inherits
# (pppd leaves the group to become a daemon), and on every exit, before the usual clean-up,
# whatever is in that group or carries the mark is stopped.
PPC_MARK="LINKWARDEN_PPC_RUN=$$"
E2E_LW_PREFIX="env $PPC_MARK setsid"

ppc_marked_pids() {  # every running process that carries the mark (read in bash, no helpers)
    local p kv
    for p in /proc/[0-9]*; do
        while IFS= read -r -d '' kv; do
            if [ "$kv" = "$PPC_MARK" ]; then
                echo "${p#/proc/}"
                break
            fi
        done 2>/dev/null < "$p/environ"
    done
}

ppc_stop_marked() {  # TERM, and KILL for what is left after 4 s
    local i pids signal=TERM
    for ((i = 0; i < 50; i++)); do
        [ "$i" -ge 40 ] && signal=KILL
        [ -n "$E2E_LW_PID" ] && kill -"$signal" -- "-$E2E_LW_PID" 2>/dev/null
        pids=$(ppc_marked_pids)
        [ -n "$pids" ] || break
        # shellcheck disable=SC2086
        kill -"$signal" $pids 2>/dev/null
        sleep 0.1
    done
    [ -z "$E2E_LW_PID" ] || wait "$E2E_LW_PID" 2>/dev/null
}

# The library's clean-up (run by its EXIT trap) with the stop above in front.
eval "lib_$(declare -f e2e_cleanup)"
e2e_cleanup() {
    local status=$?
    ppc_stop_marked
    (exit "$status")
    lib_e2e_cleanup
}

SETTINGS=/U6C/Comms/CellModem/Settings
WRAP=2147483648  # 2038-01-19 03:14:08 UTC

e2e_make_sandbox gsm \
    --leaf "$SETTINGS/RefreshInterval/Value int 1" \
    --leaf "$SETTINGS/AutoPingInterval/Value int 5" \
    --leaf "$SETTINGS/AutoPingTimeout/Value int 1"
# A modem that answers at once keeps the run short; the probing itself is proved natively.
e2e_start_sim cell --rate 115200
faketime_lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
[ -n "$faketime_lib" ] || fail "libfaketime is not installed"
clock_file=$E2E_ROOT/clock-offset
echo "+0" > "$clock_file"
cat > "$E2E_ROOT/linkwarden-ppc" <<WRAPPER
#!/bin/sh
exec env LD_PRELOAD=$faketime_lib FAKETIME_TIMESTAMP_FILE=$clock_file FAKETIME_NO_CACHE=1 \\
    FAKETIME_DONT_FAKE_MONOTONIC=1 qemu-ppc -U LD_PRELOAD -L /usr/powerpc-linux-gnu $PPC_BIN "\$@"
WRAPPER
chmod +x "$E2E_ROOT/linkwarden-ppc"
LINKWARDEN_BIN=$E2E_ROOT/linkwarden-ppc
e2e_start_linkwarden 1

# The trace of an emulated process may sit in its stdio buffer, so the leaves tell the progress.
e2e_wait_leaf /U6IC/Comms/CellularModem/Configured/Value true 600
assert_eq "$(e2e_addr_int 10.170.3.25)" "$(e2e_leaf /U6IC/Comms/CellularModem/IPAddr/Value)" "address leaf"
assert_eq 353535099996462 "$(e2e_leaf /U6IC/Comms/CellularModem/IMEI/Value)" "IMEI leaf"
assert_eq 20972044 "$(e2e_leaf /U6R/Comms/CellularModem/Version/Value)" "firmware version leaf"
assert_eq 4 "$(e2e_leaf /U6R/Comms/CellularModem/ModemType/Value)" "modem type leaf"
grep -q "AT+IPR=115200" "$E2E_ROOT/devsim/commands.log" || fail "the modem never got AT+IPR=115200"
e2e_log "the PowerPC linkwarden configured the modem and brought the link up"

# Twelve years forward, to 10 s before the wrap: the step itself must neither fire nor silence the
# watchdog, and its `now` runs on from INT_MIN past the wrap.
echo "+$((WRAP - 10 - $(date +%s)))" > "$clock_file"
polls_before=$(e2e_commands aux | grep -c 'AT+CSQ')
e2e_wait_for "HCM: Pinging 192.0.2.1; now = -214748" 60
e2e_wait_for "HCM: Refresh time elapsed. now = -214748" 120
assert_eq 0 "$(e2e_count "HCM: Refresh time elapsed. now = 214748")" "refreshes fired by the step"
resurrected=$(e2e_count "HCM: PPP1 connection resurrected")
e2e_wait_for "HCM: PPP1 connection resurrected" 120 $((resurrected + 1))
pings=$(e2e_count "HCM: Ping successful")
e2e_wait_for "HCM: Ping successful" 60 $((pings + 1))
assert_eq 0 "$(e2e_count "HCM: Ping failed")" "failed pings"
assert_ne "$polls_before" "$(e2e_commands aux | grep -c 'AT+CSQ')" "aux-port polls after the wrap"
e2e_log "past 2038 it polls, refreshes and pings: $(e2e_trace_lines 'now = -' | tail -n 1)"
