#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Soak: the reference host polls the simulated sensor at 50 ms for a given time with every fault
# of the simulator on at once, operated through its control socket meanwhile (a register write,
# a status and an alarm listing every few seconds). Once a sample interval it notes the host's
# resident memory, open descriptors and threads. At the end scripts/soak_check.py checks the
# database, accounts for every poll round and judges the memory samples.
#
#   scripts/soak.sh [--seconds N | --minutes N | --hours N] [--sample-seconds S] [--build DIR]
#                   [--keep DIR] [--seed N]
#
# --keep DIR leaves the run's files (database, logs, samples, report.json) in DIR; a run whose
# checks fail leaves them in its temporary folder and says where. Ends with the line
# "soak: P passed, F failed" counting the checks.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
seconds=180
sample_seconds=60
seed=7
keep=""

usage() {
  sed -n '3,14p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

while (($#)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --hours) seconds=$(($2 * 3600)); shift 2 ;;
    --sample-seconds) sample_seconds=$2; shift 2 ;;
    --build) build_dir=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    -h | --help) usage ;;
    *) echo "soak.sh: unknown argument '$1'" >&2; usage ;;
  esac
done
[[ $seconds =~ ^[0-9]+$ && $sample_seconds =~ ^[0-9]+$ && $seconds -gt 0 && $sample_seconds -gt 0 ]] ||
  { echo "soak.sh: durations are whole seconds above 0" >&2; exit 2; }

cmake --build "$build_dir" --target devhost do3008ra-sim do3008ra >/dev/null ||
  { echo "soak.sh: cannot build the host, the simulator and the plug-in in $build_dir" >&2; exit 1; }
devhost=$build_dir/tools/devhost/devhost
# shellcheck source=lib/processes.sh
source "$root/scripts/lib/processes.sh"

if [[ -n $keep ]]; then
  mkdir -p "$keep" && work=$(cd "$keep" && pwd)
  rm -f "$work"/soak.db* "$work"/*.log "$work"/host.jsonl "$work"/samples.tsv "$work"/writes.tsv
else
  work=$(mktemp -d)
fi
sensor_pid=""
host_pid=""
checks_failed=""
cleanup() {
  stop_process "$host_pid"
  stop_process "$sensor_pid"
  # A failed run's files are what tells why: they stay.
  [[ -n $keep || -n $checks_failed ]] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every fault at once: 5 % dropped, 5 % bad CRC, 2 % late (past the response timeout),
# 1 % exceptions. The temperature swings through the alarm limits every two minutes.
start_sensor "$work/tty" "$work/sim.log" --drop 5 --corrupt 5 --late 2 --late-ms 400 \
  --exception 1 --seed "$seed" --temperature 24:33:120 --verbose || exit 1

sed -e "s#/dev/ttyUSB0#$work/tty#" -e 's#"pollIntervalMs": 1000#"pollIntervalMs": 50#' \
  -e 's#"responseTimeoutMs": 300#"responseTimeoutMs": 150#' \
  -e 's#"devhost.db"#"soak.db"#' "$root/examples/mode5.json" >"$work/soak.json"

"$devhost" run --json --plugin-dir "$build_dir/plugins" --plugin-log "$work/plugin.log" \
  "$work/soak.json" >"$work/host.jsonl" 2>"$work/host.err" &
host_pid=$!

sample() {  # elapsed seconds -> one line of samples.tsv
  local status=/proc/$host_pid/status rss threads fds
  [[ -r $status ]] || return 1
  rss=$(awk '/^VmRSS:/ {print $2}' "$status")
  threads=$(awk '/^Threads:/ {print $2}' "$status")
  fds=$(ls "/proc/$host_pid/fd" | wc -l)
  printf '%s\t%s\t%s\t%s\n' "$1" "$rss" "$fds" "$threads" >>"$work/samples.tsv"
}

printf 'seconds\trss_kib\tfds\tthreads\n' >"$work/samples.tsv"
printf 'seconds\tcommand\texit\n' >"$work/writes.tsv"
start=$(date +%s)
next_sample=$start
next_operation=$((start + 3))
value=0
echo "soak: ${seconds} s at a 50 ms poll, faults on, work in $work"
while :; do
  now=$(date +%s)
  elapsed=$((now - start))
  ((elapsed >= seconds)) && break
  kill -0 "$host_pid" 2>/dev/null || { echo "soak: the host ended early" >&2; break; }
  if ((now >= next_sample)); then
    sample "$elapsed"
    next_sample=$((next_sample + sample_seconds))
    cycles=$(grep -c '"event":"cycle"' "$work/host.jsonl")
    echo "soak: ${elapsed} s, ${cycles} cycles, $(tail -n 1 "$work/samples.tsv" | cut -f 2) KiB resident"
  fi
  if ((now >= next_operation)); then
    # A calibration write that moves between three values, then a status and an alarm listing,
    # all through the running host's socket.
    value=$(((value + 1) % 3 - 1))
    "$devhost" write --json -- "$work/soak.json" 12 80 "$value" >/dev/null 2>&1
    printf '%s\twrite\t%s\n' "$elapsed" $? >>"$work/writes.tsv"
    "$devhost" status --json "$work/soak.json" >/dev/null 2>&1
    printf '%s\tstatus\t%s\n' "$elapsed" $? >>"$work/writes.tsv"
    "$devhost" alarms --json "$work/soak.json" >/dev/null 2>&1
    printf '%s\talarms\t%s\n' "$elapsed" $? >>"$work/writes.tsv"
    next_operation=$((now + 3))
  fi
  sleep 0.5
done
sample "$(($(date +%s) - start))"

# The host first: the simulator, stopped after it, still serves what the host left on the line,
# so its log holds every poll the host sent and the rounds can be accounted for exactly.
kill -TERM "$host_pid" 2>/dev/null
wait "$host_pid"
host_status=$?
host_pid=""
stop_process "$sensor_pid"
sensor_pid=""

python3 "$root/scripts/soak_check.py" --work "$work" --host-status "$host_status" \
  --seconds "$seconds"
status=$?
if ((status != 0)) && [[ -z $keep ]]; then
  checks_failed=yes
  echo "soak: the run's files (logs, database, samples) are kept in $work"
fi
exit "$status"
