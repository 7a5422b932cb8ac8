#!/usr/bin/env bash
# Live demo: builds everything, then runs morvix on a synthetic signal with
# a client printing what it relays. Ctrl-C stops all three programs.
#
#   tools/demo.sh [RX_PORT [TCP_PORT]]     (default 17001 4851)
set -euo pipefail
cd "$(dirname "$0")/.."
rx_port=${1:-17001}
tcp_port=${2:-4851}

cmake --preset default >/dev/null
cmake --build --preset default --target morvix morvix-gen morvix-client >/dev/null
bin=$PWD/build/default

work=$(mktemp -d /tmp/morvix-demo-XXXXXX)
pids=()
stop() {
  trap - INT TERM EXIT
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
  echo
  echo "demo stopped"
}
trap stop INT TERM EXIT

# A throwaway station identity.
od -An -tx1 -N20 /dev/urandom | tr -d ' \n' > "$work/uid.txt"
echo >> "$work/uid.txt"

echo "morvix: decoding on UDP $rx_port, port announcement on TCP $tcp_port (working directory $work)"
(cd "$work" && exec "$bin/driver/morvix" -d -r "$rx_port" -t "$tcp_port") \
  | sed -u 's/^/[morvix] /' &
pids+=($!)
sleep 0.5

# A few frames a second at 10 samples per bit: every frame sent twice (the
# daemon relays it once), line-bit errors that the code corrects, and a
# fifth of the frames broken after their CRC was made (never relayed).
"$bin/tools/morvix-gen" --udp "127.0.0.1:$rx_port" --frames 0 --len 8-120 --repeat 2 \
  --broken 0.2 --ber 0.002 --gap 15000 --gap-fill noise --rate 100000 --seed "$RANDOM" &
pids+=($!)

echo "client: frames as a registered client sees them"
"$bin/tools/morvix-client" --host 127.0.0.1 --port "$tcp_port" | sed -u 's/^/[client] /' &
pids+=($!)

wait
