#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end throughput: the real daemon fed a frame-dense stream over
# loopback at chosen rates, a registered client counting what it relays.
# For each offered rate (samples per second) it prints the frames sent and
# relayed, the daemon's CPU time per million samples, datagrams the kernel
# dropped, and the daemon's resident memory.
#
#   bench/throughput.sh [RATE ...]          (default: 20M 50M 100M 200M max)
#   REPEAT=N   passes over the recorded stream per rate (default 8)
#   MODES="plain status"   run each rate without and with the status listener
#              (-m, scraped every second), side by side (default: plain)
#   OLD=PATH   also run this daemon binary (an older build) at each rate, as
#              mode "old", for a side-by-side comparison
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target morvix morvix-gen morvix-client >/dev/null
bin=$PWD/build/default
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000000 50000000 100000000 200000000 max)
repeat=${REPEAT:-8}
read -r -a modes <<< "${MODES:-plain}"
[ -z "${OLD:-}" ] || modes=(old "${modes[@]}")

work=$(mktemp -d /tmp/morvix-throughput-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
od -An -tx1 -N20 /dev/urandom | tr -d ' \n' > "$work/uid.txt"

# Frames of 2 to 41 blocks with noise between them, recorded once and
# replayed `repeat` times (no two neighbours alike, so none is a repeat).
"$bin/tools/morvix-gen" --sps 10 --frames 500 --len 8-300 --gap 3000 --gap-fill noise \
  --seed 3 --out "$work/one.samples" --frames-out "$work/one.frames"
for _ in $(seq "$repeat"); do cat "$work/one.samples"; done > "$work/stream.samples"
head -c $((8 * 4781 * 2)) /dev/zero | tr '\0' '\377' >> "$work/stream.samples"  # idle tail
frames=$(( $(wc -l < "$work/one.frames") * repeat ))
samples=$(( $(stat -c %s "$work/stream.samples") * 8 ))

udp_drops() { awk '/^Udp:/ && ++n == 2 { print $4 + $6 }' /proc/net/snmp; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
tick=$(getconf CLK_TCK)

printf '%-7s %-12s %12s %9s %9s %14s %10s %9s\n' mode offered achieved sent relayed \
  "cpu ms/Msmp" "udp drops" "rss kB"
port=17101
for rate in "${rates[@]}"; do
for mode in "${modes[@]}"; do
  port=$((port + 3))
  status=()
  [ "$mode" = status ] && status=(-m $((port + 2)))
  daemon_bin=$bin/driver/morvix
  [ "$mode" = old ] && daemon_bin=$OLD
  (cd "$work" && exec "$daemon_bin" -r "$port" -t $((port + 1)) "${status[@]}" > /dev/null \
    2> /dev/null) &
  daemon=$!
  sleep 0.3
  scraper=
  if [ "$mode" = status ]; then
    (while sleep 1; do
      curl -s "http://127.0.0.1:$((port + 2))/metrics" > /dev/null
      curl -s "http://127.0.0.1:$((port + 2))/stats.json" > /dev/null
    done) &
    scraper=$!
  fi
  "$bin/tools/morvix-client" --host 127.0.0.1 --port $((port + 1)) --timeout 3 \
    > "$work/client.out" 2> /dev/null &
  client=$!
  sleep 1  # registered
  drops=$(udp_drops)
  cpu=$(cpu_ticks "$daemon")
  pace=()
  [ "$rate" = max ] || pace=(--rate "$rate")
  start=$(date +%s.%N)
  "$bin/tools/morvix-gen" --replay "$work/stream.samples" --udp "127.0.0.1:$port" \
    --datagram 2048 "${pace[@]}"
  achieved=$(echo "$samples / ($(date +%s.%N) - $start)" | bc -l)
  wait "$client" || true
  cpu=$(( $(cpu_ticks "$daemon") - cpu ))
  drops=$(( $(udp_drops) - drops ))
  rss=$(rss_kb "$daemon")
  [ -z "$scraper" ] || { kill "$scraper"; wait "$scraper" 2>/dev/null || true; }
  kill "$daemon"; wait "$daemon" 2>/dev/null || true
  printf '%-7s %-12s %12.0f %9d %9d %14.2f %10d %9d\n' "$mode" "$rate" "$achieved" "$frames" \
    "$(wc -l < "$work/client.out")" \
    "$(echo "$cpu * 1000 / $tick / ($samples / 1000000)" | bc -l)" "$drops" "$rss"
done
done
echo "($samples samples per rate)"
