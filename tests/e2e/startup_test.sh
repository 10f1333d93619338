#!/usr/bin/env bash
# Start-up of the real binary on a store with no modem option set: the whole trace byte for byte,
# the clean-up commands acting under LINKWARDEN_ROOT, both configured leaves cleared, exit 0; the
# early stop when the store folder is missing, with and without -reset; and how many resets -reset
# gives, alone and inside an -ip argument, each ending in a failed configuration. All of it runs
# on the real clock, so that a sanitizer build with leak detection on (ASAN_OPTIONS holding
# detect_leaks=1; libfaketime's preload would keep LeakSanitizer from reporting) checks these short
# exits for leaks: a leak turns the exit status, checked below, into 23.
set -euo pipefail

: "${LINKWARDEN_BIN:?}" "${CDS_BIN:?}"
work=$(mktemp -d /tmp/lw-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
export LSAN_OPTIONS=exitcode=23 ASAN_OPTIONS=${ASAN_OPTIONS:-}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# rule LEAD CHAR COUNT: LEAD followed by COUNT copies of CHAR
rule() {
    printf '%s' "$1"
    printf "%$3s" '' | tr ' ' "$2"
}

# The build date and time differ per build; everything else must match exactly.
normalise() {
    sed -E 's/Built: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9] =/Built: DATE TIME =/'
}

expect_same() {  # NAME EXPECTED-FILE ACTUAL-FILE
    if ! cmp -s "$2" "$3"; then
        fail "$1: trace differs"
        diff <(cat -A "$2") <(cat -A "$3") | head -20 || true
    fi
}

head_of_trace() {  # ROOT
    printf '\n\n\n=========================== linkwarden Built: DATE TIME ============================================'
    printf '\nCFG-MAIN: Start main, command line (or default) data rate: 115200 bps'
    printf "\nCFG-MAIN: Remove any old version file, system command: 'exec rm -rf %s/jffs//home/verizon/fota/verizonCellVer.txt'  " "$1"
    printf "\nCFG-MAIN: Remove any old pipe, sys command: 'exec rm %s/tmp/cell_pipe'  " "$1"
}

# A leak detector that stays silent must not pass for a daemon without leaks: a tiny program that
# leaks on purpose, started as the daemon is, has to be reported.
if [[ "$ASAN_OPTIONS" == *detect_leaks=1* ]]; then
    printf '#include <stdlib.h>\nvoid* volatile p;\nint main(void) { p = malloc(64); p = 0; return 0; }\n' \
        > "$work/leak.c"
    status=0
    gcc -fsanitize=address -o "$work/leak" "$work/leak.c" && "$work/leak" > "$work/out" 2>&1 || status=$?
    [ "$status" = 23 ] && grep -q "LeakSanitizer: detected memory leaks" "$work/out" ||
        fail "LeakSanitizer is not live: a 64-byte leak went unreported (status $status)"
fi

# --- a store with no modem option: detection finds none and the process ends cleanly
root="$work/root"
store="$work/store"
mkdir -p "$root/jffs/home/verizon/fota" "$root/tmp" "$store"
touch "$root/jffs/home/verizon/fota/verizonCellVer.txt" "$root/tmp/cell_pipe"

status=0
LINKWARDEN_ROOT="$root" CDS_STORE="$store" "$LINKWARDEN_BIN" -ip10.1.2.3,255.255.0.0 -vd -ip10.1.2.3/24 \
    >"$work/out.raw" 2>"$work/err" || status=$?
normalise <"$work/out.raw" >"$work/out"
{
    head_of_trace "$root"
    printf '\nCFG-MAIN: 0) grabbed IP: "10.1.2.3"  Mask: "255.255.0.0" '
    printf '\nCFG-GAD: Invalid addr, *ptr: '"'/'"', addr: "10.1.2.3" -> clear it'
    printf '\nCFG-MAIN: 1) grabbed IP: ""  Mask: "24" '
    rule $'\n' = 103
    printf '\nCFG-MAIN: Initially set analog and cell modem configured value leaves to FALSE and installed modem type to none '
    printf '\n\nCFG-MAIN: Determine any installed modem type '
    printf '\n\nCFG-CFM: test CDS leaf for installed analog modem... '
    printf '\nCFG-CFM: No Analog modem leaf set '
    rule $'\n\n' = 56
    printf '\n  CFG-MAIN: NO modem is installed, exit linkwarden. '
    rule $'\n' = 56
    rule $'\n\n' - 29
    printf '\n CFG-MAIN: EXIT linkwarden '
    rule $'\n' - 30
    printf '\n'
} >"$work/expected"

[ "$status" -eq 0 ] || fail "no modem: exit status $status, want 0"
expect_same "no modem" "$work/expected" "$work/out"
[ ! -e "$root/jffs/home/verizon/fota/verizonCellVer.txt" ] || fail "old version file not removed"
[ ! -e "$root/tmp/cell_pipe" ] || fail "old pipe not removed"
for leaf in /U6F/AnalogModem/Configured/Value /U6IC/Comms/CellularModem/Configured/Value; do
    value=$(CDS_STORE="$store" "$CDS_BIN" get "$leaf" 2>/dev/null) || value="<missing>"
    [ "$value" = false ] || fail "$leaf is $value, want false"
done
leaves=$(find "$store" -type f ! -name '.*' | wc -l)
[ "$leaves" -eq 2 ] || fail "$leaves leaves written, want only the two configured leaves"

# --- the store folder is missing: the process stops after the command line, touching nothing;
# a -reset before that cannot write its power request, and says so instead of claiming success
missing="$work/no-store"
for args in "" "-reset"; do
    status=0
    LINKWARDEN_ROOT="$root" CDS_STORE="$missing" "$LINKWARDEN_BIN" $args >"$work/out.raw" 2>"$work/err" ||
        status=$?
    normalise <"$work/out.raw" >"$work/out"
    {
        head_of_trace "$root"
        if [ -n "$args" ]; then
            rule $'\n\n' - 35
            printf '  \nCFG-MAIN: Toggling HW reset pin... '
            rule $'\n' - 35
            printf '  \nCFG-PWR: *** ERROR: Power set 0 request not written to /U6F/UpdateService/CellModemOff/Value (call -1, status 4) '
            printf '\n\n*** CFG-HWR: Modem failed Power down ***\n'
        fi
        rule $'\n' = 103
        printf '\nlinkWarden: initialize CDS connection. '
    } >"$work/expected"
    [ "$status" -eq 0 ] || fail "no store $args: exit status $status, want 0"
    expect_same "no store $args" "$work/expected" "$work/out"
    [ ! -e "$missing" ] || fail "no store $args: $missing was created"
done

# --- "-reset" resets the modem once while the arguments are read and once more after detection;
# in an argument that also holds "-ip" it is not acted on. An analog modem whose reset request
# nobody clears shows each reset as one error line; with no modem port its configuration fails.
analog_store="$work/analog-store"
count() { grep -c -F -e "$1" "$work/out" || true; }
# argument | "Toggling" lines | resets
while IFS='|' read -r arg toggles resets; do
    rm -rf "$analog_store"
    mkdir -p "$analog_store"
    CDS_STORE="$analog_store" "$CDS_BIN" set /U6IC/Options/Modem/Analog/Value bool true
    status=0
    LINKWARDEN_ROOT="$root" CDS_STORE="$analog_store" "$LINKWARDEN_BIN" "$arg" >"$work/out" 2>"$work/err" ||
        status=$?
    [ "$status" -eq 0 ] || fail "$arg: exit status $status, want 0"
    n=$(count 'CFG-MAIN: Toggling HW reset pin... ')
    [ "$n" -eq "$toggles" ] || fail "$arg: $n reset announcements, want $toggles"
    n=$(count 'CFG-HWR: *** ERROR: linkwarden: Service failed to send RESET request to modem. ')
    [ "$n" -eq "$resets" ] || fail "$arg: $n resets, want $resets"
    n=$(sed -n '/CFG-MAIN: Initially set/q;/Service failed to send RESET/p' "$work/out" | wc -l)
    [ "$n" -eq $((resets - 1)) ] || fail "$arg: $n resets before the store check, want $((resets - 1))"
    n=$(count 'CFG-MAIN: 0) grabbed IP: "10.1.2.3"')
    [ "$n" -eq $((toggles == 0)) ] || fail "$arg: whitelist entry 10.1.2.3 seen $n times"
    grep -q -F 'CFG-MAIN: ConfigureModem FAILED, Exit' "$work/out" || fail "$arg: no failed configuration"
done <<'EOF'
-reset|1|2
-reset-ip10.1.2.3|0|1
EOF

# --- a root that could break the clean-up command lines is refused before anything runs
status=0
LINKWARDEN_ROOT="$work/bad root" CDS_STORE="$store" "$LINKWARDEN_BIN" >"$work/out" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "unsafe root: exit status $status, want 2"
grep -q 'CFG-MAIN' "$work/out" && fail "unsafe root: start-up went on"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "startup: all checks passed"
