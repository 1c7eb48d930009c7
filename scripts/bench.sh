#!/usr/bin/env bash
# Benchmarks of the plug-in. Benchmarks are not tests: CI runs only the smoke run.
#   scripts/bench.sh smoke [BUILD_DIR]  every benchmark once, briefly, in an existing build
#                                       (default build/); fails when a benchmark cannot measure
#                                       the path it is meant to (the path is broken)
#   scripts/bench.sh figures            Release build in build-bench/, the benchmarks with
#                                       repetitions (medians), the heap report and instruction
#                                       counts: the figures of bench/README.md
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench_build=${BENCH_BUILD_DIR:-$root/build-bench}

# Runs one program; fails when it fails or reports a benchmark that could not run.
run_checked() {
  local out
  out=$("$@" 2>&1)
  local rc=$?
  echo "$out"
  if ((rc != 0)) || grep -q "ERROR OCCURRED" <<<"$out"; then
    echo "bench.sh: $(basename "$1") failed" >&2
    return 1
  fi
}

smoke() {
  local build_dir=${1:-$root/build}
  local bin=$build_dir/bench
  [[ -x "$bin/bench_do3008ra" ]] || { echo "bench.sh: no benchmarks in $build_dir" >&2; return 1; }
  local status=0
  run_checked "$bin/bench_do3008ra" --benchmark_min_time=0.01 --benchmark_color=false || status=1
  run_checked "$bin/bench_memory" || status=1
  run_checked "$bin/bench_cycle_count" mode5 10 || status=1
  echo "benchmark smoke run: $([[ $status == 0 ]] && echo ok || echo FAILED)"
  return $status
}

figures() {
  cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  cmake --build "$bench_build" -- -j2 >/dev/null || return 1
  local bin=$bench_build/bench
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  run_checked "$bin/bench_do3008ra" --benchmark_repetitions="${REPETITIONS:-5}" \
    --benchmark_report_aggregates_only=true --benchmark_min_time="${MIN_TIME:-0.5}" \
    --benchmark_color=false || return 1
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  run_checked "$bin/bench_memory" || return 1
  echo
  "$root/scripts/callgrind.sh"
}

case ${1:-} in
  smoke) smoke "${2:-}" ;;
  figures) figures ;;
  *)
    sed -n '2,9p' "$0" >&2
    exit 2
    ;;
esac
