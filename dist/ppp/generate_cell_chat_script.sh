#!/bin/sh
# Writes the chat script that pppd's connect command runs against the cellular modem: give up on
# any refusal, bring the modem to command mode with no call up, make a dropped DTR end the call,
# dial the packet data context and wait for the carrier.
# A modem that ignores DTR (AT&D0, the factory setting of some) keeps the last call up in data
# mode after pppd closes the port, and an AT would only go to the network: the escape, "+++"
# between a second of silence before and after, brings it back to command mode with an OK, and
# ATH ends the call. A modem already in command mode takes "+++" for a line without AT and says
# nothing, so the OK is not waited for long and an AT is sent in its place. The carriage return
# after the escape also ends any bytes left on the line by the pppd that just hung up (its last
# LCP frames, echoed by the modem), which would otherwise run into the first command line.
# NO CARRIER ends the script only from the hang-up to the dial: before, it is the old call's end
# (the network hanging up while the next pppd already holds the port), after, it may be the end
# of a dial broken off below.
# A dial whose activation request the network lost gets no answer for many seconds. After 10 s a
# carriage return breaks it off (any byte ends a dial in progress; the modem says NO CARRIER) and
# the script dials once more: a fresh request is mostly answered at once, well within the time
# linkwarden's watchdog gives a restarted pppd, where giving up would cost a modem reset. A dial
# the network refuses then ends the script only when the second dial times out too.
# The script lands next to this file (/etc/ppp on the box).
set -e
dir=$(cd "$(dirname "$0")" && pwd)
script="$dir/chat.cellmodem.data"
cat > "$script.tmp" <<'CHAT'
ABORT 'ERROR'
ABORT 'BUSY'
ABORT 'NO DIALTONE'
ABORT 'NO ANSWER'
TIMEOUT 5
'' '\d+++\d\d'
TIMEOUT 2
OK-AT-OK ATH
ABORT 'NO CARRIER'
TIMEOUT 3
OK AT&D2
CLR_ABORT 'NO CARRIER'
OK ATD*99***3#
TIMEOUT 10
CONNECT-\r\d\dATD*99***3#-CONNECT ''
CHAT
mv "$script.tmp" "$script"
exit 0
