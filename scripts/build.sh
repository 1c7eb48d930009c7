#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds the native tree in build/ (or $BUILD_DIR): everything, or only the
# targets named in $BUILD_TARGETS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi
cmake -S "$root" -B "$build_dir" -G Ninja -DDO3008RA_WERROR="$werror" "$@" >/dev/null
# shellcheck disable=SC2086 # a list of target names
cmake --build "$build_dir" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
