#!/usr/bin/env bash
# Runs a command with KESTREL_TEST_BOARD naming a board that a kestreld of
# its own serves (kestreld://HOST:5025 on a random loopback address, the
# built-in emulator behind it), and ends the daemon afterwards.
# Usage: with_daemon.sh KESTRELD COMMAND [ARGUMENTS...]
set -uo pipefail
kestreld=$1
shift
host="127.201.$((RANDOM % 250)).$((RANDOM % 250 + 1))"
log=$(mktemp /tmp/kestreld-remote-XXXXXX)
"$kestreld" --sim bench --listen "$host" --scpi-port 5025 --http-port 0 --no-vxi11 --no-mdns >"$log" 2>&1 &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 200); do
  grep -q "board bench connected" "$log" && break
  kill -0 "$daemon" 2>/dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.1
done
grep -q "board bench connected" "$log" || { echo "kestreld did not connect its board" >&2; cat "$log" >&2; exit 1; }
KESTREL_TEST_BOARD="kestreld://$host:5025" "$@"
