#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes docs/plot-example.svg, the picture of docs/host.md, from a real run: the simulated sensor on a
# pseudo-terminal, the reference host on examples/mode5.json for a minute (the sensor is paused
# for a few seconds, so the link is lost and restored), then devhost plot on what it stored.
# Everything but the picture lives in a temporary folder that is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
output=${1:-$root/docs/plot-example.svg}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

# shellcheck source=lib/processes.sh
source "$root/scripts/lib/processes.sh"

work=$(mktemp -d)
sensor_pid=""
host_pid=""
cleanup() {
  stop_process "$host_pid"
  stop_process "$sensor_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# Temperature from 22 up to 33 and back every 40 seconds: T01001 is raised at 30, cleared at 28.
start_sensor "$work/sensor" "$work/sensor.log" --temperature 22:33:40

devhost=("$build_dir/tools/devhost/devhost" --port "$work/sensor" --db "$work/devhost.db"
  --plugin-dir "$build_dir/plugins" --plugin-log "$work/plugin.log")
"${devhost[@]}" run --cycles 60 "$root/examples/mode5.json" >"$work/host.log" 2>&1 &
host_pid=$!
# A paused sensor answers nothing: after three failed cycles the link counts as lost.
sleep 25
kill -STOP "$sensor_pid"
sleep 7
kill -CONT "$sensor_pid"
wait "$host_pid" || true
host_pid=""
grep -E " (link|alarm (raised|cleared)) " "$work/host.log" || true

"${devhost[@]}" plot "$root/examples/mode5.json" --size 1000x750 --output "$output"
