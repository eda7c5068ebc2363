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
source "$(dirname "$0")/camsim_run.sh"

start_camsim "$address" 554 --profile ptz_dome
"$build/bin/tessavirn_soak" --driver "$build/bin/libtessavirn.so" --address "$address" --cycles "$cycles"
