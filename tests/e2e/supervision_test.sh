#!/usr/bin/env bash
# The whole daemon in the sandbox with the simulated modem and its clock sped up: it configures
# the modem and brings pppd up; a pppd killed from outside is started again and the link address
# is published anew; a network that drops the pings ends the process with status 1 after the
# configured number of failed pings. Waits are bounded in real time and generous: the machine may
# be loaded, and nothing here depends on its speed.
. "$(dirname "$0")/lib.sh"

SPEED=5
SETTINGS=/U6C/Comms/CellModem/Settings
ADDR_LEAF=/U6IC/Comms/CellularModem/IPAddr/Value

e2e_make_sandbox gsm \
    --leaf "$SETTINGS/RefreshInterval/Value int 0" \
    --leaf "$SETTINGS/AutoPingInterval/Value int 5" \
    --leaf "$SETTINGS/AutoPingRetries/Value int 3" \
    --leaf "$SETTINGS/AutoPingTimeout/Value int 1" \
    --leaf "$SETTINGS/AutoPingIp/Value string 192.0.2.1"
e2e_start_sim cell --rate 115200
e2e_start_linkwarden "$SPEED"

e2e_log "configuration and first bring-up"
e2e_wait_for "CFG-CFG: Successfully brought up PPP connection" 400
assert_eq "$(e2e_addr_int 10.170.3.25)" "$(e2e_leaf $ADDR_LEAF)" "address leaf after bring-up"
assert_eq "true" "$(e2e_leaf /U6IC/Comms/CellularModem/Configured/Value)" "configured leaf"
first=$(e2e_pppd_pid)
e2e_alive "$first" || fail "no running pppd after bring-up (pid file: \"$first\")"
e2e_wait_for "HCM: Ping successful" 120

e2e_log "pppd killed from outside"
# A new address from the peer shows that the leaf is written again, not left from before.
e2e_world link_address 10.170.3.26
kill -TERM "$first"
e2e_wait_for "HCM: PPP1 connection resurrected" 120
e2e_wait_leaf $ADDR_LEAF "$(e2e_addr_int 10.170.3.26)" 120
second=$(e2e_pppd_pid)
e2e_alive "$second" || fail "no running pppd after the restart (pid file: \"$second\")"
assert_ne "$first" "$second" "pppd pid after the restart"
pings_before_drop=$(e2e_count "HCM: Ping successful")
e2e_wait_for "HCM: Ping successful" 120 $((pings_before_drop + 1))

e2e_log "network drops the pings"
e2e_world pings dropped
e2e_wait_for "HCM: Ping failed 3 times. Restarting the modem" 120
e2e_wait_exit 60
assert_eq 1 "$E2E_LW_STATUS" "exit status after the failed pings"
assert_eq 1 "$(e2e_count "HCM: Ping failed. pingFailCount = 3")" "third failed ping reported once"
assert_eq 0 "$(e2e_count "HCM: PPP1 connection not resurrected")" "restart failures"
