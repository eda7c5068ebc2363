#!/usr/bin/env bash
# The demo: the camera simulator serves a PTZ dome camera on 127.0.0.1 (HTTP on 80, RTSP on 554),
# and the reference host loads the built driver as a current recorder does (core library 6.3 in
# the loader's path), records ten seconds of live H.264 and has FFmpeg's decoder check the file.
set -euo pipefail
build=${1:-build}
out="$build/demo"
mkdir -p "$out"

"$build/bin/camsim" --profile ptz_dome --addr 127.0.0.1 --port 80 >"$out/camsim.log" 2>&1 &
camsim=$!
trap 'kill $camsim 2>/dev/null || true; wait $camsim 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/554) 2>/dev/null && break
  kill -0 $camsim 2>/dev/null || { echo "demo: camsim did not start:"; cat "$out/camsim.log"; exit 1; }
  sleep 0.1
done

echo "== camsim: PTZ dome camera on 127.0.0.1 (log in $out/camsim.log)"
echo "== tessavirn record: ten seconds of H.264 from channel 0"
LD_LIBRARY_PATH="$build/hostcore-6.3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$build/bin/tessavirn" record --address 127.0.0.1 --stream h264 --model "ZD-220 Dome" \
  --param 3=ZD-220 --param 4=500 --param 5=8000 --param 7=1 \
  --size 640x480 --interval 40 --quality 60 --seconds 10 --out "$out/record.h264"
echo
echo "== ffprobe on $out/record.h264"
bash scripts/record_check.sh "$out/record.h264" 240
echo "play it with: ffplay $out/record.h264"
