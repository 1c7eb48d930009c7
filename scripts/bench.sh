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
#   scripts/bench.sh bus                the host's round on a wire-paced line against the round's
#                                       wire time from first principles, at 9600 and 115200 baud
#                                       with 1, 8 and 32 sensors (BUS_RUNS=N runs each, medians;
#                                       BUS_SENSORS, BUS_BAUDS to choose), and mbpoll on the same
#                                       line; requests sent too soon are counted by the simulator
#                                       (BUS_REALTIME=1: host and simulator at real-time priority,
#                                       chrt -f 20, on a machine busy with other work); in
#                                       build-bench/, or an existing tree in BENCH_BUILD_DIR
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
# shortest interval before 0 was allowed; kept so that the rounds compare), one device in mode 5
# with three signals x four limits.
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

# The bus bench's configuration: N devices in mode 5 at addresses 1..N, polled back to back.
bus_config() {
  local work=$1 baud=$2 sensors=$3 devices="" i
  for ((i = 1; i <= sensors; i++)); do
    devices+="${devices:+, }{\"plugin\": \"do3008ra.so\", \"dataId\": $((100 + i)), \"slaveAddress\": $i,
      \"settings\": {\"appSetting\": {\"b_mode\": 5}, \"thresholdSetting\": {}}}"
  done
  cat <<JSON
{"database": "$work/host.db",
 "lines": [{"device": "$work/tty", "baudRate": $baud, "responseTimeoutMs": 1000,
            "pollIntervalMs": 0, "devices": [$devices]}]}
JSON
}

# The simulator on a wire-paced line: bench_sim WORK BAUD_CODE SENSORS; its pid in sim_pid.
bench_sim() {
  rm -f "$1/tty"
  "${realtime[@]}" "$bench_build/tools/do3008ra-sim/do3008ra-sim" --link "$1/tty" --static --wire \
    --baud-code "$2" --sensors "$3" >"$1/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do [[ -e "$1/tty" ]] && break; sleep 0.1; done
}

# Stops the simulator; prints "ANSWERED MERGED SPAN_MS SILENCE_MS" from its line of counts.
stop_sim() {
  kill -INT "$sim_pid"
  wait "$sim_pid" 2>/dev/null
  sed -n 's/.* \([0-9]*\) answered, \([0-9]*\) merged.*last answer \([0-9.]*\) ms; silence before a request \([0-9.]*\) ms.*/\1 \2 \3 \4/p' \
    "$1/sim.log"
}

# One run: "WIRE_MS HOST_MS RATIO TOO_SOON SILENCE_MS" for BAUD and SENSORS, in mode 5 (six reads a cycle:
# 48 request and 66 answer characters, 12 frames), 8N1.
bus_run() {
  local work=$1 baud=$2 sensors=$3 code
  case $baud in 9600) code=2 ;; 115200) code=6 ;; *) echo "bench.sh: no code for $baud" >&2; return 1 ;; esac
  local wire_ms
  wire_ms=$(awk -v b="$baud" -v n="$sensors" 'BEGIN {
    c = 10 / b * 1000; s = (b > 19200) ? 1.75 : 3.5 * c; printf "%.2f", n * (114 * c + 12 * s) }')
  # Each run about five seconds of wire, three rounds at least.
  local rounds
  rounds=$(awk -v w="$wire_ms" 'BEGIN { r = int(5000 / w); print (r < 3) ? 3 : r }')
  bus_config "$work" "$baud" "$sensors" >"$work/bus.json"
  rm -f "$work"/host.db*
  bench_sim "$work" "$code" "$sensors"
  "${realtime[@]}" "$bench_build/tools/devhost/devhost" run "$work/bus.json" \
    --plugin-dir "$bench_build/plugins" \
    --plugin-log "$work/plugin.log" --cycles "$rounds" >"$work/host.log" 2>&1
  local answered merged span silence
  read -r answered merged span silence <<<"$(stop_sim "$work")"
  if ((answered != rounds * sensors * 6)); then
    echo "bench.sh: $answered answers for $rounds rounds of $sensors sensor(s)" >&2
    tail -5 "$work/host.log" >&2
  fi
  awk -v w="$wire_ms" -v s="$span" -v r="$rounds" -v m="$merged" -v q="$silence" \
    'BEGIN { h = s / r; printf "%.2f %.2f %.3f %d %.3f\n", w, h, w / h, m, q }'
}

