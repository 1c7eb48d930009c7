# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts that run the simulated sensor and the host in the background. Needs
# $build_dir, the build folder the programs come from.

# Starts the simulated sensor with its pseudo-terminal linked at $1 and its output in $2, the
# other arguments its options; sets sensor_pid and waits (bounded) until the link is there.
start_sensor() {
  local link=$1 log=$2
  shift 2
  "$build_dir/tools/do3008ra-sim/do3008ra-sim" --link "$link" "$@" >"$log" 2>&1 &
  sensor_pid=$!
  for _ in $(seq 100); do
    [[ -e $link ]] && return 0
    sleep 0.05
  done
  echo "the simulated sensor did not start:" >&2
  cat "$log" >&2
  return 1
}

# Ends a program started in the background, one that was stopped (SIGSTOP) too, and reaps it;
# nothing when $1 is empty.
stop_process() {
  [[ -n ${1:-} ]] || return 0
  kill -CONT "$1" 2>/dev/null || true
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
