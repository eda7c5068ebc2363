#!/usr/bin/env bash
# Soak: 1000 start/stop cycles of a channel (each waits for the first frame) and 1000
# load/open/close/unload cycles of a driver in one host process, against the camera simulator.
# Prints resident memory, descriptors and threads before and after each series and the longest
# stop or close.
# Usage: bench/soak.sh [build dir] [cycles] [address]
# Runs as root (the simulator listens on ports 80 and 554 of the address).
set -euo pipefail
build=${1:-build}
cycles=${2:-1000}
address=${3:-127.0.0.201}
work=$(mktemp -d)
camsim_pid=
cleanup() {
  if [ -n "$camsim_pid" ]; then kill "$camsim_pid" 2>/dev/null || true; wait "$camsim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bin/camsim" --profile ptz_dome --addr "$address" --port 80 >"$work/camsim.out" 2>&1 &
camsim_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/$address/554") 2>/dev/null && break
  sleep 0.1
done
"$build/bin/tessavirn_soak" --driver "$build/bin/libtessavirn.so" --address "$address" --cycles "$cycles"
