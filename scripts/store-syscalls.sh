#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# System calls of the store per stored cycle, counted by `strace -f -c` on a real
# `devhost run --cycles N` against the simulated sensor (mode 5, one device, 100 ms a round):
# a run of CYCLES rounds less a run of 10, each on a new database, divided by the difference of
# the cycles stored, so that start-up and exit cancel out. Prints pwrite64 (WAL writes) and
# fcntl (locks) per stored cycle. Counts repeat to within a few tenths. Not part of CI.
#
#   BUILD_DIR=build bash scripts/store-syscalls.sh [CYCLES=100] [DEVHOST]
#
# DEVHOST (default: the build's) lets the same run count another build, e.g. one of main.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
cycles=${1:-100}
devhost=${2:-$build_dir/tools/devhost/devhost}
command -v strace >/dev/null || { echo "store-syscalls.sh: strace is not installed" >&2; exit 1; }
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

# "<stored cycles> <pwrite64 calls> <fcntl calls>" of a run of $1 rounds.
count() {
  rm -f "$work"/host.db*
  strace -f -c -o "$work/strace.txt" "$devhost" run --cycles "$1" --port "$work/sensor" \
    --db "$work/host.db" --plugin-dir "$build_dir/plugins" --plugin-log "$work/plugin.log" \
    "$work/host.json" >"$work/host.log" 2>&1
  local calls
  calls() { awk -v name="$1" '$NF == name { print $4 }' "$work/strace.txt" | head -1; }
  echo "$(sqlite3 "$work/host.db" "SELECT COUNT(*) FROM history")" \
    "$(calls pwrite64 || true)" "$(calls fcntl || true)"
}

read -r long_rows long_pwrite long_fcntl < <(count "$cycles")
read -r short_rows short_pwrite short_fcntl < <(count 10)
rows=$((long_rows - short_rows))
[[ "$rows" -gt 0 ]] || { cat "$work/host.log" >&2; exit 1; }
awk -v d="$devhost" -v r="$rows" -v p="$((${long_pwrite:-0} - ${short_pwrite:-0}))" \
  -v f="$((${long_fcntl:-0} - ${short_fcntl:-0}))" \
  'BEGIN { printf "%s: %d cycles stored beyond a run of 10 rounds, per stored cycle: %.1f pwrite64, %.1f fcntl\n", d, r, p / r, f / r }'
