#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Sanitizer suites: the whole native test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# (build-asan), the concurrency tests under ThreadSanitizer (build-tsan, unit and in-process host
# tests only), and one valgrind memcheck run of the plug-in loading test (native tree). Any
# report fails its suite.
#
#   scripts/sanitize.sh [address] [thread] [valgrind]     (default: all three)
#
# Ends with one line "N passed, N failed" counting the suites.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
test_jobs=${TEST_JOBS:-$jobs}
suites=("$@")
((${#suites[@]} == 0)) && suites=(address thread valgrind)

# Reports abort the process, so a test that triggers one fails; leaks are reported at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# Instrumented trees are built at -O1 with line tables only (what the sanitizers need for their
# reports), the host and the tests in batches of files: a third of the compile time of -O2 -g.
configure() {  # build dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DDO3008RA_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DDO3008RA_UNITY_TOOLS=ON "$@" \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

suite_address() {
  local dir=$root/build-asan
  # Benchmarks are not tests: the instrumented tree leaves them out.
  configure "$dir" -DDO3008RA_SANITIZE=address -DDO3008RA_BENCHMARKS=OFF || return 1
  cmake --build "$dir" -j "$jobs" || return 1
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$test_jobs")
}

# Only the unit tests and the host's in-process tests are built; the concurrency tests are
# every test whose name says so.
suite_thread() {
  local dir=$root/build-tsan
  configure "$dir" -DDO3008RA_SANITIZE=thread || return 1
  cmake --build "$dir" -j "$jobs" --target unit_tests host_tests || return 1
  # TSan maps its shadow at fixed addresses; a wide address-space randomisation can collide.
  local tests
  for tests in "$dir/tests/unit_tests" "$dir/tests/host/host_tests"; do
    setarch "$(uname -m)" -R "$tests" --gtest_filter='*Concurrency*' --gtest_brief=1 || return 1
  done
}

memcheck() {
  valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes "$@"
}

# The plug-in created, used and destroyed through dlopen, in an uninstrumented tree: the loading
# test, then the reference host polling the simulated sensor (cycles with an alarm, a restore
# from the store, a confirmed write, a status document).
suite_valgrind() {
  local dir=${BUILD_DIR:-$root/build}
  # The native tree as scripts/build.sh makes it.
  [[ -f $dir/CMakeCache.txt ]] || BUILD_TARGETS=do3008ra "$root/scripts/build.sh" || return 1
  cmake --build "$dir" -j "$jobs" --target plugin_loading_tests do3008ra devhost do3008ra-sim ||
    return 1
  memcheck "$dir/tests/plugin_loading_tests" --gtest_brief=1 || return 1
  local work status=0 sensor
  work=$(mktemp -d)
  "$dir/tools/do3008ra-sim/do3008ra-sim" --link "$work/sensor" --temperature 24:33:8 \
    >"$work/sensor.log" 2>&1 &
  sensor=$!
  for _ in $(seq 100); do [[ -e $work/sensor ]] && break; sleep 0.05; done
  local host=("$dir/tools/devhost/devhost" --port "$work/sensor" --db "$work/host.db"
    --plugin-dir "$dir/plugins" --plugin-log "$work/plugin.log")
  memcheck "${host[@]}" run --cycles 3 "$root/examples/mode5.json" || status=1
  memcheck "${host[@]}" write "$root/examples/mode5.json" 12 80 15 || status=1
  kill "$sensor" 2>/dev/null
  wait "$sensor" 2>/dev/null
  rm -rf "$work"
  return $status
}

passed=0 failed=0
for suite in "${suites[@]}"; do
  echo "== sanitizer suite: $suite"
  if "suite_$suite"; then
    echo "== $suite: passed"
    passed=$((passed + 1))
  else
    echo "== $suite: FAILED"
    failed=$((failed + 1))
  fi
done
echo "sanitizers: $passed passed, $failed failed"
((failed == 0))
