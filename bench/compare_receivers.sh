#!/usr/bin/env bash
# What receiving one live RTP/UDP stream from the camera simulator costs four receivers, side by
# side in one run: a bare recvmmsg loop that only counts (tessavirn_bare_receiver, the floor), the
# reference host recording through the driver (tessavirn record, as bench/measure_stream.sh runs
# it, to /dev/null), FFmpeg (-c copy -f null) and GStreamer (rtspsrc ! depayloader ! fakesink),
# the last two over RTP/UDP as well.
#
# Usage: bench/compare_receivers.sh [--build DIR] [--seconds N | --quick] [--rounds N]
#                                   [--streams 2m,8m,16m,mjpeg] [--address A] [--no-syscalls]
#                                   [--keep DIR] [--before DIR]
#   --seconds N   each receiver's run (default 30); --quick is --seconds 10
#   --streams     H.264 1280x720 at 2, 4, 8 or 16 Mbit/s (camsim --clip), Motion-JPEG 1280x720
#                 (default 2m,8m,16m,mjpeg)
#   --rounds N    rounds (default 3); a round runs each receiver once, in the order above
#   --address A   loopback address of the simulator (default 127.0.0.198)
#   --no-syscalls leave perf out: counting costs the receiver a little for each call (up to a
#                 few % of its CPU figure here), so this shows the CPU figures undisturbed
#   --keep DIR    copy every run's logs (receiver output, frames sent and received) into DIR
#   --before DIR  also run the tessavirn program of DIR (with the driver library beside it, as an
#                 earlier build leaves them in its bin folder) as a fifth receiver, "before", right
#                 after tessavirn in each round: a change measured against what it replaced
# Runs as root, after `make build`: the simulator listens on ports 80 and 554; FFmpeg and GStreamer
# (and perf) are installed by bench/install-compare-tools.sh when missing, and the 2, 4 and
# 16 Mbit/s clips are built here. The default, 4 streams x 4 receivers x 3 rounds x 30 s, takes
# about 25 minutes (6 for one stream); --quick about 9.
#
# Every run gets a simulator of its own (so no session of an earlier run is still sending) that
# logs each frame it sends. The measuring window starts 3 s after the simulator sent the run's
# first frame and ends 2 s before the receiver's end. Over that window, per receiver process:
#   - CPU: the time on CPU of all its threads, summed from /proc/PID/task/*/schedstat (ns), per
#     second of window; /proc/PID/stat utime+stime (clock ticks, threads that ended included) is
#     printed beside it as a cross-check;
#   - system calls per second: perf stat counting raw_syscalls:sys_enter on the process over the
#     window (strace is not used instead: stopping the process at every call would inflate the CPU
#     figure measured in the same window); "-" when perf cannot count them;
#   - peak resident memory (VmHWM) and threads, from /proc/PID/status at the window's end.
# Frames: what the receiver reports for its whole run (bare loop: marker packets with a new RTP
# time stamp; tessavirn: the frames of its summary, so that it writes no per-frame log the others
# do not; FFmpeg: frame= of -progress; GStreamer reports
# none, "-") against the pictures the simulator sent in that session, which include any sent
# between the receiver's last read and its TEARDOWN. The table gives medians over the rounds,
# frames summed over them; the raw lines after it give every run.
set -euo pipefail

build=build
seconds=30
rounds=3
streams=2m,8m,16m,mjpeg
address=127.0.0.198
count_syscalls=1
keep=
before=
warmup_s=3
tail_s=2
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --quick) seconds=10; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    --streams) streams=$2; shift 2 ;;
    --address) address=$2; shift 2 ;;
    --no-syscalls) count_syscalls=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    --before) before=$(cd "$2" && pwd); shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare_receivers: unknown option $1 (--help lists them)" >&2; exit 2 ;;
  esac
done
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt $((warmup_s + tail_s + 3)) ]; then
  echo "compare_receivers: --seconds must be a whole number of at least $((warmup_s + tail_s + 3))" >&2
  exit 2
fi
if ! [[ $rounds =~ ^[1-9][0-9]*$ ]]; then
  echo "compare_receivers: --rounds must be a positive whole number" >&2
  exit 2
fi
IFS=, read -ra stream_list <<<"$streams"
for s in "${stream_list[@]}"; do
  case $s in 2m | 4m | 8m | 16m | mjpeg) ;; *) echo "compare_receivers: unknown stream $s" >&2; exit 2 ;; esac
