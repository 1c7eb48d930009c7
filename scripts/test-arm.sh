#!/usr/bin/env bash
# The test suite built for the 32-bit ARM board (arm-linux-gnueabihf) and run under qemu-user:
# the plug-in, the host library and every unit, ABI and loading test, in build-arm/ (or
# $ARM_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build_dir=${ARM_BUILD_DIR:-$root/build-arm}
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi

cmake -S "$root" -B "$build_dir" -G Ninja --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -DDO3008RA_WERROR="$werror" -DDO3008RA_TOOLS=OFF -DDO3008RA_BENCHMARKS=OFF "$@" >/dev/null
cmake --build "$build_dir" -j 2

# Each test is a process under the emulator, ten or so times slower than natively; the
# stress tests need the longer limit.
cd "$build_dir"
ctest --output-on-failure --timeout 600 --no-tests=error -j 2
