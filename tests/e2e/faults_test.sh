#!/usr/bin/env bash
# Faults of the world around the daemon, each against the real binary in the sandbox with its
# clock sped up: identity answers with NUL and 8-bit bytes, the store gone under a running
# supervision, an aux port flooded with noise, the modem unplugged under a running link, and a
# flooded data port during configuration. In every case the daemon does what it is meant to, ends
# by no signal of its own and leaves no sanitizer report. Waits are bounded in real time and
# generous; nothing here depends on the machine's speed.
. "$(dirname "$0")/lib.sh"

SPEED=20
SETTINGS=/U6C/Comms/CellModem/Settings
CELL=/U6IC/Comms/CellularModem
SIGNAL=/U6R/Comms/CellularModem
GOOD_SIG=" [sig -79 dBm, 3 bars"  # the simulator's default level, CSQ 17
AUX_FAIL="HCM:Failed to read from cell modem aux port. Count = "

# Every leaf of the store reads back through the store's own parser (one line, a known type, no
# NUL) and no text leaf is longer than the daemon's longest identity text.
check_store_leaves() {
    local leaf value n=0
    while IFS= read -r leaf; do
        value=$(CDS_STORE=$E2E_ROOT/store "$CDS_BIN" get "$leaf") ||
            fail "leaf $leaf is not a valid leaf: $(head -c 100 "$E2E_ROOT/store$leaf" | od -c | head -3)"
        [ "${#value}" -le 40 ] || fail "leaf $leaf holds ${#value} characters"
        n=$((n + 1))
    done < <(cd "$E2E_ROOT/store" && find . -type f ! -name '.*' | cut -c2-)
    assert_ne 0 "$n" "leaves in the store"
}

# --- 1. One supervised link through a row of faults.
e2e_log "identity answers with NUL and 8-bit bytes, then configuration"
e2e_sandbox gsm --leaf "$SETTINGS/RefreshInterval/Value int 0" --rate 115200 \
    --set 'imei 35\xff\xfe35099996462' \
    --set 'iccid 8901\x004104279461713562' \
    --set 'fw 20.00.5\xe624'
e2e_start_linkwarden "$SPEED"
e2e_wait_for "CFG-CFG: Successfully brought up PPP connection" 400
check_store_leaves
e2e_wait_for "$GOOD_SIG" 120

e2e_log "store folder gone while pppd is restarted"
mv "$E2E_ROOT/store" "$E2E_ROOT/store.away"
resurrected=$(e2e_count "HCM: PPP1 connection resurrected")
kill -TERM "$(cat "$E2E_ROOT/var/run/ppp1.pid")"
e2e_wait_for "HCM: PPP1 connection resurrected" 120 $((resurrected + 1))
# The address read fails, and nothing is published in its place (see the departures).
e2e_wait_for "ReadPPP1IpAddrFromCds: Error while reading" 60
assert_eq 0 "$(e2e_count "to $CELL/IPAddr/Value")" "address writes after a failed read"
sig_fails=$(e2e_count "to $SIGNAL/SignalStrength/Value")
e2e_wait_for "to $SIGNAL/SignalStrength/Value" 120 $((sig_fails + 1))
mv "$E2E_ROOT/store.away" "$E2E_ROOT/store"
good=$(e2e_count "$GOOD_SIG")
e2e_wait_for "$GOOD_SIG" 120 $((good + 1))
assert_eq 0 "$(e2e_count "$AUX_FAIL")" "failed polls while only the store failed"

e2e_log "aux port flooded with noise"
e2e_ctl "flood aux" > /dev/null
e2e_wait_for "${AUX_FAIL}1" 120
e2e_ctl "flood off" > /dev/null
good=$(e2e_count "$GOOD_SIG")
e2e_wait_for "$GOOD_SIG" 200 $((good + 1))
# Each read takes at most 2000 bytes however much is waiting; the flood keeps more than that.
longest=$(LC_ALL=C grep -a -o "rxbuf: '[^']*'" "$E2E_ROOT/linkwarden.out" |
    awk '{ if (length($0) > m) m = length($0) } END { print m - 9 }')
assert_eq 2000 "$longest" "longest answer printed from the flooded port"

e2e_log "modem unplugged"
starts=$(e2e_count "StartPPPDataConnection: Starting pppd")
e2e_ctl unplug > /dev/null
# pppd loses its line with the modem. The new pppd goes into the background before it opens the
# port, so its start succeeds; without a data port it never writes its pid file, and after the
# restart wait the daemon ends for a fresh start.
e2e_wait_for "HCM: PPP1 connection not resurrected. Exiting to let binary restart" 300
e2e_wait_exit 60
assert_eq 1 "$E2E_LW_STATUS" "exit status when pppd cannot be brought back"
assert_eq $((starts + 1)) "$(e2e_count "StartPPPDataConnection: Starting pppd")" \
    "pppd starts after the unplug"
e2e_ctl plug > /dev/null
e2e_assert_no_crash
check_store_leaves
e2e_end_sandbox

# --- 2. A data port that floods during configuration: every probe hears noise, reads stay
# bounded, and the configuration goes on from attempt to attempt until it is stopped.
e2e_log "data port flooded during configuration"
e2e_sandbox gsm --rate 115200 --set "flood data"
e2e_start_linkwarden "$SPEED"
e2e_wait_for "CFG-CFG: Attempt 2 out of 50000" 300
kill -TERM "$E2E_LW_PID"
e2e_wait_exit 30
e2e_assert_no_crash
assert_eq 0 "$(e2e_count "cell modem set to")" "rate changes through the noise"
