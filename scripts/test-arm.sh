#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The test suite built for the 32-bit ARM board (arm-linux-gnueabihf) and run under qemu-user:
# the plug-in, the host library and every unit, ABI, package and loading test, the reference host
# and the simulator with their package and a few end-to-end scenarios, in build-arm/ (or
# $ARM_BUILD_DIR); then the plug-in built with a second toolchain (scripts/test-vendor-arm.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build_dir=${ARM_BUILD_DIR:-$root/build-arm}
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi

cmake -S "$root" -B "$build_dir" -G Ninja --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -DDO3008RA_WERROR="$werror" -DDO3008RA_TOOLS=ON -DDO3008RA_BENCHMARKS=OFF \
  -DDO3008RA_UNITY_TOOLS=ON "$@" >/dev/null
cmake --build "$build_dir" -j 2

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Each test is a process under the emulator, ten or so times slower than natively; the
# stress tests need the longer limit.
set +e
(cd "$build_dir" && ctest --output-on-failure --timeout 600 --no-tests=error -j "$(nproc)") 2>&1 |
  tee "$logs/main.log"
main_rc=${PIPESTATUS[0]}
# The plug-in again, built with a second toolchain as a board vendor's SDK would build it.
echo "==== plug-in built with a second ARM toolchain (scripts/test-vendor-arm.sh)"
"$root/scripts/test-vendor-arm.sh" 2>&1 | tee "$logs/vendor.log"
vendor_rc=${PIPESTATUS[0]}
set -e

# One count over both ctest runs, for scripts/test.sh; a run that did not reach its tests
# counts as one failure.
passed=0
failed=0
for run in main vendor; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$run.log" |
    tail -n 1 || true)
  if [[ -z "$line" ]]; then
    failed=$((failed + 1))
    continue
  fi
  run_failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  run_total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + run_total - run_failed))
  failed=$((failed + run_failed))
done
echo "arm: $passed passed, $failed failed"
((main_rc == 0 && vendor_rc == 0))
