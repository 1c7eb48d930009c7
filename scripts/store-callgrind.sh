#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions the store spends per stored cycle, counted by callgrind on a real
# `devhost run --cycles N` against the simulated sensor: everything under StoreSink::Take and
# StoreSink::Flush (the history row, the commit; the folds of closed minutes run between rounds,
# outside them), divided by the cycles stored. Counts repeat to within a few instructions, where wall time on a shared machine
# does not. Not part of CI.
#
#   BUILD_DIR=build bash scripts/store-callgrind.sh [CYCLES=300] [DEVHOST]
#
# DEVHOST (default: the build's) lets the same run count another build, e.g. one of main.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
cycles=${1:-300}
devhost=${2:-$build_dir/tools/devhost/devhost}
command -v valgrind >/dev/null || { echo "store-callgrind.sh: valgrind is not installed" >&2; exit 1; }
[[ -n "${2:-}" ]] || cmake --build "$build_dir" --target devhost do3008ra-sim do3008ra >/dev/null

work=$(mktemp -d)
sensor_pid=""
cleanup() {
  [[ -z "$sensor_pid" ]] || { kill "$sensor_pid" 2>/dev/null || true; wait "$sensor_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

"$build_dir/tools/do3008ra-sim/do3008ra-sim" --link "$work/sensor" >"$work/sensor.log" 2>&1 &
sensor_pid=$!
for _ in $(seq 100); do [[ -e "$work/sensor" ]] && break; sleep 0.05; done
sed 's/"pollIntervalMs": 1000/"pollIntervalMs": 100/' "$root/examples/mode5.json" >"$work/host.json"
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" --collect-atstart=no \
  --toggle-collect='StoreSink::Take*' --toggle-collect='StoreSink::Flush*' \
  "$devhost" run --cycles "$cycles" --port "$work/sensor" --db "$work/host.db" \
  --plugin-dir "$build_dir/plugins" --plugin-log "$work/plugin.log" "$work/host.json" \
  >"$work/host.log" 2>"$work/valgrind.log"
total=$(sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p' "$work/valgrind.log")
stored=$(sqlite3 "$work/host.db" "SELECT COUNT(*) FROM history")
[[ -n "$total" && "$stored" -gt 0 ]] || { cat "$work/valgrind.log" "$work/host.log" >&2; exit 1; }
echo "$devhost: $stored cycles stored, $((total / stored)) instructions per stored cycle in the store"
