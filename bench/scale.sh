#!/usr/bin/env bash
# Scale: 64 H.264 channels of 4 Mbit/s (1280x720, 25 frames a second) recorded by ONE tessavirn
# process. Each channel is channel 0 of a camera of its own: 64 camsim processes listen on
# 127.0.2.1 ... 127.0.2.64, so the recording holds 64 driver objects with one channel each and
# every simulator's frame log belongs to exactly one channel. (camsim's encoder_4ch profile
# serves its four inputs side by side, but its frame log names an RTSP session, not the input, so
# frames could not be paired per channel.) Before it, a one-channel recording of the same stream.
# Prints:
#   - frames lost: pictures a simulator sent (its frame log) less frames its channel recorded, per
#     channel and in total; the simulators inject no loss;
#   - CPU (user + system) of the tessavirn process in ms per second of stream, in total and per
#     channel, over the steady part of each run (from every channel's first frame, 15 s at most,
#     to 1.5 s before the end), and per channel as a ratio to the one-channel run; the
#     simulators' own CPU over the same window apart: on this 2-core machine they compete with
#     the recorder;
#   - resident memory per channel: VmRSS of the recording process near its end less VmRSS of a
#     process with the driver loaded and opened and no channel (tessavirn io watch on one
#     simulator: its digital I/O has no input mode and polls nothing; its two threads are not
#     counted), over 64. The host keeps at most 16 released frame buffers of each size for reuse
#     (about 2 MiB here, 33 KiB a channel, counted in), and frames in flight are frame buffers;
#     the rest is the per-channel cost of the driver
#     (sockets, its threads' touched stacks, assembly buffers, the channel's driver object) and of
#     the host's recording state. The same against the one-channel run, over 63, is printed too;
#   - threads and descriptors per channel, from /proc/PID/task and /proc/PID/fd the same way;
#   - the longest StopChannel, from the recording's summary;
#   - the delay from a simulator sending a frame's marker packet to the host's frame callback,
#     median and 99th percentile over all channels: per channel the k-th picture sent is paired
#     with the k-th frame recorded (both stamped from CLOCK_REALTIME), as measure_stream.sh does.
# The driver binds an RTP/RTCP port pair per channel from UDP 3556 upward (to 4555) on every
# address; the script counts the pairs in use before and during the recording.
# Usage: bench/scale.sh [--quick] [--seconds N] [--channels N] [build dir]
#   --seconds: the recording, default 300; --quick: 30. The one-channel run takes a fifth of it,
#   10 to 60 s. --channels: 1 to 200 (default 64), for trying smaller loads.
# Runs as root (the simulators listen on ports 80 and 554 of their addresses).
set -euo pipefail
seconds=300
channels=64
build=build
while [ $# -gt 0 ]; do
  case $1 in
    --quick) seconds=30 ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift ;;
    --channels) channels=${2:?--channels needs a number}; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "scale: unknown option $1" >&2; exit 2 ;;
    *) build=$1 ;;
  esac
  shift
done
case $seconds in '' | *[!0-9]*) echo "scale: --seconds takes a whole number" >&2; exit 2 ;; esac
case $channels in '' | *[!0-9]*) echo "scale: --channels takes a whole number" >&2; exit 2 ;; esac
if [ "$seconds" -lt 10 ] || [ "$seconds" -gt 3600 ]; then echo "scale: --seconds from 10 to 3600" >&2; exit 2; fi
if [ "$channels" -lt 2 ] || [ "$channels" -gt 200 ]; then echo "scale: --channels from 2 to 200" >&2; exit 2; fi
single_seconds=$((seconds / 5))
[ "$single_seconds" -lt 10 ] && single_seconds=10
[ "$single_seconds" -gt 60 ] && single_seconds=60

source "$(dirname "$0")/camsim_run.sh"
# A signal ends the script through its EXIT trap, which stops every process it started.
trap 'exit 130' INT
trap 'exit 143' TERM

clip=$build/tools/camsim/clips/testsrc_1280x720_4m.h264
if [ ! -f "$clip" ]; then
  echo "scale: building the 4 Mbit/s clip (camsim_bench_clips)"
  cmake --build "$build" --target camsim_bench_clips >"$work/clips.out" 2>&1 || {
    cat "$work/clips.out"
    exit 1
  }
fi
tick=$(getconf CLK_TCK)
address_of() { echo "127.0.2.$1"; }

