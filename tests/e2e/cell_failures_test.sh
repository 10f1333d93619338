#!/usr/bin/env bash
# Two ways a cellular start-up goes wrong, in one run: a modem that answers nothing costs whole
# attempts, each ended by a power cycle through the store, until it speaks again; then pppd starts
# but never leaves its pid file, so the link is never seen up and the process ends with status 1
# for the outside supervisor to start it again.
. "$(dirname "$0")/lib.sh"

SPEED=10
CM=/U6IC/Comms/CellularModem
ATTEMPT_TRACE="CFG-CFG: Attempt %d out of 50000) to configure cell modem data port"

e2e_make_sandbox sprint
e2e_start_sim cell --set "silent on"
e2e_world ppp_fault no-pidfile
e2e_start_linkwarden "$SPEED"

e2e_log "silent modem"
# shellcheck disable=SC2059
e2e_wait_for "$(printf "$ATTEMPT_TRACE" 1)" 400
e2e_ctl "silent off" > /dev/null || fail "the simulator refused \"silent off\""
power_cycle="CFG-PWR: Successfully sent Power set 0 request to Modem.|
CFG-PWR: Successfully sent Power set 1 request to Modem.|"
# A rate never found is no failed attempt of its own: only the power cycle follows it.
# shellcheck disable=SC2059
assert_eq "$power_cycle
$(printf "$ATTEMPT_TRACE|" 0)
CFG-SCB: *** DIDN'T FIND CURRENT BAUD IN ANY SELECTION ***|
$power_cycle
$(printf "$ATTEMPT_TRACE|" 1)" \
    "$(e2e_trace_lines '^CFG-(PWR: (Succ|Fail)|CFG: (Att|\*)|SCB: \*)' | sed '/Attempt 1 out/q')" \
    "attempts while the modem is silent"

e2e_log "pppd without a pid file"
e2e_wait_exit 400
assert_eq 1 "$E2E_LW_STATUS" "exit status when the link is never seen up"
assert_eq "CFG-CFG: Cell modem comms OK |
CFG-HCE: PPP1 connection not up. Exiting|" \
    "$(e2e_trace_lines '^CFG-(CFG: Cell|CFG: Succ|HCE|MAIN: Conf)')" "end of the trace"
e2e_commands data | grep -qxF 'ATD*99***3#' || fail "pppd's chat never dialled"
assert_eq "false " "$(e2e_leaf $CM/Configured/Value) $(e2e_leaf $CM/IPAddr/Value)" \
    "configured and address leaves"
