#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Figures of docs/history.md on a year of 1-second records of one device (about 31.5 million
# rows, some 6 GB): the running host building the rollups of such a database between its polls
# and pruning a week of it, range queries, aggregates, plots of a year, a month, a day and an
# hour. Not part of CI.
#
#   BUILD_DIR=build [BASE_DEVHOST=FILE] bash scripts/history-bench.sh [DATABASE]
#
# DATABASE (default /tmp/devhost-year.db) is made by bench/history_fill --rows-only when it does
# not exist, as a host from before rollups left it. It is changed by the run (rollups made, a
# week pruned each time); remove it afterwards. To have its rollups built again:
#   sqlite3 DATABASE 'DROP TABLE rollup_minutes; DROP TABLE rollup_hours; DROP TABLE rollup_state'
# BASE_DEVHOST, a devhost of before rollups, plots the same year in the same run, for the
# ratio. The machine's load is printed with each step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
db=${1:-/tmp/devhost-year.db}
cmake --build "$build_dir" --target devhost do3008ra-sim do3008ra history_fill >/dev/null
devhost="$build_dir/tools/devhost/devhost"

work=$(mktemp -d)
sensor_pid=""
host_pid=""
stop() { [[ -z "$1" ]] || { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }; }
cleanup() {
  stop "$host_pid"
  stop "$sensor_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# The wall time of a command, the whole process, in seconds.
TIMEFORMAT=%R
seconds() { { time "$@" >/dev/null; } 2>&1; }

load() { echo "   (load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"; }

if [[ ! -e "$db" ]]; then
  echo "== filling $db with a year of 1-second records, as a host from before rollups"; load
  TIMEFORMAT='%R s'
  time "$build_dir/bench/history_fill" --rows-only "$db" 365 12
fi
ls -l "$db"
if [[ -n "${BASE_DEVHOST:-}" ]]; then
  echo "== plot of the whole year by $BASE_DEVHOST (from every record)"; load
  TIMEFORMAT='%R s'
  time "$BASE_DEVHOST" plot "$root/examples/mode5.json" --db "$db" --data-id 12 --output "$work/year-base.svg"
fi

# A database without rollups gets them from the running host, between its polls; then its
# retention prunes a week.
echo "== the running host polling every second: rollups of the rows of before, then retention pruning a week"; load
retention=$(( 365 - 7 ))
"$build_dir/tools/do3008ra-sim/do3008ra-sim" --link "$work/sensor" >"$work/sensor.log" 2>&1 &
sensor_pid=$!
for _ in $(seq 100); do [[ -e "$work/sensor" ]] && break; sleep 0.05; done
sed "0,/{/s//{\"retentionDays\": $retention, /" "$root/examples/mode5.json" >"$work/host.json"
"$devhost" run --port "$work/sensor" --db "$db" --plugin-dir "$build_dir/plugins" \
  --plugin-log "$work/plugin.log" "$work/host.json" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 3600); do grep -q "retention:" "$work/host.log" && break; sleep 0.5; done
stop "$host_pid"
host_pid=""
grep -E "rollups|retention|summary" "$work/host.log"
load

middle=$(date -d '-180 days' +%Y-%m-%dT%H:%M:%S)
hour_later=$(date -d '-180 days +1 hour' +%Y-%m-%dT%H:%M:%S)
day_later=$(date -d '-179 days' +%Y-%m-%dT%H:%M:%S)
echo "== range queries (devhost history, the whole process, CSV to /dev/null)"; load
TIMEFORMAT=%R
for run in 1 2; do
  echo "run $run: newest 20 of the year:    $(seconds "$devhost" history --db "$db" --data-id 12 --csv /dev/null) s"
  echo "run $run: one hour, 180 days back:  $(seconds "$devhost" history --db "$db" --data-id 12 --since "$middle" --until "$hour_later" --limit 0 --csv /dev/null) s"
  echo "run $run: one day, 180 days back:   $(seconds "$devhost" history --db "$db" --data-id 12 --since "$middle" --until "$day_later" --limit 0 --csv /dev/null) s"
  echo "run $run: newest 20 before that day: $(seconds "$devhost" history --db "$db" --data-id 12 --until "$middle" --csv /dev/null) s"
  echo "run $run: alarms of a week:          $(seconds "$devhost" history --db "$db" --alarms --since "$middle" --until "$(date -d '-173 days' +%Y-%m-%dT%H:%M:%S)" --limit 0 --csv /dev/null) s"
done

echo "== aggregates (devhost history --every, the whole process, CSV to /dev/null)"; load
TIMEFORMAT=%R
for run in 1 2; do
  echo "run $run: every hour of the year:        $(seconds "$devhost" history --db "$db" --data-id 12 --every 1h --limit 0 --csv /dev/null) s"
  echo "run $run: every minute of a month:       $(seconds "$devhost" history --db "$db" --data-id 12 --every 1m --since 30d --limit 0 --csv /dev/null) s"
  echo "run $run: every minute of a day, 180 d back: $(seconds "$devhost" history --db "$db" --data-id 12 --every 1m --since "$middle" --until "$day_later" --limit 0 --csv /dev/null) s"
done

echo "== plots (the whole process, gnuplot included)"; load
TIMEFORMAT='%R s'
plot() {
  local name=$1
  shift
  echo "-- $name"
  time "$devhost" plot "$root/examples/mode5.json" --db "$db" --data-id 12 --output "$work/$name.svg" "$@"
}
for run in 1 2; do
  echo "run $run"
  plot year
  plot month --since 30d
  plot day --since "$middle" --until "$day_later"
  plot hour --since "$middle" --until "$hour_later"
done
ls -l "$work"/*.svg
