# Shared by the scripts that run inside the rehearsal box (sourced, POSIX sh).
state=/run/rehearsal
trace=/out/linkwarden.out
results=/out/results
mkdir -p "$state"

# The daemon's clock (libfaketime, through a file it reads on every clock call):
# fake(t) = T0 + offset + rate * (t - T0), T0 the daemon's start. A new rate keeps the clock
# continuous by moving the offset by (old rate - new rate) * (t - T0).
daemon_clock_start() {  # RATE
    printf '%s 0 %s\n' "$(date +%s.%N)" "$1" > "$state/clock"
    printf '+0 x%s\n' "$1" > "$state/faketime"
}
daemon_clock() {  # RATE
    [ -f "$state/clock" ] || return 0
    read -r t0 offset rate < "$state/clock"
    offset=$(awk -v t="$(date +%s.%N)" -v t0="$t0" -v o="$offset" -v r="$rate" -v n="$1" \
        'BEGIN { printf "%.3f", o + (r - n) * (t - t0) }')
    printf '%s %s %s\n' "$t0" "$offset" "$1" > "$state/clock"
    printf '+%s x%s\n' "$offset" "$1" | sed 's/^+-/-/' > "$state/faketime.new"
    mv "$state/faketime.new" "$state/faketime"
}

ctl() {  # LINE: one control line to the simulator; a refusal shows on the console
    "$BUILD/devsim/linkwarden-devsim" --root / ctl "$1" > /dev/null ||
        echo "rehearsal: the simulator refused \"$1\""
}
leaf() { cds get "$1" 2>/dev/null; }
leaf_is() { [ "$(leaf "$1")" = "$2" ]; }
count() {  # FILE PATTERN: matching lines, 0 for a file not there yet
    n=$(grep -c -- "$2" "$1" 2>/dev/null)
    echo "${n:-0}"
}

# Waits until FILE holds at least N lines matching PATTERN; gives up after LIMIT seconds.
wait_for() {  # FILE PATTERN N LIMIT
    end=$(( $(date +%s) + $4 ))
    while [ "$(count "$1" "$2")" -lt "$3" ]; do
        [ "$(date +%s)" -ge "$end" ] && return 1
        sleep 0.2
    done
}
# Waits until COMMAND succeeds; gives up after LIMIT seconds.
wait_until() {  # LIMIT COMMAND...
    end=$(( $(date +%s) + $1 )); shift
    until "$@"; do
        [ "$(date +%s)" -ge "$end" ] && return 1
        sleep 0.2
    done
}

# The recovery report's time line: when each fault began and ended, on the box's clock in whole
# seconds ("SECONDS begins NAME", "SECONDS ends NAME"). A fault that ends by itself (a killed
# pppd) ends where it begins.
fault_begins() { echo "$(date +%s) begins $1" >> /out/faults; }
fault_ends() { echo "$(date +%s) ends $1" >> /out/faults; }

check() {  # NAME COMMAND...: one result line; the command's status
    name=$1; shift
    if "$@"; then
        echo "PASS $name" >> "$results"
    else
        echo "FAIL $name" >> "$results"
        return 1
    fi
}

# The end of every plan: what the box wrote (its overlay's upper layer) and mounted, for the check
# that none of it reached the host; then the kernel powers off.
finish() {
    (cd "$state/upper" && find . -mindepth 1) > /out/box-writes
    cp /proc/mounts /out/box-mounts
    busybox poweroff -f
}
step() {  # NAME COMMAND...: a result line; the plan ends at the first failed step
    check "$@" || finish
}

# Seconds from the start of the pppd that serves ppp1 to its pid file, to a hundredth: how much of
# the daemon's wait for pppd the dial took.
pid_file_delay() {
    pid=$(cat /var/run/ppp1.pid 2>/dev/null) && [ -r "/proc/$pid/stat" ] || { echo "?"; return; }
    awk -v tick="$(getconf CLK_TCK)" -v started="$(cut -d' ' -f22 "/proc/$pid/stat")" \
        -v written="$(stat -c %.9Y /var/run/ppp1.pid)" -v now="$(date +%s.%N)" \
        '{ printf "%.2f", $1 - started / tick - (now - written) }' /proc/uptime
}
