#!/usr/bin/env bash
# The analog modem from start to exit: the reset-pin request, the four set-up commands with the
# rings digit taken from the store (a rings leaf of 0, with which the modem would never answer, is
# refused and 2 are sent), and both configured leaves. A modem whose first reply comes
# short ends the set-up before "ATE0", yet the process still reports the modem configured: the
# analog result does not depend on what the set-up commands got back. The daemon runs on the real
# clock (a few seconds a run), so that a sanitizer build with leak detection on checks the
# configured exit for leaks: libfaketime's preload would keep LeakSanitizer from reporting.
. "$(dirname "$0")/lib.sh"

RINGS_LEAF=/U6C/Comms/AnalogModem/Answer/NormRingsToAnswer/Value

e2e_sandbox analog

# reply mode | rings leaf | rings sent | commands the modem hears | S0 the modem ends with
while IFS='|' read -r reply rings sent commands s0; do
    e2e_log "analog modem, replies $reply, rings $rings"
    e2e_ctl "type analog" > /dev/null
    e2e_ctl "analog-reply $reply" > /dev/null
    : > "$E2E_ROOT/devsim/commands.log"
    rm -f "$E2E_ROOT"/store/U6F/AnalogModemConfigured/Value \
        "$E2E_ROOT"/store/U6R/Comms/CellularModem/ModemType/Value
    CDS_STORE=$E2E_ROOT/store "$CDS_BIN" set $RINGS_LEAF int "$rings"
    e2e_start_linkwarden 1
    e2e_wait_exit 120
    assert_eq 0 "$E2E_LW_STATUS" "exit status ($reply)"
    assert_eq "$commands" "$(e2e_commands data | tr '\n' ' ')" "commands heard ($reply)"
    assert_eq "$s0" "$(e2e_sim_status s0)" "rings the modem answers after ($reply)"
    refused=""
    [ "$rings" = "$sent" ] || refused="CFG-SMM: *** $RINGS_LEAF = $rings refused (rings, 0 to 9); answering after 2 rings |
"
    assert_eq "CFG-HWR: Successfully sent RESET request to Modem.|
${refused}CFG-SMM: Normal num of rings : 0x3$sent |
CFG-MAIN: ConfigureModem retval: 1|
CFG-MAIN: Analog modem configured OK, start binary communication over Modem. |" \
        "$(e2e_trace_lines '^CFG-(HWR: Succ|SMM|MAIN: (Conf|Analog modem conf))')" "trace ($reply)"
    for leaf in /U6F/AnalogModem/Configured/Value /U6F/AnalogModemConfigured/Value; do
        assert_eq true "$(e2e_leaf $leaf)" "$leaf ($reply)"
    done
    assert_eq "false 1 false" "$(e2e_leaf /U6IC/Comms/CellularModem/Configured/Value) \
$(e2e_leaf /U6R/Comms/CellularModem/ModemType/Value) \
$(e2e_leaf /U6F/UpdateRegister/ResetAnalogModem/Value)" \
        "cellular configured leaf, modem type leaf, reset request ($reply)"
done <<'EOF'
normal|3|3|ATZ0 ATE0 ATV0 ATS0=3 |3
normal|12|2|ATZ0 ATE0 ATV0 ATS0=2 |2
short|5|5|ATZ0 |0
EOF
