#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# How many times slower than the plain tree a build tree's host and simulator are: the factor
# the end-to-end tests stretch their waits by (tests/CMakeLists.txt). For each tree, ROUNDS times:
# the simulator started until its link is there, then one host run of one stored cycle; the
# medians, and each tree's ratio to the first one named.
#
#   scripts/time-scale.sh build build-asan build-arm      (ROUNDS=7 by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-7}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

# A variable of a tree's cache, empty when it has none.
cached() { grep -E "^$2:" "$1/CMakeCache.txt" 2>/dev/null | cut -d= -f2- || true; }

# The emulator a cross tree runs its programs under, as cmake/arm-linux-gnueabihf.cmake sets it
# (the toolchain file does not cache it): a vendor SDK's sysroot, or Debian's cross runtime.
emulator_of() {
  local qemu sysroot
  qemu=$(cached "$1" DO3008RA_QEMU_ARM)
  [[ -n "$qemu" ]] || return 0
  sysroot=$(cached "$1" DO3008RA_ARM_SYSROOT)
  if [[ -n "$sysroot" ]]; then
    echo "$qemu -L $sysroot"
  else
    echo "$qemu -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib"
  fi
}

now_ms() { date +%s%3N; }

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One round in tree $1: "link_ms host_ms".
one_round() {
  local tree=$1 emulator
  emulator=$(emulator_of "$tree")
  rm -rf "$work/r" && mkdir "$work/r"
  local started linked
  started=$(now_ms)
  # shellcheck disable=SC2086 # the emulator is a command with its options
  $emulator "$tree/tools/do3008ra-sim/do3008ra-sim" --link "$work/r/tty" --static \
    >"$work/r/sim.log" 2>&1 &
  local sim=$!
  local waited=0
  until [[ -e $work/r/tty ]]; do
    kill -0 "$sim" 2>/dev/null && ((waited++ < 3000)) ||
      { echo "time-scale.sh: no simulator link in $tree:" >&2; cat "$work/r/sim.log" >&2; return 1; }
    sleep 0.01
  done
  linked=$(now_ms)
  sed "s|/dev/ttyUSB0|$work/r/tty|" "$root/examples/mode5.json" >"$work/r/host.json"
  # shellcheck disable=SC2086
  $emulator "$tree/tools/devhost/devhost" run --cycles 1 --db "$work/r/host.db" \
    --plugin-dir "$tree/plugins" --plugin-log "$work/r/plugin.log" "$work/r/host.json" \
    >"$work/r/host.log" 2>&1 || { cat "$work/r/host.log" >&2; return 1; }
  local ended
  ended=$(now_ms)
  kill "$sim" && wait "$sim" 2>/dev/null || true
  echo "$((linked - started)) $((ended - linked))"
}

base_link="" base_host=""
printf '%-24s %10s %10s %8s\n' tree "link ms" "host ms" factor
for tree in "$@"; do
  tree=$(cd "$tree" && pwd)
  : >"$work/rounds"
  for _ in $(seq "$rounds"); do one_round "$tree" >>"$work/rounds"; done
  link=$(cut -d' ' -f1 "$work/rounds" | median)
  host=$(cut -d' ' -f2 "$work/rounds" | median)
  [[ -n "$base_host" ]] || { base_link=$link base_host=$host; }
  factor=$(awk -v a="$link" -v b="$host" -v c="$base_link" -v d="$base_host" \
    'BEGIN { printf "%.1f", (a + b) / (c + d) }')
  printf '%-24s %10s %10s %8s\n' "$(basename "$tree")" "$link" "$host" "$factor"
done
