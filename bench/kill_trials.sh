#!/usr/bin/env bash
# Reliability under abrupt termination: kills a full update (SIGKILL to its whole process group) at
# pseudo-random moments, runs the same update again, and compares every file with a bundle built
# without interruption. Prints, per trial, how many files HDF5 could not open right after the kill
# and how many datasets differ after the re-run. Usage: bench/kill_trials.sh [TRIALS] [BUILD_DIR]
# [new|extend]: "new" kills updates that build a bundle from nothing; "extend" kills smart updates
# that extend a bundle built a month earlier (files grown in place through the journal). After each
# re-run, rollback records left beside files count as leftovers too. The re-run starts the moment
# the killed run's main process is reaped, as a supervisor restarts a job: one that finds the bundle
# still held by the dying workers counts as busy, and one that exits 0 leaving the uninterrupted
# bundle, with no leftovers, as converged.
set -uo pipefail
cd "$(dirname "$0")/.."
trials=${1:-20}
cli=${2:-build/release}/tessera-plus
scenario=${3:-new}
digest="/usr/bin/python3 tests/support/bundle_digest.py"
export TESSERA_NOW="2024-06-28 18:00:00" TESSERA_LOG_FILE=/dev/null
args=(-j 2 --minbar 000001.XSHE 600000.XSHG 000002.XSHE 000300.XSHG RB --tick 000001.XSHE IF)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# prepare DIR: what a trial starts from; run DIR: the update that gets killed.
# The month-old bundle is built once and copied for every trial.
export TALLOW_SIM_HISTORY_START=20240401
prepare() {
  if [ "$scenario" = extend ]; then
    if [ ! -d "$work/month-old" ]; then
      TESSERA_NOW="2024-05-28 18:00:00" "$cli" update -d "$work/month-old" "${args[@]}" \
        >/dev/null 2>&1
    fi
    cp -a "$work/month-old" "$1"
  fi
}
run() {
  if [ "$scenario" = extend ]; then
    "$cli" smart-update -d "$1" -j 2
  else
    "$cli" update -d "$1" "${args[@]}"
  fi
}
prepare "$work/ref"
start=$(date +%s.%N)
run "$work/ref" >/dev/null 2>&1 || { echo "reference update failed"; exit 1; }
full=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
$digest "$work/ref" >"$work/ref.txt"
echo "reference update: ${full}s, $(wc -l <"$work/ref.txt") datasets and files"

RANDOM=20240628
lost_total=0 commit_total=0 differ_total=0 busy_total=0 converged=0
for ((t = 1; t <= trials; t++)); do
  dir="$work/t$t"
  delay=$(awk -v r="$RANDOM" -v f="$full" 'BEGIN { printf "%.3f", r * f / 32767 }')
  prepare "$dir"
  export -f run
  export cli scenario
  setsid bash -c 'run "$0"' "$dir" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -KILL -- "-$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unreadable=$($digest "$dir" | awk '/ UNREADABLE /{print $1}')
  lost=$(printf '%s' "$unreadable" | grep -c . || true)
  # Unreadable with a rollback record beside it: killed inside the short commit step, which our
  # next open of the file (the re-run below) rolls back before anything else.
  in_commit=0
  for rel in $unreadable; do [ -e "$dir/$rel.rollback" ] && in_commit=$((in_commit + 1)); done
  run "$dir" >"$work/rerun.out" 2>&1
  status=$?
  busy=$(grep -c '正被另一个任务使用' "$work/rerun.out")
  $digest "$dir" >"$work/t$t.txt"
  leftover=$(grep -c LEFTOVER "$work/t$t.txt")
  differ=$(diff <(grep -v LEFTOVER "$work/ref.txt") <(grep -v LEFTOVER "$work/t$t.txt") | grep -c '^[<>]')
  echo "trial $t: killed after ${delay}s; unreadable after kill: $lost ($in_commit inside a commit); after re-run (exit $status): $differ differing lines, $leftover leftover hidden files"
  busy_total=$((busy_total + busy))
  [ "$status" = 0 ] && [ "$differ" = 0 ] && [ "$leftover" = 0 ] && converged=$((converged + 1))
  lost_total=$((lost_total + lost))
  commit_total=$((commit_total + in_commit))
  differ_total=$((differ_total + differ))
  rm -rf "$dir"
done
echo "total: $lost_total unreadable files after kills ($commit_total inside a commit), $differ_total differing lines after re-runs, in $trials trials"
echo "re-runs converged to the uninterrupted bundle: $converged of $trials ($busy_total found the bundle busy)"
