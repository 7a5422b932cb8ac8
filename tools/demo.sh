#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Live demo: builds everything, then runs morvix on a synthetic signal with
# a client printing what it relays. Ctrl-C or SIGTERM stops all three
# programs.
#
#   tools/demo.sh [RX_PORT [TCP_PORT]]     (default: free ports of its own)
set -euo pipefail

usage() {
  cat <<'EOF'
usage: tools/demo.sh [RX_PORT [TCP_PORT]]
Builds morvix, morvix-gen and morvix-client, then runs morvix -d in a
temporary directory with a throwaway station identity, morvix-gen sending it
a few synthetic frames a second over loopback, and morvix-client printing
what a registered client receives. Ctrl-C or SIGTERM stops all three.

  RX_PORT    UDP port of morvix's bitstream input
  TCP_PORT   TCP port of its port announcement
Without them the demo picks free ports of its own and prints them, so that
it never feeds a station that is already running.

Environment: MORVIX_BIN_DIR, a directory holding morvix, morvix-gen and
morvix-client (e.g. /usr/bin), or a build tree (e.g. build/default), runs
those instead of building.
Exit status: 0 stopped by Ctrl-C or SIGTERM, 1 morvix did not start or a
program ended, 2 bad arguments.
EOF
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
esac
if [ $# -gt 2 ] || ! [[ "${1:-1}" =~ ^[0-9]+$ && "${2:-1}" =~ ^[0-9]+$ ]]; then
  usage >&2
  exit 2
fi
# Taken as given from where the demo was started, before it moves to the tree.
bin_dir=
if [ -n "${MORVIX_BIN_DIR:-}" ]; then
  bin_dir=$(cd "$MORVIX_BIN_DIR" 2>/dev/null && pwd) || {
    echo "demo: MORVIX_BIN_DIR=$MORVIX_BIN_DIR is not a directory" >&2
    exit 1
  }
fi
cd "$(dirname "$0")/.."

# True when some socket, TCP or UDP, IPv4 or IPv6, has this local port.
port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p="$hex" 'FNR > 1 { split($2, a, ":"); if (a[2] == p) found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6 2>/dev/null
}

# A port below the range the system hands out on its own (where the
# daemon's distribution port lies) that nothing uses yet.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
    port_in_use "$port" || { echo "$port"; return; }
  done
}

# True when process $1 itself holds the TCP listener on port $2: another
# station's listener answers too, but must not count as our daemon's.
listens() {
  local hex inode
  hex=$(printf '%04X' "$2")
  for inode in $(awk -v p="$hex" \
      'FNR > 1 && $4 == "0A" { split($2, a, ":"); if (a[2] == p) print $10 }' /proc/net/tcp); do
    ls -l "/proc/$1/fd" 2>/dev/null | grep -qF "socket:[$inode]" && return 0
  done
  return 1
}

# Shows the build's progress ("[ 42%] Building ...") from the build output
# on its input: one line redrawn on a terminal, a line every few seconds
# elsewhere.
show_progress() {
  local line shown=-5 width
  width=$(($(tput cols 2>/dev/null || echo 80) - 1))
  while IFS= read -r line; do
    [[ $line =~ ^\[\ *[0-9]+(%|/[0-9]+)\] ]] || continue
    if [ -t 2 ]; then
      printf '\r\033[K%s' "${line:0:width}" >&2
    elif [ $((SECONDS - shown)) -ge 5 ]; then
      echo "$line" >&2
      shown=$SECONDS
    fi
  done
  if [ -t 2 ]; then printf '\r\033[K' >&2; fi
}

