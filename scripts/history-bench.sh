#!/usr/bin/env bash
# Figures of docs/history.md on a year of 1-second records of one device (about 31.5 million
# rows, some 5 GB): range queries, a plot of the whole year, and the running host's retention
# pruning a week of it while it polls the simulated sensor. Not part of CI.
#
#   BUILD_DIR=build bash scripts/history-bench.sh [DATABASE]   (default /tmp/devhost-year.db)
#
# The database is made by bench/history_fill when it does not exist, and changed by the
# pruning step (a week less each run); remove it afterwards.
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

if [[ ! -e "$db" ]]; then
  echo "== filling $db with a year of 1-second records"
  time "$build_dir/bench/history_fill" "$db" 365 12
fi
ls -l "$db"

middle=$(date -d '-180 days' +%Y-%m-%dT%H:%M:%S)
hour_later=$(date -d '-180 days +1 hour' +%Y-%m-%dT%H:%M:%S)
day_later=$(date -d '-179 days' +%Y-%m-%dT%H:%M:%S)
echo "== range queries (devhost history, the whole process, CSV to /dev/null)"
for run in 1 2; do
  echo "run $run: newest 20 of the year:    $(seconds "$devhost" history --db "$db" --data-id 12 --csv /dev/null) s"
  echo "run $run: one hour, 180 days back:  $(seconds "$devhost" history --db "$db" --data-id 12 --since "$middle" --until "$hour_later" --limit 0 --csv /dev/null) s"
  echo "run $run: one day, 180 days back:   $(seconds "$devhost" history --db "$db" --data-id 12 --since "$middle" --until "$day_later" --limit 0 --csv /dev/null) s"
  echo "run $run: newest 20 before that day: $(seconds "$devhost" history --db "$db" --data-id 12 --until "$middle" --csv /dev/null) s"
  echo "run $run: alarms of a week:          $(seconds "$devhost" history --db "$db" --alarms --since "$middle" --until "$(date -d '-173 days' +%Y-%m-%dT%H:%M:%S)" --limit 0 --csv /dev/null) s"
done

echo "== plot of the whole year"
TIMEFORMAT='%R s'
time "$devhost" plot "$root/examples/mode5.json" --db "$db" --data-id 12 --output "$work/year.svg"
ls -l "$work/year.svg"

echo "== retention in the running host: a week pruned while polling every second"
retention=$(( 365 - 7 ))
"$build_dir/tools/do3008ra-sim/do3008ra-sim" --link "$work/sensor" >"$work/sensor.log" 2>&1 &
sensor_pid=$!
for _ in $(seq 100); do [[ -e "$work/sensor" ]] && break; sleep 0.05; done
sed "0,/{/s//{\"retentionDays\": $retention, /" "$root/examples/mode5.json" >"$work/host.json"
"$devhost" run --port "$work/sensor" --db "$db" --plugin-dir "$build_dir/plugins" \
  --plugin-log "$work/plugin.log" "$work/host.json" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 1200); do grep -q "retention:" "$work/host.log" && break; sleep 0.5; done
stop "$host_pid"
host_pid=""
grep -E "retention|summary" "$work/host.log"
