#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# morvix-decode over large files (not part of CI): random samples, where the
# sync search does nearly all the work, at several samples per bit, read from
# a file and from a pipe; then a frame-dense recording. For each it prints
# the samples a second by the wall clock (what --stats reports: the decoding
# with its reading, process start left out) and by the CPU time the run used
# (user + system, the cat of the pipe included), which holds up better on a
# busy machine. The files are in the page cache, having just been written.
#
#   bench/decode.sh [MiB]      size of the noise file (default 1024)
#   SPS="10 1 32"              samples per bit to decode the noise at
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
read -r -a rates <<< "${SPS:-10 1 32}"
cmake --preset default >/dev/null
cmake --build --preset default --target morvix-decode morvix-gen >/dev/null
bin=$PWD/build/default/tools

work=$(mktemp -d /tmp/morvix-decode-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c $((mib << 20)) /dev/urandom > "$work/noise.samples"

# Runs a command line that writes --stats to $work/stats and prints a row.
row() {
  local label=$1 sps=$2 line=$3 TIMEFORMAT='%3U %3S' cpu
  cpu=$({ time bash -c "$line" > /dev/null 2> "$work/stats"; } 2>&1)
  awk -v label="$label" -v sps="$sps" -v cpu="$cpu" '
    /^samples: / { samples = $2; wall = $(NF - 2) }
    /^frames decoded: / { frames = $3 }
    END {
      split(cpu, t, " ")
      printf "%-26s %4s %14.1f %14.1f %8d\n", label, sps, wall, samples / (t[1] + t[2]) / 1e6, frames
    }' "$work/stats"
}

printf '%-26s %4s %14s %14s %8s\n' input sps "M smp/s wall" "M smp/s CPU" frames
for sps in "${rates[@]}"; do
  row "noise ${mib} MiB, file" "$sps" "'$bin/morvix-decode' -s $sps --stats '$work/noise.samples'"
done
row "noise ${mib} MiB, pipe" "${rates[0]}" \
  "cat '$work/noise.samples' | '$bin/morvix-decode' -s ${rates[0]} --stats -"
rm "$work/noise.samples"

# Frames of 2 to 41 blocks between short noise (as bench/throughput.sh), the
# recording repeated to about a gigasample.
"$bin/morvix-gen" --sps 10 --frames 500 --len 8-300 --gap 3000 --gap-fill noise --seed 3 \
  --out "$work/one.samples"
for _ in $(seq 100); do cat "$work/one.samples"; done > "$work/frames.samples"
row "frame-dense $(($(stat -c %s "$work/frames.samples") >> 20)) MiB, file" 10 \
  "'$bin/morvix-decode' --stats '$work/frames.samples'"
