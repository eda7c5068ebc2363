#!/usr/bin/env bash
# Records an 8 Mbit/s H.264 stream from the camera simulator through the built driver and prints
# what it cost and how late frames reached the host:
#   - CPU time (user + system) of the tessavirn process per second of stream,
#   - frames the simulator sent during the recording that never reached the host,
#   - the delay from the simulator sending a frame's marker packet to the host's frame callback,
#     median and 99th percentile, both read from this machine's real-time clock;
#   - beside it, the floor of that delay on this machine: the same stream taken by the bare
#     receive loop (tessavirn_bare_receiver), from the marker packet's sending to its leaving the
#     socket.
# Usage: bench/measure_stream.sh [build dir] [seconds] [address]
# Runs as root (the simulator listens on ports 80 and 554 of the address).
set -euo pipefail
build=${1:-build}
seconds=${2:-30}
address=${3:-127.0.0.200}
source "$(dirname "$0")/camsim_run.sh"

start_camsim "$address" 554 --profile ptz_dome --clip 8m --frame-log "$work/sent.log"

# `times` prints the shell's own, then its children's user and system time.
(
  "$build/bin/tessavirn" record --address "$address" --stream h264 --param 3= --param 4=4000 --param 5=16000 \
    --size 1280x720 --interval 40 --quality 100 --seconds "$seconds" --quiet \
    --out "$work/record.h264" --frame-log "$work/recorded.log" >"$work/record.out" 2>&1
  times >"$work/times"
) || { echo "measure_stream: tessavirn record failed:"; cat "$work/record.out"; exit 1; }
cmake --build "$build" --target tessavirn_bare_receiver >/dev/null
"$build/bin/tessavirn_bare_receiver" "$address" h264 "$seconds" 554 "$work/markers.log" >"$work/bare.out" 2>&1 ||
  { echo "measure_stream: the bare receiver failed:"; cat "$work/bare.out"; exit 1; }
stop_camsim
# The simulator logged the recording's session first, then the bare loop's.
awk 'NR == 1 { first = $2 } $2 == first' "$work/sent.log" >"$work/sent_record.log"
awk 'NR == 1 { first = $2 } $2 != first' "$work/sent.log" >"$work/sent_bare.log"

cpu=$(awk 'NR == 2 {
  n = split($1 " " $2, t, " ");
  s = 0;
  for (i = 1; i <= n; ++i) { split(t[i], p, "m"); sub("s", "", p[2]); s += p[1] * 60 + p[2] }
  print s }' "$work/times")

# Pictures only: the parameter-set units are not frames for the host. The k-th picture sent is the
# k-th frame recorded while nothing is lost; the lengths confirm the pairing (a recorded frame is the
# sent one plus the 5-byte delimiter, and a key frame also carries the cached parameter sets).
awk 'FNR == 1 { file++ }
  file == 1 && $5 == 0 { sent++; sent_len[sent] = $6; sent_ns[sent] = $7 }
  file == 2 { got++; got_len[got] = $3; got_ns[got] = $2 }
  END { for (k = 1; k <= got && k <= sent; ++k) printf "%.3f %d\n", (got_ns[k] - sent_ns[k]) / 1e6, got_len[k] - sent_len[k] }' \
  "$work/sent_record.log" "$work/recorded.log" | sort -n >"$work/delays"
# The bare loop: the last marker packet of each RTP time stamp (parameter sets sent ahead of a key
# picture carry its time stamp and a marker of their own) against that picture's sending.
awk 'FNR == 1 { file++ }
  file == 1 && $5 == 0 { sent_ns[$3] = $7 }
  file == 2 { taken_ns[$1] = $2 }
  END { for (t in taken_ns) if (t in sent_ns) printf "%.3f\n", (taken_ns[t] - sent_ns[t]) / 1e6 }' \
  "$work/sent_bare.log" "$work/markers.log" | sort -n >"$work/floor"
floor=$(awk '{ d[++n] = $1 } END { if (n) printf "median %.3f ms, p99 %.3f ms (%d frames)", d[int((n + 1) / 2)], d[int(n * 0.99 + 0.999)], n }' "$work/floor")

sent=$(awk '$5 == 0' "$work/sent_record.log" | wc -l)
got=$(wc -l <"$work/recorded.log")
bytes=$(awk '{ s += $3 } END { print s + 0 }' "$work/recorded.log")
awk -v cpu="$cpu" -v seconds="$seconds" -v sent="$sent" -v got="$got" -v bytes="$bytes" '
  { delay[++n] = $1; if ($2 < 5) mismatched++ }
  END {
    median = n ? delay[int((n + 1) / 2)] : 0;
    p99 = n ? delay[int(n * 0.99 + 0.999)] : 0;
    printf "stream: %d s requested, %d pictures sent, %d frames recorded, %.2f Mbit/s\n",
           seconds, sent, got, bytes * 8 / seconds / 1e6;
    printf "cpu: %.3f s user+system, %.2f ms per stream-second (%.3f %% of one core)\n",
           cpu, cpu * 1000 / seconds, cpu * 100 / seconds;
    printf "lost: %d frames (%.3f %%); pairs whose lengths disagree: %d\n",
           sent - got, sent ? (sent - got) * 100 / sent : 0, mismatched + 0;
    printf "delay marker packet -> host callback: median %.3f ms, p99 %.3f ms (%d frames)\n", median, p99, n;
  }' "$work/delays"
echo "floor, marker packet -> out of the socket in the bare loop: ${floor:-no frames}"
