#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, then runs each one over its checked-in corpus and
# for a bounded time on a copy of that corpus, so the inputs it finds stay out of the tree. Any
# finding fails the run; the input that caused it is kept in <build>/artifacts/<target>/, to be
# checked in with the fix.
# Usage: scripts/fuzz.sh [build dir, default build-fuzz] [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-30}
targets=(parameter_reply rtsp_response rtp_packet h264_depacketizer jpeg_depacketizer mpeg4_depacketizer mpeg4_vol
  jpeg_picture_size jpeg_body_scan preset_file ptz_capabilities camera_properties)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSAVIRN_FUZZ=ON >/dev/null
cmake --build "$build" --target tessavirn_fuzzers -j "$(nproc)"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in "${targets[@]}"; do
  fuzzer="$build/fuzz/${target}_fuzzer"
  corpus="fuzz/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$artifacts" "$work/$target"
  echo "== $target: corpus"
  # Given files rather than a folder, libFuzzer runs each input once.
  if ! "$fuzzer" -artifact_prefix="$artifacts" "$corpus"/* >"$work/$target.log" 2>&1; then
    cat "$work/$target.log" >&2
    echo "$target: an input of $corpus fails" >&2
    exit 1
  fi
  echo "== $target: ${seconds} s"
  cp -r "$corpus"/. "$work/$target"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work/$target" >"$work/$target.log" 2>&1; then
    cat "$work/$target.log" >&2
    echo "$target: finding kept in $artifacts" >&2
    exit 1
  fi
  tail -n 12 "$work/$target.log"
done