# mbpoll on the same line, one sensor: one block of four registers every 10 ms (its shortest
# poll), as a peer: "WIRE_MS MBPOLL_MS RATIO TOO_SOON SILENCE_MS" per exchange.
bus_mbpoll() {
  local work=$1 baud=$2 code polls
  case $baud in 9600) code=2 ;; *) code=6 ;; esac
  bench_sim "$work" "$code" 1
  timeout -s INT "${MBPOLL_SECONDS:-5}" "${realtime[@]}" mbpoll -m rtu -a 1 -b "$baud" -P none -0 -t 4 -r 0 -c 4 \
    -l 10 "$work/tty" >"$work/mbpoll.log" 2>&1
  local answered merged span silence
  read -r answered merged span silence <<<"$(stop_sim "$work")"
  if ((${answered:-0} == 0)); then
    echo "bench.sh: mbpoll got no answer at $baud baud:" >&2
    tail -3 "$work/mbpoll.log" >&2
    echo "0 0 0 0 0"
    return
  fi
  awk -v b="$baud" -v s="$span" -v a="$answered" -v m="$merged" -v g="$silence" 'BEGIN {
    c = 10 / b * 1000; q = (b > 19200) ? 1.75 : 3.5 * c; w = 21 * c + 2 * q; h = s / a
    printf "%.2f %.2f %.3f %d %.3f\n", w, h, w / h, m, g }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

bus() {
  if [[ ! -f $bench_build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  fi
  cmake --build "$bench_build" --target devhost do3008ra-sim do3008ra >/dev/null || return 1
  local work sim_pid=""
  realtime=()
  [[ ${BUS_REALTIME:-0} == 1 ]] && realtime=(chrt -f 20)
  work=$(mktemp -d)
  trap '[[ -n $sim_pid ]] && kill $sim_pid 2>/dev/null; rm -rf "$work"' RETURN
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)${realtime[*]:+; host and simulator under ${realtime[*]}}"
  printf '\n%-8s %-8s %12s %12s %8s %9s %10s %s\n' "baud" "sensors" "wire ms" "host ms" "ratio" \
    "too soon" "silence" "(ratios of the runs)"
  local baud sensors run row rows ratios
  for baud in ${BUS_BAUDS:-9600 115200}; do
    for sensors in ${BUS_SENSORS:-1 8 32}; do
      rows=()
      for ((run = 1; run <= ${BUS_RUNS:-3}; run++)); do
        row=$(bus_run "$work" "$baud" "$sensors") || return 1
        rows+=("$row")
      done
      ratios=$(printf '%s\n' "${rows[@]}" | awk '{ printf "%s ", $3 }')
      printf '%-8s %-8s %12s %12s %8s %9s %10s (%s)\n' "$baud" "$sensors" \
        "$(printf '%s\n' "${rows[@]}" | awk '{ print $1 }' | median)" \
        "$(printf '%s\n' "${rows[@]}" | awk '{ print $2 }' | median)" \
        "$(printf '%s\n' "${rows[@]}" | awk '{ print $3 }' | median)" \
        "$(printf '%s\n' "${rows[@]}" | awk '{ s += $4 } END { print s }')" \
        "$(printf '%s\n' "${rows[@]}" | awk '{ print $5 }' | median)" "${ratios% }"
    done
    if command -v mbpoll >/dev/null; then
      row=$(bus_mbpoll "$work" "$baud")
      read -r w h r m q <<<"$row"
      printf '%-8s %-8s %12s %12s %8s %9s %10s (one exchange)\n' "$baud" "mbpoll" "$w" "$h" "$r" \
        "$m" "$q"
    fi
  done
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "(wire ms: a round's wire time from first principles, 8N1, 3.5 characters or 1.75 ms of"
  echo " silence after each frame; host ms: the simulator's first request to last answer over"
  echo " the rounds; ratio: wire / host, 1 is the wire's own pace; too soon: requests the"
  echo " simulator found within the silence after the frame before, all runs; silence: the"
  echo " mean silence the simulator saw before a request, 3.646 ms needed at 9600, 1.75 at 115200)"
}

case ${1:-} in
  smoke) smoke "${2:-}" ;;
  figures) figures ;;
  wire) wire ;;
  bus) bus ;;
  *)
    sed -n '2,21p' "$0" >&2
    exit 2
    ;;
esac
