#!/usr/bin/env bash
# The demo: the camera simulator serves a PTZ dome camera on 127.0.0.1 (HTTP on 80, RTSP on 554),
# and the reference host loads the built driver as a current recorder does (core library 6.3 in
# the loader's path), asks the camera what it can do and saves its settings, records ten seconds
# of live H.264 with those settings and has FFmpeg's decoder check the file. It ends by printing
# the commands that show the same camera live in a browser with tessavirn view.
# DEMO_ADDRESS serves the camera on another loopback address.
set -euo pipefail
build=${1:-build}
address=${DEMO_ADDRESS:-127.0.0.1}
out="$build/demo"
mkdir -p "$out"

"$build/bin/camsim" --profile ptz_dome --addr "$address" --port 80 >"$out/camsim.log" 2>&1 &
camsim=$!
trap 'kill $camsim 2>/dev/null || true; wait $camsim 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/$address/554") 2>/dev/null && break
  kill -0 $camsim 2>/dev/null || { echo "demo: camsim did not start:"; cat "$out/camsim.log"; exit 1; }
  sleep 0.1
done

export LD_LIBRARY_PATH="$build/hostcore-6.3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
echo "== camsim: PTZ dome camera on $address (log in $out/camsim.log)"
echo "== tessavirn probe: what the camera can do, saved to $out/cam.conf"
"$build/bin/tessavirn" probe --address "$address" --save "$out/cam.conf"
echo
echo "== the saved settings"
cat "$out/cam.conf"
echo
echo "== tessavirn record: ten seconds of H.264 from channel 0 with those settings"
"$build/bin/tessavirn" record --config "$out/cam.conf" --stream h264 \
  --size 640x480 --interval 40 --quality 60 --seconds 10 --out "$out/record.h264"
echo
echo "== ffprobe on $out/record.h264"
bash scripts/record_check.sh "$out/record.h264" 240
echo "play it with: ffplay $out/record.h264"
echo
echo "== to see the camera live, move it and switch its relay in a browser, run the simulator and the view:"
echo "  $build/bin/camsim --profile ptz_dome --addr $address --port 80 &"
echo "  LD_LIBRARY_PATH=$build/hostcore-6.3 $build/bin/tessavirn view --config $out/cam.conf --listen 127.0.0.1:8080"
echo "then open http://127.0.0.1:8080/ (Ctrl-C stops the view; kill %1 the simulator)"
