#!/usr/bin/env bash
# The whole cellular start-up against a modem whose saved rate is 9600 bps while it still talks at
# 115200: only a real power cycle through the store's request leaves brings it to 9600, so the
# rate found at probe 4 proves the reset. Then the rate change, ping answering, identity and
# signal printed and published, the port layout, the second reset (the modem reports the new
# layout active), pppd and the link address.
. "$(dirname "$0")/lib.sh"

SPEED=10
CM=/U6IC/Comms/CellularModem
CR=/U6R/Comms/CellularModem
LINK=198.51.100.7

e2e_sandbox verizon --rate 9600 --set "rate 115200" --set "imei 356938035643809" \
    --set "iccid 8944500102198304826" --set "fw 20.00.014" --set "cfvr 7" \
    --set "link-address $LINK"
e2e_start_linkwarden "$SPEED"

e2e_log "start-up"
e2e_wait_for "CFG-MAIN: ConfigureModem says OK" 400
assert_eq "  CFG-MAIN: Cell modem is installed: type: 5. |
CFG-PWR: Successfully sent Power set 0 request to Modem.|
CFG-PWR: Successfully sent Power set 1 request to Modem.|
CFG-CFG: Attempt 0 out of 50000) to configure cell modem data port|
CFG-SCB: found cell's current baud: idx:4, 9600 bps. |
CFG-SCB: cell modem set to 115200 bps.  |
CFG-SCB: found cell's current baud: idx:1, 115200 bps. |
CFG-SCB: cell modem set to 115200 bps.  |
CFG-CFG: enable ping code: 2|
CFG-CFG: Cell modem comms OK |
 Sim ID: 8944500102198304826    |
 IMEI: 356938035643809   |
 FW Ver: 20.00.014.07|
 Signal: -79 dBm   bars:3|
CFG-PWR: Successfully sent Power set 0 request to Modem.|
CFG-PWR: Successfully sent Power set 1 request to Modem.|
CFG-SCB: found cell's current baud: idx:1, 115200 bps. |
CFG-SCB: cell modem set to 115200 bps.  |
CFG-CFG:Set baud after reboot|
CFG-HCE: PPP1 connection up|
CFG-CFG: Successfully brought up PPP connection|
CFG-MAIN: ConfigureModem retval: 1|
 CFG-MAIN: ConfigureModem says OK |" \
    "$(e2e_trace_lines '^( *CFG-MAIN: (Cell|Conf)|CFG-(PWR: Succ|SCB: (found|cell)|HCE: PPP)'\
'|CFG-CFG: ?(Att|ena|Cel|Set|Suc)|  ?[A-Z][A-Za-z ]+: [-0-9])')" "start-up trace"
assert_eq "AT AT+IPR=115200 AT&W AT AT+IPR=115200 AT&W AT#ICMP=2 AT+CCID AT+CGSN AT+GMR \
AT#CFVR AT+CSQ AT+CMEE=2 ATE1 AT#PORTCFG=3 AT AT+IPR=115200 AT&W ATD*99***3# " \
    "$(e2e_commands data | tr '\n' ' ')" "commands on the data port"
# The first aux-port poll, which rewrites the signal leaves, is a minute of the daemon's clock away.
while read -r leaf want; do
    assert_eq "$want" "$(e2e_leaf "$leaf")" "leaf $leaf after the start-up"
done <<EOF
$CM/IMEI/Value 356938035643809
$CM/CCID/Value 8944500102198304826
$CR/Version/Value $(((20 << 20) | (0 << 12) | 14))
$CR/FactoryConfigVersion/Value 7
$CR/SignalStrength/Value 3
$CR/DbLevel/Value -79
$CR/ModemType/Value 5
$CM/IPAddr/Value $(e2e_addr_int $LINK)
$CM/Configured/Value true
/U6F/AnalogModem/Configured/Value false
EOF
assert_eq "3,3 2 115200" \
    "$(e2e_sim_status portcfg) $(e2e_sim_status icmp) $(e2e_sim_status saved-rate)" \
    "modem port layout (requested,active), ping answering, saved rate"

