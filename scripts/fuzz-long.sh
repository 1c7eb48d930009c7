#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Long fuzzing towards a number of executions per target, on every core. Each worker runs
# `scripts/fuzz.sh --long` chunks of one target at a time: the first target, in the order
# given, whose total in build-fuzz/long-runs.tsv is still below the goal and that no other
# worker holds. Short chunks keep each libFuzzer process fresh: a process running for half an
# hour slows to about half its starting rate as the sanitizer's allocation-stack store grows.
# A target's last chunk is cut to what its last rate needs to reach the goal.
#
#   scripts/fuzz-long.sh                          10 million executions per target, 600-s chunks
#   scripts/fuzz-long.sh --goal 2000000 --chunk 300 --workers 1 fuzz_cache
#
# Prints a line as each chunk starts and ends; no chunk starts after a finding.
# Ends with "fuzz-long: goal reached" and the totals, or "fuzz-long: stopped on a finding".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
tsv=$dir/long-runs.tsv
goal=10000000 chunk=600 workers=$(nproc) targets=()

while (($#)); do
  case $1 in
    --goal) goal=$2 && shift ;;
    --chunk) chunk=$2 && shift ;;
    --workers) workers=$2 && shift ;;
    -h | --help) sed -n '2,12p' "$0" && exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
((${#targets[@]} == 0)) &&
  targets=(fuzz_sequence fuzz_settings fuzz_rule_file fuzz_cache fuzz_commands)

bash "$root/scripts/fuzz.sh" --build-only || exit 1
touch "$tsv"
locks=$(mktemp -d) stop=$locks/stop
trap 'rm -rf "$locks"' EXIT

total() { awk -F'\t' -v t="$1" '$2 == t { s += $4 } END { print s + 0 }' "$tsv"; }

# A chunk's length: the full chunk, or for the last chunk of a target about the time its last
# run's rate needs for what is left, so that the goal is not overshot by most of a chunk.
seconds_for() {
  awk -F'\t' -v t="$1" -v goal="$goal" -v chunk="$chunk" '
    $2 == t { done += $4; if ($3 > 0) rate = $4 / $3 }
    END {
      s = rate > 0 ? int((goal - done) / rate * 1.05) + 15 : chunk
      print (s < 60 ? 60 : (s > chunk ? chunk : s))
    }' "$tsv"
}

# The next target for a worker, taken under its lock; empty when none is left.
take() {
  local target
  for target in "${targets[@]}"; do
    (($(total "$target") >= goal)) && continue
    mkdir "$locks/$target" 2>/dev/null && echo "$target" && return
  done
}

worker() {
  local target
  while [[ ! -e $stop ]]; do
    target=$(take)
    [[ -z $target ]] && return 0
    local seconds output status
    seconds=$(seconds_for "$target")
    echo "$(date -u +%T) worker $1: $target from $(total "$target") executions, $seconds s"
    output=$(bash "$root/scripts/fuzz.sh" --long --seconds "$seconds" "$target")
    status=$?
    grep -v '^fuzz:' <<<"$output"
    ((status == 0)) || touch "$stop"
    rmdir "$locks/$target"
  done
}

for ((w = 1; w <= workers; w++)); do worker "$w" & done
wait

if [[ -e $stop ]]; then
  echo "fuzz-long: stopped on a finding (see $dir/findings/)"
  exit 1
fi
echo "fuzz-long: goal reached"
for target in "${targets[@]}"; do printf '%-16s %12s executions\n' "$target" "$(total "$target")"; done
