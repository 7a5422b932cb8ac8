#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Soak run (not part of CI): a billion samples of frames through the daemon,
# built with its keepalive clock 60 times faster (morvix-soak), while clients
# come and go (some leave with DISCONNECT, some just vanish and expire) and
# port announcements are asked for all along. Checks at the end that a client
# that stayed got every frame, that every announcement was answered, and that
# resident memory did not grow.
#
#   bench/soak.sh            SAMPLES=1000000000 RATE=100000000 by default
set -euo pipefail
cd "$(dirname "$0")/.."
samples=${SAMPLES:-1000000000}
rate=${RATE:-100000000}
cmake --preset default >/dev/null
cmake --build --preset default --target morvix-soak morvix-gen morvix-client >/dev/null
bin=$PWD/build/default
rx=17201 tcp=17202

work=$(mktemp -d /tmp/morvix-soak-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
od -An -tx1 -N20 /dev/urandom | tr -d ' \n' > "$work/uid.txt"

"$bin/tools/morvix-gen" --sps 10 --frames 2000 --len 8-300 --gap 5000 --gap-fill noise \
  --seed 7 --out "$work/pass.samples" --frames-out "$work/pass.frames"
pass_samples=$(( $(stat -c %s "$work/pass.samples") * 8 ))
passes=$(( (samples + pass_samples - 1) / pass_samples ))
expected=$(( $(wc -l < "$work/pass.frames") * passes ))
echo "soak: $passes passes of $pass_samples samples, $expected frames, at $rate samples/s"

(cd "$work" && exec "$bin/driver/morvix-soak" -c 8 -r $rx -t $tcp > "$work/daemon.out") &
daemon=$!
sleep 0.5
"$bin/tools/morvix-client" --host 127.0.0.1 --port $tcp --refresh 1 > "$work/stay.out" 2>/dev/null &
stay=$!
sleep 1.5

# Clients coming and going, and port announcements, until the stream ends.
asked=0 answered=0
churn() {
  local i=0
  while [ ! -e "$work/done" ]; do
    i=$((i + 1))
    "$bin/tools/morvix-client" --host 127.0.0.1 --port $tcp --refresh 1 > /dev/null 2>&1 &
    local c=$!
    sleep 0.$((RANDOM % 9 + 1))
    if [ $((i % 2)) -eq 0 ]; then kill -TERM $c; else kill -KILL $c; fi  # leave, or vanish
    wait $c 2>/dev/null || true
    asked=$((asked + 1))
    reply=$(timeout 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$tcp && cat <&3" | tr -d '\r') || true
    [[ "$reply" =~ ^[0-9]+$ ]] && answered=$((answered + 1))
  done
  echo "$asked $answered" > "$work/asked"
}
churn &
churner=$!

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$daemon/status"; }
start=$(date +%s)
for pass in $(seq "$passes"); do
  "$bin/tools/morvix-gen" --replay "$work/pass.samples" --udp 127.0.0.1:$rx --datagram 2048 \
    --rate "$rate"
  [ "$pass" -eq 1 ] && rss_first=$(rss)
done
head -c $((4781 * 4)) /dev/zero | tr '\0' '\377' > "$work/tail.samples"
"$bin/tools/morvix-gen" --replay "$work/tail.samples" --udp 127.0.0.1:$rx
touch "$work/done"
wait $churner
sleep 2
rss_last=$(rss)
kill -TERM $stay; wait $stay 2>/dev/null || true
read -r asked answered < "$work/asked"
relayed=$(wc -l < "$work/stay.out")
registrations=$(grep -c '^add new client slot' "$work/daemon.out" || true)
echo "time:          $(( $(date +%s) - start )) s"
echo "frames:        $relayed of $expected relayed to the client that stayed"
echo "announcements: $answered of $asked answered; $registrations registrations"
echo "memory:        ${rss_first} kB after the first pass, ${rss_last} kB at the end"
kill -0 $daemon || { echo "FAIL: the daemon ended"; exit 1; }
[ "$relayed" -eq "$expected" ] && [ "$answered" -eq "$asked" ] && [ "$rss_last" -le "$rss_first" ] \
  && echo "soak: PASS" || { echo "soak: FAIL"; exit 1; }
