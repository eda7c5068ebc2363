# shellcheck shell=bash
# Sourced by the bench scripts: a scratch folder ($work) and background processes that are all
# gone on exit, and camera simulators started and waited for. Expects $build to be set.
: "${build:?set build before sourcing camsim_run.sh}"
work=$(mktemp -d)
camsim_pid=
camsim_pids=()
bench_pids=()
bench_cleanup() {
  # All are told first, then each is reaped: many simulators stop side by side.
  for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${bench_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap bench_cleanup EXIT

# Remembers a background process for the clean-up; bench_untrack forgets one that has been waited
# for, so that the clean-up never signals a process id reused since.
bench_track() { bench_pids+=("$1"); }
bench_untrack() {
  local kept=() pid
  for pid in "${bench_pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  bench_pids=("${kept[@]}")
}

# launch_camsim ADDRESS OUTPUT [camsim options...]: a simulator on port 80 (and 554) of ADDRESS in
# the background, its output in OUTPUT; its pid goes to camsim_pid and camsim_pids. Does not wait.
launch_camsim() {
  local address=$1 output=$2
  shift 2
  "$build/bin/camsim" --addr "$address" --port 80 "$@" >"$output" 2>&1 &
  camsim_pid=$!
  camsim_pids+=("$camsim_pid")
  bench_track "$camsim_pid"
}

# wait_listening ADDRESS PORT: returns 0 once ADDRESS:PORT accepts TCP connections, 1 after 10 s.
wait_listening() {
  local address=$1 port=$2
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# start_camsim ADDRESS WAIT_PORT [camsim options...]: the simulator on port 80 (and 554) of
# ADDRESS, its output in $work/camsim.out; returns once WAIT_PORT accepts (10 s at most).
start_camsim() {
  local address=$1 wait_port=$2
  shift 2
  launch_camsim "$address" "$work/camsim.out" "$@"
  wait_listening "$address" "$wait_port" || true
}

# Stops every simulator started so far before the script ends, so that their logs are complete:
# all are told first, then each is reaped.
stop_camsim() {
  local pid
  for pid in "${camsim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${camsim_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
    bench_untrack "$pid"
  done
  camsim_pids=()
}
