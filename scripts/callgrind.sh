#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions per poll answer and per whole cycle, counted by callgrind. Wall time on a shared
# machine is noisy; instruction counts repeat to the instruction. Builds the Release tree in
# build-bench/ (or $BENCH_BUILD_DIR) and counts only the measured loop (MeasuredCycles), not
# the set-up, configuration or warm-up.
#   scripts/callgrind.sh [COUNT]     COUNT answers or cycles per setup (default 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}
count=${1:-2000}

command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is not installed" >&2; exit 1; }
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target bench_cycle_count -- -j2 >/dev/null
driver=$build_dir/bench/bench_cycle_count

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --collect-atstart=no \
    --toggle-collect=MeasuredCycles "$driver" "$1" "$count" 2>&1 |
    sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p'
}

printf '%-34s %14s\n' "work (Release, $(uname -m))" "instructions"
for work in answer mode0 mode1 mode5; do
  case $work in
    answer) label="one poll answer (steps 11-15)" ;;
    mode0) label="whole cycle, mode 0" ;;
    mode1) label="whole cycle, mode 1, 3 signals" ;;
    mode5) label="whole cycle, mode 5, 12 rules" ;;
  esac
  total=$(instructions "$work")
  [[ -n "$total" ]] || { echo "callgrind.sh: no count for $work" >&2; exit 1; }
  printf '%-34s %14s\n' "$label" "$((total / count))"
done
