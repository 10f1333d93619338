#!/usr/bin/env bash
# The binary that ships: the PowerPC build of linkwarden, run under qemu-ppc, goes through the
# whole cellular start-up against the simulated modem until the link is up and published.
# libfaketime cannot reach a process that qemu emulates, so this runs in real time (about four
# minutes: two modem power cycles with their waits). Usage: ppc_startup.sh PPC_BUILD_DIR
# (the simulator and the PPP stand-ins come from the native build in BUILD_DIR).
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

e2e_make_sandbox gsm
# A modem that answers at once keeps the run short; the probing itself is proved natively.
e2e_start_sim cell --rate 115200
printf '#!/bin/sh\nexec qemu-ppc -L /usr/powerpc-linux-gnu %s "$@"\n' "$PPC_BIN" > "$E2E_ROOT/linkwarden-ppc"
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
