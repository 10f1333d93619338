#!/bin/sh
# Writes the chat script that pppd's connect command runs against the cellular modem: give up on
# any refusal, wake the modem, dial the packet data context and wait for the carrier.
# The first AT is sent twice when its OK does not come: bytes left on the line by the pppd that
# just hung up (its last LCP frames, echoed by the modem) run into the first command line, which
# the modem then ignores; the second AT starts on a clean line.
# The script lands next to this file (/etc/ppp on the box).
set -e
dir=$(cd "$(dirname "$0")" && pwd)
script="$dir/chat.cellmodem.data"
cat > "$script.tmp" <<'CHAT'
ABORT 'NO CARRIER'
ABORT 'ERROR'
ABORT 'BUSY'
ABORT 'NO DIALTONE'
ABORT 'NO ANSWER'
TIMEOUT 3
'' AT
OK-AT-OK ATD*99***3#
TIMEOUT 10
CONNECT ''
CHAT
mv "$script.tmp" "$script"
exit 0
