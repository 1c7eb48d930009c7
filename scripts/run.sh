#!/usr/bin/env bash
# The main job: builds the plug-in and loads it the way the controller does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build_dir=${BUILD_DIR:-$root/build}
"$build_dir/tools/plugin-probe/plugin-probe" "$build_dir/plugins/do3008ra.so" \
  "$root/tools/plugin-probe/example-settings.json" 12
