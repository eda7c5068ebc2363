# shellcheck shell=bash
# Sourced by the bench scripts: a scratch folder ($work) and background processes that are all
# gone on exit, and a camera simulator started and waited for. Expects $build to be set.
: "${build:?set build before sourcing camsim_run.sh}"
work=$(mktemp -d)
camsim_pid=
bench_pids=()
bench_cleanup() {
  for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
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

# start_camsim ADDRESS WAIT_PORT [camsim options...]: the simulator on port 80 (and 554) of
# ADDRESS, its output in $work/camsim.out; returns once WAIT_PORT accepts (10 s at most).
start_camsim() {
  local address=$1 wait_port=$2
  shift 2
  "$build/bin/camsim" --addr "$address" --port 80 "$@" >"$work/camsim.out" 2>&1 &
  camsim_pid=$!
  bench_track "$camsim_pid"
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$address/$wait_port") 2>/dev/null && return 0
    sleep 0.1
  done
}

# Stops the simulator before the script ends, so that its logs are complete.
stop_camsim() {
  kill "$camsim_pid" 2>/dev/null || true
  wait "$camsim_pid" 2>/dev/null || true
  bench_untrack "$camsim_pid"
}
