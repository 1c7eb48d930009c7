#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Benchmarks of the plug-in. Benchmarks are not tests: CI runs only the smoke run.
#   scripts/bench.sh smoke [BUILD_DIR]  every benchmark once, briefly, in an existing build
#                                       (default build/); fails when a benchmark cannot measure
#                                       the path it is meant to (the path is broken)
#   scripts/bench.sh figures            Release build in build-bench/, the benchmarks with
#                                       repetitions (medians), the heap report and instruction
#                                       counts: the figures of bench/README.md
#   scripts/bench.sh wire               CPU per Modbus exchange against the simulator on a
#                                       pseudo-terminal: the reference host, a bare libmodbus
#                                       loop and mbpoll, side by side in one run (WIRE_ROUNDS=N:
#                                       N rounds of all of them, and their medians)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench_build=${BENCH_BUILD_DIR:-$root/build-bench}

# Runs one program; fails when it fails or reports a benchmark that could not run.
run_checked() {
  local out
  out=$("$@" 2>&1)
  local rc=$?
  echo "$out"
  if ((rc != 0)) || grep -q "ERROR OCCURRED" <<<"$out"; then
    echo "bench.sh: $(basename "$1") failed" >&2
    return 1
  fi
}

smoke() {
  local build_dir=${1:-$root/build}
  local bin=$build_dir/bench
  [[ -x "$bin/bench_do3008ra" ]] || { echo "bench.sh: no benchmarks in $build_dir" >&2; return 1; }
  local status=0
  run_checked "$bin/bench_do3008ra" --benchmark_min_time=0.01 --benchmark_color=false || status=1
  run_checked "$bin/bench_memory" || status=1
  run_checked "$bin/bench_cycle_count" mode5 10 || status=1
  echo "benchmark smoke run: $([[ $status == 0 ]] && echo ok || echo FAILED)"
  return $status
}

figures() {
  cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  cmake --build "$bench_build" -- -j2 >/dev/null || return 1
  local bin=$bench_build/bench
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  run_checked "$bin/bench_do3008ra" --benchmark_repetitions="${REPETITIONS:-5}" \
    --benchmark_report_aggregates_only=true --benchmark_min_time="${MIN_TIME:-0.5}" \
    --benchmark_color=false || return 1
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  run_checked "$bin/bench_memory" || return 1
  echo
  "$root/scripts/callgrind.sh"
}

# CPU seconds (user + system, millisecond resolution) of a command; its output goes to $out.
cpu_of() {
  local TIMEFORMAT='%3U %3S' times
  times=$({ time "$@" >"$out" 2>&1; } 2>&1) || true
  awk '{ printf "%.3f", $1 + $2 }' <<<"$times"
}

# The reference host's configuration: the simulator's line, polled every 50 ms (the host's
# shortest interval), one device in mode 5 with three signals x four limits.
host_config() {
  local limits='"UpValue": 30, "UpReconverValue": 28, "UpAlarmLevel": 2,
                "Up2Value": 40, "Up2ReconverValue": 38, "Up2AlarmLevel": 3,
                "LowValue": 5, "LowReconverValue": 7, "LowAlarmLevel": 2,
                "Low2Value": -10, "Low2ReconverValue": -8, "Low2AlarmLevel": 3'
  cat <<JSON
{"database": "$1/host.db",
 "lines": [{"device": "$1/tty", "baudRate": 9600, "responseTimeoutMs": 300,
            "pollIntervalMs": 50,
            "devices": [{"plugin": "do3008ra.so", "dataId": 12, "slaveAddress": 1,
                         "settings": {"appSetting": {"b_mode": 5}, "thresholdSetting": {
                           "t": {"ID": "T01", "SignalName": "温度", $limits},
                           "h": {"ID": "H01", "SignalName": "湿度", $limits},
                           "p": {"ID": "P01", "SignalName": "气压", $limits}}}}]}]}
JSON
}

