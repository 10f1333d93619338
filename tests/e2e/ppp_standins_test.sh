#!/usr/bin/env bash
# The PPP stand-ins against the simulated modem, driven by hand with the daemon's exact pppd
# command line: detach before the dial, the pid file only after it and the address leaf, fping's
# answers, release of the line on SIGTERM, and each fault of the simulated world.
. "$(dirname "$0")/lib.sh"

e2e_make_sandbox gsm
e2e_start_sim cell --rate 115200
R=$E2E_ROOT
ADDRESS_LEAF=/U6C/Comms/EthPort/3/General/IPAddress/Value

dials_ended() {  # how many background pppds have ended their dial, either way
    local n
    n=$(grep -c -E "link up on ppp1|connect script failed|fault stale-pidfile|cannot open" \
        "$R/devsim/pppd.log" 2>/dev/null)
    echo "${n:-0}"
}
start_pppd() {  # the daemon's command line; prints its exit status once the dial has ended
    local before status i
    before=$(dials_ended)
    "$R/sbin/pppd" debug noipdefault usepeerdns noauth ifname ppp1 "$R/dev/ttyPSC7" 115200 \
        connect "$R/sbin/chat -v -f $R/etc/ppp/chat.cellmodem.data" > /dev/null 2>&1
    status=$?
    # pppd returns as it goes into the background, before it dials.
    for ((i = 0; i < 200 && status == 0; i++)); do
        [ "$(dials_ended)" -gt "$before" ] && break
        sleep 0.05
    done
    echo "$status"
}
ping_status() {
    PATH="$R/bin:$PATH" fping -c1 -t500 -I ppp1 192.0.2.1 > /dev/null 2>&1
    echo $?
}
wait_dead() {  # wait_dead PID: a stopped pppd is gone within 10 s
    local i
    for ((i = 0; i < 100; i++)); do e2e_alive "$1" || return 0; sleep 0.1; done
    fail "pppd $1 still runs 10 s after it should have ended"
}

assert_eq 0 "$("$R/etc/ppp/generate_cell_chat_script.sh"; echo $?)" "chat-script generator status"
grep -q "ATD\*99\*\*\*3#" "$R/etc/ppp/chat.cellmodem.data" || fail "the chat script does not dial"

e2e_log "bring-up, address, pings, stop"
e2e_world link_address 10.170.3.77
assert_eq 0 "$(start_pppd)" "pppd start status"
pid=$(e2e_pppd_pid)
e2e_alive "$pid" || fail "the pid file does not name a running pppd (\"$pid\")"
assert_eq 10.170.3.77 "$(e2e_leaf $ADDRESS_LEAF)" "published link address"
e2e_ctl log | grep -q "ATD\*99\*\*\*3#" || fail "the modem never heard the dial command"
assert_eq 0 "$(ping_status)" "fping with the link up"
e2e_world pings dropped
assert_eq 1 "$(ping_status)" "fping with the network dropping"
e2e_world pings answered
kill -TERM "$pid"
wait_dead "$pid"
assert_eq "" "$(e2e_pppd_pid)" "pid file after SIGTERM"
assert_ne 0 "$(ping_status)" "fping with ppp1 down"
# The stopped pppd said "+++": the modem is back in command mode and takes a new dial.
assert_eq 0 "$(start_pppd)" "pppd start after a stop"
pid=$(e2e_pppd_pid)
kill -TERM "$pid"
wait_dead "$pid"

e2e_log "faults"
# fault | pppd status | pid file names a live process | pid file present
while IFS='|' read -r fault want_status want_live want_file; do
    rm -f "$R/var/run/ppp1.pid"
    e2e_world ppp_fault "$fault"
    status=$(start_pppd)
    pid=$(e2e_pppd_pid)
    assert_eq "$want_status" "$status" "pppd status with fault \"$fault\""
    assert_eq "$want_file" "$([ -n "$pid" ] && echo yes || echo no)" "pid file with fault \"$fault\""
    assert_eq "$want_live" "$(e2e_alive "$pid" && echo yes || echo no)" "live pppd with fault \"$fault\""
    case "$fault" in
        die-after*)
            wait_dead "$pid"
            assert_eq "$pid" "$(e2e_pppd_pid)" "pid file left by a crashed pppd"
            ;;
        no-pidfile)
            # Only its own start record names it.
            pid=$(sed -n 's/^.* pppd\[\([0-9]*\)\]: started$/\1/p' "$R/devsim/pppd.pids" | tail -n 1)
            e2e_alive "$pid" || fail "the pppd without a pid file is not running"
            kill -TERM "$pid"
            wait_dead "$pid"
            ;;
    esac
done <<'EOF'
fail-start|1|no|no
stale-pidfile|0|no|yes
die-after 5|0|yes|yes
no-pidfile|0|no|no
none|0|yes|yes
EOF
kill -TERM "$(e2e_pppd_pid)"
wait_dead "$(e2e_pppd_pid)"

e2e_log "refusals"
e2e_world ppp_fault none
e2e_ctl "dial no-carrier" > /dev/null || fail "the simulator refused \"dial no-carrier\""
rm -f "$R/var/run/ppp1.pid"
# pppd has detached before it dials: the command succeeds, only the pid file never appears.
assert_eq 0 "$(start_pppd)" "pppd status when the modem answers NO CARRIER"
assert_eq "" "$(e2e_pppd_pid)" "pid file after a failed dial"
grep -q "connect script failed, status 3" "$R/devsim/pppd.log" ||
    fail "the background pppd did not end on the failed dial"
e2e_ctl "dial ok" > /dev/null
"$R/sbin/pppd" debug "$R/dev/ttyPSC7" > /dev/null 2>&1
assert_eq 2 "$?" "pppd status for a command line that is not the daemon's"
