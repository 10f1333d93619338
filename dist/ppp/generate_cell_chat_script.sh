#!/bin/sh
# Writes the chat script that pppd's connect command runs against the cellular modem: make sure
# the modem is in command mode with no call up, make a dropped DTR end the call, dial the packet
# data context and wait for the carrier.
# A modem in command mode answers the first AT at once, and the dial follows without a pause.
# The carriage return in front of that AT ends any bytes left on the line by the pppd that just
# hung up (its last LCP frames, echoed by the modem), which would otherwise run into the AT.
# A modem that ignores DTR (AT&D0, the factory setting of some) keeps the last call up in data
# mode after pppd closes the port, and the AT only goes to the network. When no OK comes within
# 2 s (silence enough for the guard time), "+++" follows; after a second of silence the modem is
# back in command mode and says OK, and ATH ends the call. "+++" thus reaches only a modem that
# did not answer AT, never one in command mode, which may answer such a line with ERROR.
# Some modems report the end of a call that ATH ends with NO CARRIER instead of OK: that costs
# the hang-up's 3 s and an AT. NO CARRIER ends the script nowhere (before the dial it is the old
# call's end, after it the end of a dial broken off below); ERROR does once the hang-up is
# answered (AT&D2 refused, or the dial).
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
ABORT 'BUSY'
ABORT 'NO DIALTONE'
ABORT 'NO ANSWER'
TIMEOUT 2
'' '\rAT'
OK-+++\c-OK ATH
TIMEOUT 3
OK-AT-OK AT&D2
ABORT 'ERROR'
OK ATD*99***3#
TIMEOUT 10
CONNECT-\r\d\dATD*99***3#-CONNECT ''
CHAT
mv "$script.tmp" "$script"
exit 0