rx_port=${1:-$(free_port)}
tcp_port=${2:-$(free_port)}
while [ $# -eq 0 ] && [ "$tcp_port" = "$rx_port" ]; do tcp_port=$(free_port); done

if [ -n "$bin_dir" ]; then
  # Installed programs side by side, or a build tree with them in driver/
  # and tools/.
  if [ -e "$bin_dir/driver/morvix" ]; then
    morvix=$bin_dir/driver/morvix
    gen=$bin_dir/tools/morvix-gen
    client=$bin_dir/tools/morvix-client
  else
    morvix=$bin_dir/morvix
    gen=$bin_dir/morvix-gen
    client=$bin_dir/morvix-client
  fi
  for program in "$morvix" "$gen" "$client"; do
    if [ ! -x "$program" ]; then
      echo "demo: $program is missing or not executable; MORVIX_BIN_DIR must hold" \
        "morvix, morvix-gen and morvix-client, or be a build tree such as build/default" >&2
      exit 1
    fi
  done
else
  # The first build takes minutes on a small machine: say what it is doing,
  # and show the whole log only when it fails.
  echo "demo: building morvix, morvix-gen and morvix-client in build/default" >&2
  build_log=$(mktemp /tmp/morvix-demo-build-XXXXXX)
  if ! { cmake --preset default && cmake --build --preset default \
      --target morvix morvix-gen morvix-client; } 2>&1 </dev/null | tee "$build_log" | show_progress
  then
    cat "$build_log" >&2
    rm -f "$build_log"
    echo "demo: the build failed (its output is above)" >&2
    exit 1
  fi
  rm -f "$build_log"
  morvix=$PWD/build/default/driver/morvix
  gen=$PWD/build/default/tools/morvix-gen
  client=$PWD/build/default/tools/morvix-client
fi

work=$(mktemp -d /tmp/morvix-demo-XXXXXX)
pids=()
finish() {
  trap - INT TERM EXIT
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  rm -rf "$work"
  echo
  echo "demo stopped"
  exit "$1"
}
trap 'finish 0' INT
trap 'finish 0' TERM
trap 'finish 1' EXIT

# A throwaway station identity.
od -An -tx1 -N20 /dev/urandom | tr -d ' \n' > "$work/uid.txt"
echo >> "$work/uid.txt"

echo "morvix: decoding on UDP $rx_port, port announcement on TCP $tcp_port (working directory $work)"
# Each program's own process id goes into pids, not that of the sed behind it.
# No upstream server: the demo's frames are made up, and it feeds no one else.
(cd "$work" && exec "$morvix" -d -u off -r "$rx_port" -t "$tcp_port") > >(sed -u 's/^/[morvix] /') &
daemon=$!
pids+=("$daemon")

# Nothing is sent before this daemon itself listens: with a port taken, it
# ends, and its frames must not go to whatever holds that port.
for ((waited = 0; ; waited++)); do
  if ! kill -0 "$daemon" 2>/dev/null; then
    status=0
    wait "$daemon" || status=$?
    pids=()
    echo "demo: morvix did not start (exit status $status, its message is above);" \
      "nothing was sent" >&2
    finish 1
  fi
  listens "$daemon" "$tcp_port" && break
  if [ "$waited" -ge 300 ]; then
    echo "demo: morvix did not open TCP $tcp_port within 30 s" >&2
    finish 1
  fi
  sleep 0.1
done

# A few frames a second at 10 samples per bit: every frame sent twice (the
# daemon relays it once), line-bit errors that the code corrects, and a
# fifth of the frames broken after their CRC was made (never relayed).
"$gen" --udp "127.0.0.1:$rx_port" --frames 0 --len 8-120 --repeat 2 \
  --broken 0.2 --ber 0.002 --gap 15000 --gap-fill noise --rate 100000 --seed "$RANDOM" &
pids+=($!)

echo "client: frames as a registered client sees them"
"$client" --host 127.0.0.1 --port "$tcp_port" > >(sed -u 's/^/[client] /') &
pids+=($!)

# All three run until stopped; one that ends on its own ends the demo.
wait -n "${pids[@]}" || true
echo "demo: a program ended on its own" >&2
finish 1
