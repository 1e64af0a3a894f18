#!/usr/bin/env bash
# Overlapping base-data updates of one bundle, counted two ways. Usage:
# bench/base_overlap_trials.sh [TRIALS] [BUILD_DIR]
#   1. Through the program: TRIALS pairs of `tessera-plus update` (base data only) started together
#      on one bundle, with --wait so that the second waits for the first under the bundle's run
#      lock, then TRIALS pairs without --wait, where the second either finds the bundle free or
#      exits 1 with the line naming the holder. Counts exit statuses, I/O-error reports in the log
#      and holder lines.
#   2. Without the run lock: the base-updater test that runs two base updates of one bundle at once
#      in two processes, each sweeping abandoned builds while the other publishes, TRIALS rounds.
set -uo pipefail
cd "$(dirname "$0")/.."
trials=${1:-300}
build=${2:-build/release}
cli=$build/tessera-plus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TESSERA_NOW="2024-06-28 18:00:00" TESSERA_LOG_FILE="$work/log" TESSERA_PROGRESS=0
export TALLOW_SIM_HISTORY_START=20240401 TALLOW_SIM_FAULT_RATE=0

pairs() {  # pairs WAIT_ARGS...: one line of totals for $trials pairs
  local failed=0 held=0
  : >"$TESSERA_LOG_FILE"
  for ((i = 0; i < trials; i++)); do
    "$cli" update -d "$work/b" -j 2 "$@" >"$work/out1" 2>&1 &
    local first=$!
    "$cli" update -d "$work/b" -j 2 "$@" >"$work/out2" 2>&1
    local second=$?
    wait "$first"
    local status=$?
    for s in $status $second; do [ "$s" -ne 0 ] && failed=$((failed + 1)); done
    held=$((held + $(cat "$work/out1" "$work/out2" | grep -c '正被另一个任务使用（进程 [0-9]*，开始于 ')))
  done
  local io
  io=$(grep -c 'I/O 错误' "$TESSERA_LOG_FILE")
  echo "$((2 * trials)) runs: $failed exited non-zero, $held holder lines, $io I/O-error reports"
}

"$cli" update -d "$work/b" -j 2 >/dev/null 2>&1  # the bundle the pairs update
echo "with --wait 600:  $(pairs --wait 600)"
echo "without --wait:   $(pairs)"
echo "without the lock: $(TESSERA_OVERLAP_ROUNDS=$trials \
  "$build/tessera_plus/bundle/base_data/base_updater_test" \
  --gtest_filter='BaseUpdater.OverlappingUpdatesNeverSweepEachOthersBuilds' |
  grep '^overlapping base updates')"