wire() {
  cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  cmake --build "$bench_build" --target devhost do3008ra-sim do3008ra modbus_floor -- -j2 \
    >/dev/null || return 1
  command -v mbpoll >/dev/null || { echo "bench.sh: mbpoll is not installed" >&2; return 1; }
  local work sim_pid
  work=$(mktemp -d)
  out=$work/out
  "$bench_build/tools/do3008ra-sim/do3008ra-sim" --link "$work/tty" --static >"$work/sim.log" 2>&1 &
  sim_pid=$!
  trap 'kill $sim_pid 2>/dev/null; rm -rf "$work"' RETURN
  for _ in $(seq 50); do [[ -e "$work/tty" ]] && break; sleep 0.1; done
  host_config "$work" >"$work/host.json"
  # Each round measures all four side by side; the load of a shared machine moves between
  # rounds, so each round's ratios come from its own figures, and the medians close the table.
  local rounds=${WIRE_ROUNDS:-1} round row rows=()
  for ((round = 1; round <= rounds; round++)); do
    row=$(wire_round "$work") || return 1
    rows+=("$row")
  done
  printf '\n%-6s %-18s %9s %9s %9s %9s %12s %12s\n' "round" "load (1 min)" "floor" "paced" "host" \
    "mbpoll" "host/paced" "host/mbpoll"
  local i=0 column medians=()
  for row in "${rows[@]}"; do
    ((i += 1))
    read -r load fast paced host mb <<<"$row"
    printf '%-6s %-18s %9s %9s %9s %9s %12s %12s\n' "$i" "$load" "$fast" "$paced" "$host" "$mb" \
      "$(awk -v h="$host" -v x="$paced" 'BEGIN { printf "%.2f", h / x }')" \
      "$(awk -v h="$host" -v x="$mb" 'BEGIN { printf "%.2f", h / x }')"
  done
  for column in 2 3 4 5; do
    medians+=("$(printf '%s\n' "${rows[@]}" | awk -v c=$column '{ print $c }' | sort -g |
      awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')")
  done
  read -r fast paced host mb <<<"${medians[*]}"
  printf '%-6s %-18s %9.2f %9.2f %9.2f %9.2f %12.2f %12.2f\n' "median" "" "$fast" "$paced" "$host" \
    "$mb" "$(awk -v h="$host" -v x="$paced" 'BEGIN { print h / x }')" \
    "$(awk -v h="$host" -v x="$mb" 'BEGIN { print h / x }')"
  echo "(us of CPU per Modbus exchange; floor: bare libmodbus loop back to back, paced: the same"
  echo " at 50 ms a cycle; host: devhost + plug-in + SQLite at 50 ms; mbpoll: 10 ms a poll)"
}

# One round of the wire comparison: "LOAD FLOOR PACED HOST MBPOLL", microseconds per exchange.
wire_round() {
  local work=$1 load
  load=$(cut -d' ' -f1 /proc/loadavg)
  # The floor, measured inside the loop: back to back, and paced like the host (50 ms a cycle).
  local floor=$bench_build/bench/modbus_floor floor_fast floor_paced
  floor_fast=$("$floor" "$work/tty" "${FLOOR_CYCLES:-2000}" 9600 1 0 | awk '{ print $8 }')
  floor_paced=$("$floor" "$work/tty" 100 9600 1 50 | awk '{ print $8 }')

  # The reference host: the CPU of a long run less that of a short one (start-up cancels out).
  local host=("$bench_build/tools/devhost/devhost" run "$work/host.json" --plugin-dir
    "$bench_build/plugins" --plugin-log "$work/plugin.log" --cycles)
  local short=${HOST_SHORT:-20} long=${HOST_LONG:-220} cpu_short cpu_long host_us
  rm -f "$work"/host.db*
  cpu_short=$(cpu_of "${host[@]}" "$short")
  cpu_long=$(cpu_of "${host[@]}" "$long")
  grep -q "cycles $long  errors 0" "$out" || { echo "bench.sh: the host did not poll cleanly" >&2; cat "$out" >&2; return 1; }
  host_us=$(awk -v a="$cpu_short" -v b="$cpu_long" -v n=$(((long - short) * 6)) \
    'BEGIN { printf "%.2f", (b - a) * 1e6 / n }')

  # mbpoll: each of the six blocks polled every 10 ms, a long run less a short one.
  local blocks=("4 0 4" "3 0 4" "4 80 3" "3 80 3" "4 2000 2" "3 2000 2") block
  local mb_cpu=0 mb_polls=0 seconds cpu polls
  for block in "${blocks[@]}"; do
    read -r type ref count <<<"$block"
    for seconds in 1 "${MBPOLL_SECONDS:-5}"; do
      cpu=$(cpu_of timeout -s INT "$seconds" mbpoll -m rtu -a 1 -b 9600 -P none -0 -t "$type" \
        -r "$ref" -c "$count" -l 10 "$work/tty")
      polls=$(grep -c -- '-- Polling slave' "$out")
      if [[ $seconds == 1 ]]; then
        mb_cpu=$(awk -v a="$mb_cpu" -v c="$cpu" 'BEGIN { print a - c }')
        mb_polls=$((mb_polls - polls))
      else
        mb_cpu=$(awk -v a="$mb_cpu" -v c="$cpu" 'BEGIN { print a + c }')
        mb_polls=$((mb_polls + polls))
      fi
    done
  done
  local mb_us
  mb_us=$(awk -v c="$mb_cpu" -v n="$mb_polls" 'BEGIN { printf "%.2f", c * 1e6 / n }')
  echo "$load $floor_fast $floor_paced $host_us $mb_us"
}

case ${1:-} in
  smoke) smoke "${2:-}" ;;
  figures) figures ;;
  wire) wire ;;
  *)
    sed -n '2,13p' "$0" >&2
    exit 2
    ;;
esac
