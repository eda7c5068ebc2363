#!/usr/bin/env bash
# The demo: the reference host loads the built driver and opens it for a camera, first as an
# older recorder without its core library, then as a current one (core library 6.3).
set -euo pipefail
build=${1:-build}
program="$build/bin/tessavirn"
camera=(--address 127.0.0.1 --port 80 --stream h264 --model "ZD-220 Dome" --channels 1 --inputs 2 --outputs 1
        --param 1=5000 --param 2=0 --param 3=ZD-220 --param 4=500 --param 5=8000 --param 6=0 --param 7=1
        --param 8=1 --param 9=Orvane_00408C123456.preset --param 10=none --param 11=1 --param 12=1
        --param 13=1 --param 14=4.2.1)

echo "== tessavirn open (recorder without its core library: notice at level 3)"
"$program" open "${camera[@]}"
echo
echo "== tessavirn open (recorder core library 6.3 in the loader's path: notice at level 100)"
LD_LIBRARY_PATH="$build/hostcore-6.3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$program" open "${camera[@]}"
