#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the libFuzzer targets of fuzz/ one after another (one core), each from its committed
# seeds plus a working corpus in build-fuzz/corpus/. Any finding (crash, sanitizer report,
# broken invariant, leak, hang) fails the run; the input that caused it is left in
# build-fuzz/findings/<target>/ and the report at the end of build-fuzz/logs/<target>.log.
#
#   scripts/fuzz.sh                       bounded run, 30 s per target (the test suite's)
#   scripts/fuzz.sh --seconds 600         any duration per target
#   scripts/fuzz.sh --long                long run, 1 hour per target (or --seconds), figures
#                                         appended to build-fuzz/long-runs.tsv
#   scripts/fuzz.sh [options] TARGET...   only these targets
#   scripts/fuzz.sh --build-only          build the targets and stop
#
# Ends with one line "fuzz: N passed, N failed" counting the targets.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
all_targets=(fuzz_settings fuzz_rule_file fuzz_commands fuzz_cache fuzz_sequence)
seconds='' long=0 build_only=0 targets=()

while (($#)); do
  case $1 in
    --seconds) seconds=$2 && shift ;;
    --long) long=1 ;;
    --build-only) build_only=1 ;;
    -h | --help) sed -n '2,14p' "$0" && exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[[ -n $seconds ]] || seconds=$((long ? 3600 : 30))
((${#targets[@]} == 0)) && targets=("${all_targets[@]}")

if [[ ! -f $dir/CMakeCache.txt ]]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DDO3008RA_WERROR=ON \
    -DDO3008RA_FUZZ=ON -DDO3008RA_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
mkdir -p "$dir/logs"
# Several runs may share the build tree (scripts/fuzz-long.sh); one builds at a time.
build_targets() {
  flock 9 && cmake --build "$dir" -j "${JOBS:-2}" --target fuzz_targets >"$dir/logs/build.log" 2>&1
} 9>"$dir/logs/build.lock"
if ! build_targets; then
  cat "$dir/logs/build.log"
  echo "fuzz: 0 passed, ${#targets[@]} failed"
  exit 1
fi
((build_only)) && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Value of the last "cov:"/"ft:" figure in a libFuzzer log.
last_figure() { grep -oE "$1: [0-9]+" "$2" | tail -1 | awk '{print $2}'; }

# One target for the given time; its line of figures goes to logs/TARGET.result, its exit status
# says whether it found something.
fuzz_one() {
  local target=$1
  local corpus=$dir/corpus/$target findings=$dir/findings/$target log=$dir/logs/$target.log
  mkdir -p "$corpus" "$findings" "$root/fuzz/seeds/$target"
  local dict=()
  [[ -f $root/fuzz/dict/$target.dict ]] && dict=(-dict="$root/fuzz/dict/$target.dict")
  "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" \
    "$corpus" "$root/fuzz/seeds/$target" >"$log" 2>&1
  local status=$? result=ok
  local execs cov ft
  execs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | awk '{print $2}')
  cov=$(last_figure cov "$log") ft=$(last_figure ft "$log")
  ((status == 0)) || result=FINDING
  printf '%-16s %5ss  %10s execs  cov %5s  ft %6s  %s\n' "$target" "$seconds" "${execs:-?}" \
    "${cov:-?}" "${ft:-?}" "$result" >"$dir/logs/$target.result"
  if ((long)); then
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" \
      "${execs:-0}" "${cov:-0}" "${ft:-0}" "$result" >>"$dir/long-runs.tsv"
  fi
  return $status
}

# The targets run side by side, one a core: each still gets its whole time on a core of its own.
parallel=${FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
  if ((running >= parallel)); then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

passed=0 failed=0
for target in "${targets[@]}"; do
  if grep -q ' ok$' "$dir/logs/$target.result" 2>/dev/null; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    tail -n 40 "$dir/logs/$target.log"
  fi
  cat "$dir/logs/$target.result" 2>/dev/null || echo "$target: no result"
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
