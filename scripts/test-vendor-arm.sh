#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The plug-in built with a second ARM toolchain the way a board vendor's SDK builds it: Debian's
# g++-11-arm-linux-gnueabihf, named only through the toolchain file's variables (here from the
# environment), into build-arm-gcc11/ (or $VENDOR_ARM_BUILD_DIR). Only the plug-in and its
# loading test are built; the loading, export, ABI-floor and package tests run under qemu.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${VENDOR_ARM_BUILD_DIR:-$root/build-arm-gcc11}
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi

export DO3008RA_ARM_TOOLCHAIN_PREFIX=arm-linux-gnueabihf-
export DO3008RA_ARM_COMPILER_SUFFIX=-11
cmake -S "$root" -B "$build_dir" -G Ninja --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -DDO3008RA_WERROR="$werror" -DDO3008RA_TOOLS=OFF -DDO3008RA_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target do3008ra plugin_loading_tests

# The plug-in must really come from the second compiler, not the default one on PATH.
comment=$(arm-linux-gnueabihf-readelf -p .comment "$build_dir/plugins/do3008ra.so")
if ! grep -qE 'GCC: .* 11\.' <<<"$comment"; then
  echo "the plug-in was not built by GCC 11:"
  echo "$comment"
  exit 1
fi
echo "plug-in built by $(grep -oE 'GCC: .*' <<<"$comment" | sed -n 1p)"

cd "$build_dir"
ctest --output-on-failure --timeout 600 --no-tests=error -R '^(PluginLoading\.|plugin_)'