done
if [ "$(id -u)" -ne 0 ]; then
  echo "compare_receivers: run as root (the simulator listens on ports 80 and 554)" >&2
  exit 1
fi
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$build/bin/tessavirn" ] || [ ! -x "$build/bin/camsim" ]; then
  echo "compare_receivers: no build in $build; run make build first" >&2
  exit 1
fi
for tool in ffmpeg gst-launch-1.0 perf; do
  command -v "$tool" >/dev/null || { bash "$here/install-compare-tools.sh"; break; }
done
cmake --build "$build" --target camsim_bench_clips tessavirn_bare_receiver >/dev/null

# shellcheck source-path=SCRIPTDIR source=camsim_run.sh
source "$here/camsim_run.sh"

# perf needs the tracepoints of tracefs; mounted here when it is not yet.
syscall_method=none
if [ "$count_syscalls" = 1 ] && command -v perf >/dev/null; then
  perf_works() { perf stat -x, -e raw_syscalls:sys_enter -- true >/dev/null 2>&1; }
  if ! perf_works && [ ! -d /sys/kernel/tracing/events ]; then
    mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null || true
  fi
  perf_works && syscall_method=perf
fi

# CPU time in ns of all threads of PID, from their schedstat.
cpu_ns() {
  local total=0 ns task
  for task in /proc/"$1"/task/*/schedstat; do
    read -r ns _ <"$task" 2>/dev/null && total=$((total + ns))
  done
  echo "$total"
}
# utime + stime of PID in clock ticks, exited threads included.
cpu_ticks() {
  local stat fields
  stat=$(<"/proc/$1/stat")
  read -ra fields <<<"${stat##*) }"
  echo $((fields[11] + fields[12]))
}
# True while PID runs (not yet ended, not a zombie).
running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  [ "$(echo "${stat##*) }" | cut -d' ' -f1)" != Z ]
}
status_field() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
now() { echo "$EPOCHREALTIME"; }
# Sleeps until the epoch time $1, in a tracked background sleep that a signal to this script
# interrupts and the clean-up ends.
sleep_until() {
  sleep "$(awk -v t="$1" -v n="$EPOCHREALTIME" 'BEGIN { d = t - n; print (d > 0 ? d : 0) }')" &
  local sleeper=$!
  bench_track "$sleeper"
  wait "$sleeper" || true
  bench_untrack "$sleeper"
}
ticks_per_s=$(getconf CLK_TCK)

# Stops PID by SIGNAL if it still runs, and waits for it: 5 s, then SIGKILL.
end_process() {
  local pid=$1 signal=$2
  kill -s "$signal" "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  bench_untrack "$pid"
}

# run_one STREAM RECEIVER ROUND: one run, appending its figures to $work/results as
# stream receiver round cpu_ms_per_s ticks_ms_per_s syscalls_per_s hwm_kib threads got sent teardown
run_one() {
  local stream=$1 receiver=$2 round=$3
  local dir=$work/$stream-$receiver-$round codec=h264 depay=rtph264depay
  mkdir -p "$dir"
  local camsim_opts=(--profile ptz_dome --frame-log "$dir/sent.log")
  if [ "$stream" = mjpeg ]; then
    codec=mjpeg depay=rtpjpegdepay
    camsim_opts+=(--mjpeg-size 1280x720)
  else
    camsim_opts+=(--clip "$stream")
  fi
  local url="rtsp://$address:554/VideoInput/1/$codec/1"
  start_camsim "$address" 554 "${camsim_opts[@]}"

  local stop_signal=TERM
  case $receiver in
    bare)
      "$build/bin/tessavirn_bare_receiver" "$address" "$codec" "$seconds" >"$dir/out" 2>&1 & ;;
    tessavirn | before)
      local program=$build/bin/tessavirn
      [ "$receiver" = before ] && program=$before/tessavirn
      "$program" record --address "$address" --stream "$codec" --param 3= --param 4=4000 \
        --param 5=16000 --size 1280x720 --interval 40 --quality 100 --seconds "$seconds" --quiet \
        --out /dev/null >"$dir/out" 2>&1 & ;;
    ffmpeg)
      ffmpeg -nostdin -loglevel error -nostats -progress "$dir/progress" -rtsp_transport udp \
        -i "$url" -t "$seconds" -c copy -f null - >"$dir/out" 2>&1 & ;;
    gst)
      stop_signal=INT
      gst-launch-1.0 -q rtspsrc location="$url" protocols=udp ! "$depay" ! fakesink \
        >"$dir/out" 2>&1 & ;;
  esac
  local pid=$! started
  started=$(now)
  bench_track "$pid"

  # The window follows the run's first frame out of the simulator.
  local first=
  for _ in $(seq 200); do
    [ -s "$dir/sent.log" ] && first=$(now) && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$first" ]; then
    echo "compare_receivers: $receiver ($stream, round $round) never started the stream:" >&2
    end_process "$pid" "$stop_signal"
    stop_camsim
    cat "$dir/out" "$work/camsim.out" >&2
    return 1
  fi
  local begin end_at
  begin=$(awk -v f="$first" -v w="$warmup_s" 'BEGIN { printf "%.6f", f + w }')
  end_at=$(awk -v s="$started" -v n="$seconds" -v t="$tail_s" 'BEGIN { printf "%.6f", s + n - t }')
  sleep_until "$begin"

  local cpu0 ticks0 t0 perf_pid=
  cpu0=$(cpu_ns "$pid") ticks0=$(cpu_ticks "$pid" 2>/dev/null) t0=$(now)
  if [ "$syscall_method" = perf ]; then
    # Counts until SIGINT, at the window's end.
    perf stat -x, -o "$dir/perf" -e raw_syscalls:sys_enter -p "$pid" >/dev/null 2>&1 &
    perf_pid=$!
    bench_track "$perf_pid"
  fi
  sleep_until "$end_at"
  local cpu1 ticks1 t1 hwm threads
  cpu1=$(cpu_ns "$pid") ticks1=$(cpu_ticks "$pid" 2>/dev/null) t1=$(now)
  hwm=$(status_field "$pid" VmHWM 2>/dev/null) threads=$(status_field "$pid" Threads 2>/dev/null)
  [ -n "$perf_pid" ] && end_process "$perf_pid" INT
  if ! running "$pid"; then
    echo "compare_receivers: $receiver ($stream, round $round) ended before the window closed:" >&2
    cat "$dir/out" >&2
    end_process "$pid" "$stop_signal"
    stop_camsim
    return 1
  fi

  # Bare loop, tessavirn and FFmpeg stop by themselves at their end; GStreamer is stopped.
  if [ "$receiver" = gst ]; then
    sleep_until "$(awk -v s="$started" -v n="$seconds" 'BEGIN { printf "%.6f", s + n }')"
    end_process "$pid" INT
  else
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    end_process "$pid" "$stop_signal"
  fi
  local teardown
  teardown=$(curl -s --max-time 2 "http://$address/camsim/rtsp" |
    awk -F= '$1 == "sessions_torn_down" { print ($2 + 0 > 0) ? "yes" : "no" }')
  stop_camsim

  local got=- syscalls=-
  case $receiver in
    bare) got=$(sed -n 's/.*frames=\([0-9]*\).*/\1/p' "$dir/out") ;;
    tessavirn | before) got=$(awk '$1 == "frames:" { print $2; exit }' "$dir/out") ;;
    ffmpeg) got=$(awk -F= '$1 == "frame" { f = $2 } END { print f == "" ? "-" : f + 0 }' \
      "$dir/progress" 2>/dev/null || echo -) ;;
  esac
  if [ -s "$dir/perf" ]; then
    syscalls=$(awk -F, -v w="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" \
      '$3 == "raw_syscalls:sys_enter" && $1 ~ /^[0-9]+$/ { printf "%.0f", $1 / w }' "$dir/perf")
    [ -n "$syscalls" ] || syscalls=-
  fi
  local session sent
  session=$(awk 'NR == 1 { print $2 }' "$dir/sent.log")
  sent=$(awk -v s="$session" '$2 == s && $5 == 0' "$dir/sent.log" | wc -l)
  awk -v st="$stream" -v r="$receiver" -v n="$round" -v c0="$cpu0" -v c1="$cpu1" -v k0="$ticks0" \
    -v k1="$ticks1" -v hz="$ticks_per_s" -v t0="$t0" -v t1="$t1" -v sc="$syscalls" -v hwm="$hwm" \
    -v th="$threads" -v got="${got:--}" -v sent="$sent" -v td="${teardown:-?}" 'BEGIN {
      w = t1 - t0;
      printf "%s %s %d %.3f %.3f %s %d %d %s %d %s\n", st, r, n, (c1 - c0) / 1e6 / w,
             (k1 - k0) * 1000 / hz / w, sc, hwm, th, got, sent, td }' >>"$work/results"
  if [ -n "$(awk -v t="$t1" -v e="$end_at" 'BEGIN { if (t - e > 1) print "late" }')" ]; then
    echo "compare_receivers: $receiver ($stream, round $round): the window closed late" >&2
  fi
}

