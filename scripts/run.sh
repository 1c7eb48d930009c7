#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: builds the plug-in, the reference host and the simulated sensor, and runs the
# plug-in for real over Modbus-RTU on a pseudo-terminal pair: poll cycles with an alarm raised
# and cleared, the host left running and operated through its control socket (status, a
# calibration write confirmed, alarms), the rule-file mode with analog reports, and the
# history stored in SQLite. Everything lives in a temporary folder that is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# Only the three programs it runs: the tests and benchmarks are scripts/test.sh's.
BUILD_TARGETS="devhost do3008ra-sim do3008ra" "$root/scripts/build.sh"
build_dir=${BUILD_DIR:-$root/build}

# shellcheck source=lib/processes.sh
source "$root/scripts/lib/processes.sh"

work=$(mktemp -d)
sensor_pid=""
service_pid=""
cleanup() {
  stop_process "$service_pid"
  stop_process "$sensor_pid"
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

# The sensor: temperature from 24 up to 33 and back every 8 seconds.
start_sensor "$work/sensor" "$work/sensor.log" --temperature 24:33:8
head -n 1 "$work/sensor.log"

devhost=("$build_dir/tools/devhost/devhost" --port "$work/sensor" --db "$work/devhost.db"
  --plugin-dir "$build_dir/plugins" --plugin-log "$work/plugin.log" --log-level detail)

step "mode 5, threshold rules in the settings (examples/mode5.json): T01001 rises at 30, clears at 28"
"${devhost[@]}" run --cycles 10 "$root/examples/mode5.json"

step "the host as a service: devhost run in the background, operated through its control socket"
"${devhost[@]}" run "$root/examples/mode5.json" >"$work/service.log" 2>&1 &
service_pid=$!
# Ready once its socket listens and its first cycle is in.
for _ in $(seq 200); do
  [[ -S "$work/devhost.sock" ]] && grep -q " cycle " "$work/service.log" && break
  sleep 0.05
done
echo "-- devhost status (answered by the running host)"
"${devhost[@]}" status "$root/examples/mode5.json"
echo "-- devhost write: temperature calibration (register 80) = -5, i.e. -0.5"
"${devhost[@]}" write "$root/examples/mode5.json" 12 80 -5
echo "-- devhost alarms"
"${devhost[@]}" alarms "$root/examples/mode5.json"
stop_process "$service_pid"
service_pid=""
echo "-- the service's own last lines (it saw the write too)"
grep -E "write|summary" "$work/service.log"

step "mode 1, rule file examples/ini/13.ini (examples/mode1.json): analog reports on change"
"${devhost[@]}" run --cycles 3 "$root/examples/mode1.json"

step "stored history (the newest 6 records of $work/devhost.db)"
"${devhost[@]}" history --limit 6
echo
echo "(the plug-in's own diagnostic lines went to a log: $(wc -l <"$work/plugin.log") lines)"
