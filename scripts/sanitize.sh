#!/usr/bin/env bash
# Builds the tree with a sanitizer and runs its tests: address,undefined runs every suite, thread
# runs the suites with threads of their own (and the simulator's). Any report fails the run.
set -euo pipefail
sanitizer=$1
build=$2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAVIRN_SANITIZE="$sanitizer" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
case "$sanitizer" in
  thread) ctest --test-dir "$build" -j "$(nproc)" --output-on-failure -L 'thread|driver|streaming|camera|camsim|host' ;;
  *) ctest --test-dir "$build" -j "$(nproc)" --output-on-failure ;;
esac