describe_stream() {
  case $1 in
    mjpeg) echo "Motion-JPEG 1280x720, 25 fps (camsim --mjpeg-size 1280x720)" ;;
    *) echo "H.264 1280x720, 25 fps, ${1%m} Mbit/s (camsim --clip $1)" ;;
  esac
}

# The Markdown table of one stream from $work/results.
print_table() {
  local stream=$1
  echo
  echo "### $(describe_stream "$stream")"
  echo
  echo "Window $((seconds - warmup_s - tail_s)) s of each $seconds s run, $rounds rounds; system calls by $syscall_method."
  echo
  awk -v st="$stream" -v rounds="$rounds" -v receivers="${receivers[*]}" '
    function median(list, n,    a, i, j, t, k) {
      k = 0
      n = split(list, a, " ")
      for (i = 1; i <= n; ++i) if (a[i] != "-") a[++k] = a[i] + 0
      if (k == 0) return "-"
      for (i = 2; i <= k; ++i) for (j = i; j > 1 && a[j - 1] > a[j]; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    BEGIN { count = split(receivers, order, " ") }
    $1 == st {
      r = $2
      seen[r] = 1
      cpu[r] = cpu[r] " " $4; ticks[r] = ticks[r] " " $5; sc[r] = sc[r] " " $6
      hwm[r] = hwm[r] " " $7; th[r] = th[r] " " $8
      if ($9 == "-") nogot[r] = 1; else got[r] += $9
      sent[r] += $10; td[r] = td[r] " " $11
    }
    END {
      for (i = 1; i <= count; ++i) { r = order[i]; if (r in seen) m[r] = median(cpu[r]) }
      print "| receiver | CPU ms/stream-s (median of " rounds ") | ×bare | ×ffmpeg | syscalls/s | peak RSS MiB | threads | frames got/sent |"
      print "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
      for (i = 1; i <= count; ++i) {
        r = order[i]
        if (!(r in seen)) { printf "| %s | no run succeeded | | | | | | |\n", r; continue }
        s = median(sc[r])
        runs = split(cpu[r], c, " ")
        name = runs < rounds ? sprintf("%s (%d of %d runs)", r, runs, rounds) : r
        printf "| %s | %.2f | %s | %s | %s | %.1f | %s | %s/%d |\n", name, m[r],
               ("bare" in m && m["bare"] > 0) ? sprintf("%.1f", m[r] / m["bare"]) : "-",
               ("ffmpeg" in m && m["ffmpeg"] > 0) ? sprintf("%.2f", m[r] / m["ffmpeg"]) : "-",
               s == "-" ? "-" : sprintf("%.0f", s), median(hwm[r]) / 1024, median(th[r]),
               nogot[r] ? "-" : got[r], sent[r]
      }
      print ""
      print "Raw CPU ms/stream-s by round (schedstat; stat ticks in brackets), TEARDOWN seen:"
      for (i = 1; i <= count; ++i) {
        r = order[i]
        if (!(r in seen)) continue
        n = split(cpu[r], c, " "); split(ticks[r], k, " ")
        line = ""
        for (j = 1; j <= n; ++j) line = line sprintf(" %.2f (%.1f)", c[j], k[j])
        printf "- %s:%s; teardown:%s\n", r, line, td[r]
      }
    }' "$work/results"
}

echo "compare_receivers: $(nproc) cores, $seconds s runs, $rounds rounds, streams ${stream_list[*]}," \
  "address $address, system calls by $syscall_method"
: >"$work/results"
receivers=(bare tessavirn ffmpeg gst)
[ -n "$before" ] && receivers=(bare tessavirn before ffmpeg gst)
for stream in "${stream_list[@]}"; do
  for round in $(seq "$rounds"); do
    for receiver in "${receivers[@]}"; do
      run_one "$stream" "$receiver" "$round" || true
    done
  done
  print_table "$stream"
done
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp -r "$work"/. "$keep"/
fi
