#!/usr/bin/env bash
# What tessavirn view costs with and without someone watching: the view runs against the camera
# simulator, and over three windows of SECONDS each it prints the CPU time of the view process per
# second of stream and the frames it received, decoded and made into pictures:
#   1. nobody watching (nothing may be decoded),
#   2. one viewer of the live pictures at full speed,
#   3. one viewer that takes a picture only every 500 ms (a slow link): fewer decodes and pictures.
# Usage: bench/measure_view.sh [build dir] [seconds] [address] [camsim --clip]
# Runs as root (the simulator listens on ports 80 and 554 of the address).
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
address=${3:-127.0.0.197}
clip=${4:-}
source "$(dirname "$0")/camsim_run.sh"

start_camsim "$address" 554 --profile ptz_dome ${clip:+--clip "$clip"}
size=640x480
[ -n "$clip" ] && size=1280x720
"$build/bin/tessavirn" view --address "$address" --stream h264 --size "$size" --listen "$address:0" \
  >"$work/view.out" 2>&1 &
view=$!
bench_track $view
for _ in $(seq 100); do grep -q '^view: http' "$work/view.out" && break; sleep 0.1; done
url=$(sed -n 's/^view: \(http[^ ]*\).*/\1/p' "$work/view.out")
[ -n "$url" ] || { echo "measure_view: the view did not start:"; cat "$work/view.out"; exit 1; }
sleep 3

# CPU seconds (user + system) of the view so far.
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$view/stat"; }
figure() { curl -s "${url}api/status" | sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p"; }

# A viewer on a slow link: a fresh picture every 500 ms.
slow_viewer() {
  local end=$((SECONDS + seconds))
  while [ $SECONDS -lt $end ]; do
    curl -s --max-time 1 -o /dev/null "${url}api/channels/0/snapshot" || true
    sleep 0.5
  done
}

window() {
  local name=$1
  shift
  local cpu0 frames0 decoded0 pictures0 cpu1 frames1 decoded1 pictures1
  cpu0=$(cpu); frames0=$(figure frames); decoded0=$(figure decoded); pictures0=$(figure pictures)
  "$@"
  cpu1=$(cpu); frames1=$(figure frames); decoded1=$(figure decoded); pictures1=$(figure pictures)
  awk -v n="$name" -v cpu0="$cpu0" -v cpu1="$cpu1" -v s="$seconds" \
    -v f=$((frames1 - frames0)) -v d=$((decoded1 - decoded0)) -v p=$((pictures1 - pictures0)) \
    'BEGIN { printf "%-28s CPU %5.1f%% of a core   frames %5d   decoded %5d   pictures %5d\n", n, 100 * (cpu1 - cpu0) / s, f, d, p }'
}

echo "tessavirn view of a $size H.264 stream at 25 frames a second, $seconds s per window:"
window "nobody watching" sleep "$seconds"
window "one viewer, full speed" curl -s -N --max-time "$seconds" -o /dev/null "${url}api/channels/0/live" || true
window "one viewer, 2 pictures/s" slow_viewer
kill -INT $view
wait $view || true
bench_untrack $view
stop_camsim
