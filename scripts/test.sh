#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The whole test suite on a fresh machine: dependencies, then the native build and its tests,
# then the build for the 32-bit ARM board and the same tests under qemu. Both suites always run;
# the closing lines put their counts side by side, and the last line sums them up.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# Every test makes its own folder, pseudo-terminal, socket and broker port, so ctest runs
# several at once: twice as many as the machine has cores, since most end-to-end tests wait on
# a poll interval or a serial answer far more than they compute.
jobs=$(nproc)
export JOBS=$jobs
export TEST_JOBS=$((2 * jobs))

run_native() {
  "$root/scripts/build.sh" && cd "${BUILD_DIR:-$root/build}" || return 1
  start_soak
  # A short benchmark smoke run (benchmarks are not tests); a failure fails the suite, after
  # ctest so that its summary stays the suite's count.
  "$root/scripts/bench.sh" smoke "$PWD" >bench-smoke.log 2>&1
  local smoke=$?
  ctest --output-on-failure --timeout 300 --no-tests=error -j "$TEST_JOBS" || return 1
  ((smoke == 0)) || { cat bench-smoke.log; echo "benchmark smoke run FAILED"; return 1; }
  tail -n 1 bench-smoke.log
}

# Runs one suite, showing its output as it comes; keeps it for the summary.
run_suite() {
  local name=$1
  shift
  echo "==== $name suite"
  ("$@") 2>&1 | tee "$logs/$name.log"
  echo "${PIPESTATUS[0]}" >"$logs/$name.rc"
}

# A suite that waits more than it computes runs beside the next one; its output is shown
# when it ends.
# It may be started from a suite's subshell, so its end is told by its status file, not by wait.
start_background_suite() {
  local name=$1
  shift
  ("$@" >"$logs/$name.log" 2>&1
    echo $? >"$logs/$name.rc.new" && mv "$logs/$name.rc.new" "$logs/$name.rc") \
    </dev/null >/dev/null 2>&1 &
  echo "==== $name suite started in the background"
}

finish_background_suite() {
  while [[ ! -f $logs/$1.rc ]]; do sleep 1; done
  echo "==== $1 suite"
  cat "$logs/$1.log"
}

# "N tests, P passed, F failed" from ctest's closing line; a suite that did not get as far
# as its tests counts as one failure.
counts_of() {
  local line total passed failed
  # Suites that count something other than ctest tests end with "name: P passed, F failed".
  line=$(grep -E '^[a-z]+: [0-9]+ passed, [0-9]+ failed$' "$logs/$1.log" | tail -n 1)
  if [[ -n "$line" ]]; then
    read -r passed failed < <(sed -E 's/^[a-z]+: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/' <<<"$line")
    echo "$((passed + failed)) $passed $failed"
    return
  fi
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$1.log" |
    tail -n 1)
  if [[ -z "$line" ]]; then
    echo "0 0 1"
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  echo "$total $((total - failed)) $failed"
}

# Three minutes of polling with every fault on, operated through the socket; the long run is
# made by hand (docs/reliability.md). It polls in real time and needs little of the machine,
# so it starts as soon as the native tree is built and runs beside its tests and the ARM suite.
start_soak() {
  start_background_suite soak "$root/scripts/soak.sh" --seconds 180 --sample-seconds 15
}

run_suite native run_native
[[ -f $logs/soak.log ]] || start_soak
run_suite arm "$root/scripts/test-arm.sh"
finish_background_suite soak
# ASan+UBSan over the whole suite, TSan over the concurrency tests, valgrind over plug-in
# loading; then every fuzz target for a bounded time.
run_suite sanitizers "$root/scripts/sanitize.sh"
run_suite fuzz "$root/scripts/fuzz.sh"

status=0
sum_passed=0
sum_failed=0
echo
printf '%-12s %6s %7s %7s\n' suite tests passed failed
for suite in native soak arm sanitizers fuzz; do
  read -r total passed failed < <(counts_of "$suite")
  rc=$(cat "$logs/$suite.rc")
  label=$suite
  [[ "$suite" == arm ]] && label="arm (qemu)"
  note=""
  if [[ "$rc" != 0 ]]; then
    status=1
    ((failed > 0)) || failed=1
    ((total > 0)) || note="  (did not reach its tests)"
  fi
  printf '%-12s %6d %7d %7d%s\n' "$label" "$total" "$passed" "$failed" "$note"
  sum_passed=$((sum_passed + passed))
  sum_failed=$((sum_failed + failed))
done
echo "$sum_passed passed, $sum_failed failed"
exit $status
