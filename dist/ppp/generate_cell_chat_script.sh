#!/bin/sh
# Writes the chat script that pppd's connect command runs against the cellular modem: give up on
# any refusal, wake the modem, dial the packet data context and wait for the carrier.
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
TIMEOUT 10
'' AT
OK ATD*99***3#
CONNECT ''
CHAT
mv "$script.tmp" "$script"
exit 0
