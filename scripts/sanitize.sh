#!/usr/bin/env bash
# Builds the tree with a sanitizer and runs its tests: address,undefined runs every suite, thread
# runs the suites with threads of their own (and the simulator's). Any report fails the run.
set -euo pipefail
sanitizer=$1
build=$2
# -O1 is what the sanitizers are meant for, and it compiles a fifth faster than -O2.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAVIRN_SANITIZE="$sanitizer" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" >/dev/null
case "$sanitizer" in
  # Only the suites the thread run takes: not the end-to-end suites, the benchmarks or the tools
  # that only they use.
  thread)
    mapfile -t suites < <(ninja -C "$build" -t targets all | sed -n 's/^\(tessavirn_[a-z0-9_]*_tests\): phony$/\1/p' |
      grep -v '^tessavirn_e2e')
    cmake --build "$build" -j "$(nproc)" --target "${suites[@]}" ;;
  *) cmake --build "$build" -j "$(nproc)" ;;
esac
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
case "$sanitizer" in
  thread) ctest --test-dir "$build" -j "$(nproc)" --output-on-failure -L 'thread|driver|streaming|camera|camsim|host|io|xml|ptz' ;;
  *) ctest --test-dir "$build" -j "$(nproc)" --output-on-failure ;;
esac
