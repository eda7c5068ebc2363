#!/usr/bin/env bash
# Motion-JPEG over HTTP against a camera that answers 200 without a picture: records from the
# camera simulator through the built driver while every "/video.jpg" body holds no picture for
# `silence` seconds, then serves pictures again for 10 s. Prints the recorder's resident memory
# every 10 s of the silence and after it, and how many pictures arrived once pictures came back.
# Usage: bench/measure_mjpeg_http.sh [build dir] [silence seconds] [address]
# Runs as root (the simulator listens on port 80 of the address).
set -euo pipefail
build=${1:-build}
silence=${2:-60}
address=${3:-127.0.0.199}
source "$(dirname "$0")/camsim_run.sh"

start_camsim "$address" 80 --profile ptz_dome --video-mode no-picture

"$build/bin/tessavirn" record --address "$address" --stream mjpeg --param 6=1 --interval 100 \
  --seconds $((silence + 12)) --quiet --jpeg-dir "$work/pictures" >"$work/record.out" 2>&1 &
record_pid=$!
bench_track "$record_pid"
rss() { awk '/VmRSS/ { print $2 }' "/proc/$record_pid/status"; }
replies() { curl -s "http://$address/camsim/log" | wc -l; }

sleep 2
echo "silence: rss $(rss) kB after 2 s, $(replies) replies"
for ((t = 10; t <= silence; t += 10)); do
  sleep 10
  echo "silence: rss $(rss) kB after $t s, $(replies) replies"
done
curl -s "http://$address/camsim/video?mode=single" >/dev/null
sleep 8
echo "pictures again: rss $(rss) kB, $(ls "$work/pictures" | wc -l) pictures in 8 s"
wait "$record_pid" || true
