#!/usr/bin/env bash
# The binary that ships: the PowerPC build of linkwarden, run under qemu-ppc, goes through the
# whole cellular start-up against the simulated modem until the link is up and published.
# libfaketime cannot reach a process that qemu emulates, so this runs in real time (about four
# minutes: two modem power cycles with their waits). Usage: ppc_startup.sh PPC_BUILD_DIR
# (the simulator and the PPP stand-ins come from the native build in BUILD_DIR).
PPC_BIN=$(cd "${1:?usage: ppc_startup.sh PPC_BUILD_DIR}" && pwd)/linkwarden
LINKWARDEN_BIN=$PPC_BIN
. "$(dirname "$0")/../e2e/lib.sh"

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