# User + system clock ticks of the given processes, those still there.
cpu_ticks() {
  local files=() pid
  for pid in "$@"; do [ -r "/proc/$pid/stat" ] && files+=("/proc/$pid/stat"); done
  [ ${#files[@]} -eq 0 ] && { echo 0; return; }
  # After "pid (name) " the state is field 1, utime field 12 and stime field 13.
  awk '{ sub(/^.*\) /, ""); s += $12 + $13 } END { print s + 0 }' "${files[@]}" 2>/dev/null || echo 0
}
# "rss_kib threads descriptors" of a process. The digital I/O object's two threads ("Digital
# Input thread", "Digital Output thread") are left out: only the no-channel baseline has them.
process_figures() {
  local pid=$1 rss threads fds
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  threads=$(cat "/proc/$pid/task"/*/comm 2>/dev/null | grep -vc '^Digital ' || true)
  fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  echo "${rss:-0} $threads $fds"
}
# UDP sockets bound to a port from 3556 to 4555, on any address.
udp_ports_in_range() {
  cat /proc/net/udp /proc/net/udp6 2>/dev/null |
    awk 'function hex(t,  i, v) { v = 0; for (i = 1; i <= length(t); ++i) v = v * 16 + index("0123456789ABCDEF", substr(t, i, 1)) - 1; return v }
      $2 ~ /:/ { n2 = split($2, a, ":"); p = hex(toupper(a[n2])); if (p >= 3556 && p <= 4555) n++ }
      END { print n + 0 }'
}
now() { echo "$EPOCHREALTIME"; }
# Sleeps until the EPOCHREALTIME given (nothing when it has passed) or until pid has ended.
sleep_until() {
  local until=$1 pid=$2
  while kill -0 "$pid" 2>/dev/null && awk -v u="$until" -v n="$EPOCHREALTIME" 'BEGIN { exit !(n < u) }'; do
    sleep 0.2
  done
}

# record_run LABEL SECONDS ADDRESS...: records channel 0 of each address into /dev/null with a
# frame log per channel in $work/LABEL/, and leaves in $work/LABEL/figures: window seconds,
# recorder ticks, simulator ticks, rss_kib, threads, descriptors, UDP sockets in the range.
record_run() {
  local label=$1 secs=$2
  shift 2
  local dir=$work/$label
  mkdir -p "$dir"
  local args=() address
  for address in "$@"; do args+=(--address "$address"); done
  local started
  started=$(now)
  "$build/bin/tessavirn" record "${args[@]}" --channel 0 --stream h264 \
    --size 1280x720 --interval 40 --quality 100 --seconds "$secs" --quiet --out /dev/null \
    --frame-log "$dir/rec.log" >"$dir/record.out" 2>&1 &
  local pid=$!
  bench_track "$pid"
  # The frame logs: rec.log for one channel, rec-ADDRESS-ch0.log for several.
  local logs=()
  if [ $# -eq 1 ]; then logs=("$dir/rec.log"); else for address in "$@"; do logs+=("$dir/rec-$address-ch0.log"); done; fi
  # Steady from every channel's first frame on, 15 s at most.
  local warm_until
  warm_until=$(awk -v s="$started" 'BEGIN { printf "%.6f", s + 15 }')
  while kill -0 "$pid" 2>/dev/null && awk -v u="$warm_until" -v n="$EPOCHREALTIME" 'BEGIN { exit !(n < u) }'; do
    local waiting=0 log
    for log in "${logs[@]}"; do [ -s "$log" ] || { waiting=1; break; }; done
    [ $waiting -eq 0 ] && break
    sleep 0.2
  done
  local t0 r0 s0 t1 r1 s1 figures udp
  t0=$(now); r0=$(cpu_ticks "$pid"); s0=$(cpu_ticks "${camsim_pids[@]}")
  sleep_until "$(awk -v s="$started" -v d="$secs" 'BEGIN { printf "%.6f", s + d - 1.5 }')" "$pid"
  t1=$(now); r1=$(cpu_ticks "$pid"); s1=$(cpu_ticks "${camsim_pids[@]}")
  figures=$(process_figures "$pid")
  udp=$(udp_ports_in_range)
  cat "/proc/$pid/task"/*/comm 2>/dev/null | sort | uniq -c | sort -rn |
    awk '{ c = $1; $1 = ""; printf "%s%d%s", (NR > 1 ? ", " : ""), c, $0 } END { print "" }' >"$dir/threads" || true
  # Bounded: the recording ends by itself after secs and its stops; past a minute more it is killed.
  local give_up
  give_up=$(awk -v s="$started" -v d="$secs" 'BEGIN { printf "%.6f", s + d + 60 }')
  sleep_until "$give_up" "$pid"
  if kill -0 "$pid" 2>/dev/null; then
    echo "scale: $label: the recording did not end within a minute of its time; killed" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  local status=0
  wait "$pid" || status=$?
  awk -v t0="$t0" -v t1="$t1" -v r0="$r0" -v r1="$r1" -v s0="$s0" -v s1="$s1" -v f="$figures" -v u="$udp" \
    'BEGIN { printf "%.3f %d %d %s %d %.0f\n", t1 - t0, r1 - r0, s1 - s0, f, u, t1 * 1e9 }' >"$dir/figures"
  echo "$status" >"$dir/status"
}

# pair_channel SENT_LOG RECORDED_LOG STOP_NS: "sent recorded sessions at_stop" on stdout; the
# delays (ms) and length differences of the pairs appended to $work/delays. at_stop: pictures
# sent after both the channel's last recorded frame and STOP_NS (shortly before the recording
# ends), so in flight while the channels are stopped one after another; they are not losses.
pair_channel() {
  awk 'FNR == 1 { file++ }
    file == 1 && $5 == 0 { sent++; sent_len[sent] = $6; sent_ns[sent] = $7; sessions[$2] = 1 }
    file == 2 { got++; got_len[got] = $3; got_ns[got] = $2 }
    END {
      for (k = 1; k <= got && k <= sent; ++k)
        printf "%.3f %d\n", (got_ns[k] - sent_ns[k]) / 1e6, (got_len[k] - sent_len[k]) >> delays;
      n = 0; for (s in sessions) n++;
      at_stop = 0;
      for (k = sent; got > 0 && k > got && sent_ns[k] > got_ns[got] && sent_ns[k] > stop_ns; --k) at_stop++;
      print sent + 0, got + 0, n, at_stop }' delays="$work/delays" stop_ns="$3" "$1" "$2"
}

addresses=()
for i in $(seq "$channels"); do addresses+=("$(address_of "$i")"); done
echo "scale: $channels channels of 4 Mbit/s for $seconds s in one tessavirn process; one channel for $single_seconds s first"
echo "udp 3556-4555 before: $(udp_ports_in_range) sockets bound (the driver needs $((2 * channels)) for $channels channels)"

# One channel, and the process with the driver loaded and no channel.
first=${addresses[0]}
launch_camsim "$first" "$work/camsim-single.out" --profile ptz_dome --clip 4m --frame-log "$work/sent-single.log"
wait_listening "$first" 554 || { echo "scale: the simulator on $first did not start:"; cat "$work/camsim-single.out"; exit 1; }
"$build/bin/tessavirn" io watch --address "$first" --seconds 4 >"$work/idle.out" 2>&1 &
idle_pid=$!
bench_track "$idle_pid"
for _ in $(seq 50); do grep -q '^watching' "$work/idle.out" 2>/dev/null && break; sleep 0.1; done
sleep 1
idle=$(process_figures "$idle_pid")
wait "$idle_pid" || true
record_run single "$single_seconds" "$first"
stop_camsim
read -r _ _ _ _ _ _ _ one_stop_ns <"$work/single/figures"
read -r sent_one got_one _ at_stop_one < <(pair_channel "$work/sent-single.log" "$work/single/rec.log" "$one_stop_ns")

# All channels.
for i in $(seq "$channels"); do
  address=${addresses[$((i - 1))]}
  launch_camsim "$address" "$work/camsim-$address.out" --profile ptz_dome --clip 4m --frame-log "$work/sent-$address.log"
done
for address in "${addresses[@]}"; do
  wait_listening "$address" 554 || { echo "scale: the simulator on $address did not start:"; cat "$work/camsim-$address.out"; exit 1; }
done
record_run all "$seconds" "${addresses[@]}"
stop_camsim

read -r one_window one_ticks _ one_rss one_threads one_fds _ _ <"$work/single/figures"
read -r window ticks camsim_ticks rss threads fds udp stop_ns <"$work/all/figures"
: >"$work/delays"
: >"$work/channels"
for address in "${addresses[@]}"; do
  echo "$address $(pair_channel "$work/sent-$address.log" "$work/all/rec-$address-ch0.log" "$stop_ns")" >>"$work/channels"
done

read -r idle_rss idle_threads idle_fds <<<"$idle"
status=$(cat "$work/all/status")
stop_line=$(grep -m1 '^  longest stop:' "$work/all/record.out" | sed 's/^  longest stop: *//' || true)
recorded_bytes=$(cat "$work/all"/rec-*-ch0.log | awk '{ s += $3 } END { print s + 0 }')

echo
echo "recording: exit status $status (one-channel run: $(cat "$work/single/status"))"
grep '^tessavirn: ' "$work/all/record.out" | head -20 || true
echo "frames lost per channel (sent - recorded - in flight at the stop) [sessions when more than one]:"
awk '{ printf "  %-11s %4d", $1, $2 - $3 - $5; if ($4 > 1) printf " [%d]", $4; if (NR % 6 == 0) printf "\n" }
  END { if (NR % 6 != 0) printf "\n" }' "$work/channels"
awk -v one_sent="$sent_one" -v one_got="$got_one" -v one_stop="$at_stop_one" '
  { lost = $2 - $3 - $5; sent += $2; got += $3; stop += $5; if ($3 == 0) dead++; if (lost > worst) { worst = lost; at = $1 } }
  END {
    printf "frames lost: %d of %d sent (%.3f %%), most on one channel %d%s, channels without frames %d;",
           sent - got - stop, sent, (sent ? (sent - got - stop) * 100 / sent : 0), worst, (worst ? " (" at ")" : ""), dead + 0;
    printf " %d more were in flight when their channel stopped\n", stop;
    printf "one-channel run: %d of %d lost, %d in flight at the stop\n", one_sent - one_got - one_stop, one_sent, one_stop }' "$work/channels"
awk -v w="$window" -v t="$ticks" -v c="$camsim_ticks" -v hz="$tick" -v n="$channels" -v ow="$one_window" \
  -v ot="$one_ticks" -v bytes="$recorded_bytes" -v secs="$seconds" 'BEGIN {
    total = t * 1000 / hz / w; per = total / n; one = ot * 1000 / hz / ow;
    printf "stream: %.1f Mbit/s recorded in all (%.2f per channel)\n", bytes * 8 / secs / 1e6, bytes * 8 / secs / 1e6 / n;
    printf "cpu of tessavirn: %.1f ms per stream-second in all (%.1f %% of one core), %.2f per channel, over %.1f s\n",
           total, total / 10, per, w;
    printf "cpu of one channel alone: %.2f ms per stream-second over %.1f s; per channel at %d: %.2f times that\n",
           one, ow, n, (one > 0 ? per / one : 0);
    printf "cpu of the %d simulators: %.1f ms per second in all (%.1f %% of one core), over the same window\n",
           n, c * 1000 / hz / w, c * 100 / hz / w }'
awk -v n="$channels" -v rss="$rss" -v th="$threads" -v fd="$fds" -v irss="$idle_rss" -v ith="$idle_threads" \
  -v ifd="$idle_fds" -v orss="$one_rss" -v oth="$one_threads" -v ofd="$one_fds" 'BEGIN {
    printf "process: %d KiB resident, %d threads, %d descriptors with %d channels; %d KiB, %d, %d with the driver open and no channel; %d KiB, %d, %d with one channel\n",
           rss, th, fd, n, irss, ith, ifd, orss, oth, ofd;
    printf "per channel over no channel: %.0f KiB resident, %.2f threads, %.2f descriptors\n",
           (rss - irss) / n, (th - ith) / n, (fd - ifd) / n;
    printf "per channel over one channel: %.0f KiB resident, %.2f threads, %.2f descriptors\n",
           (rss - orss) / (n - 1), (th - oth) / (n - 1), (fd - ofd) / (n - 1) }'
echo "threads by name: $(cat "$work/all/threads")"
echo "udp 3556-4555 while recording: $udp sockets bound ($((2 * channels)) for the channels)"
echo "longest stop: ${stop_line:-(not in the summary)}"
sort -n "$work/delays" | awk '
  { delay[++n] = $1; if ($2 < 5) mismatched++ }
  END {
    if (!n) { print "delay: no pairs"; exit }
    printf "delay marker packet -> host callback: median %.3f ms, p99 %.3f ms, max %.3f ms over %d frames; pairs whose lengths disagree: %d\n",
           delay[int((n + 1) / 2)], delay[int(n * 0.99 + 0.999)], delay[n], n, mismatched + 0 }'
