#!/usr/bin/env bash
# Runs an operator can trust from cron. Two sets of trials against the simulated market:
#  1. consoles that go away: {stdout, stderr} x {closed, a pipe whose reader exits after one
#     line, a full file system (a small tmpfs, when this user may mount one), /dev/full} x
#     {update, smart-update, check --yes, status}. Counts runs that died (a signal or an abort) or
#     ended with another exit status than with a console, and bundles that differ from the one a
#     run with a console leaves.
#  2. signals at random moments: SIGINT, SIGTERM and SIGHUP in turn, sent to the process group of
#     `update -j 2`, `smart-update -j 2` and `check minbar --yes -j 2`. Counts trials whose exit
#     status was not 128 + the signal, that did not print exactly one stop line, that left a process
#     of the group running, or whose next run did not leave the bundle an uninterrupted run leaves.
# Usage: bench/console_signal_trials.sh [TRIALS_PER_COMMAND] [BUILD_DIR] [signals]
# (defaults: 30, build/dev; "signals" runs the second set alone)
set -uo pipefail
cd "$(dirname "$0")/.."
trials=${1:-30}
cli=$(realpath "${2:-build/dev}/tessera-plus")
digest="/usr/bin/python3 $(pwd)/tests/support/bundle_digest.py"
export TESSERA_LOG_FILE=/dev/null TALLOW_SIM_HISTORY_START=20240401 TALLOW_RETRY_BASE_MS=0
today="2024-06-28 18:00:00" week_ago="2024-06-20 18:00:00"
args=(-j 2 --minbar 000001.XSHE 600000.XSHG 000002.XSHE RB --tick 000002.XSHE)
work=$(mktemp -d)
fullfs=$work/fullfs
cleanup() {
  mountpoint -q "$fullfs" 2>/dev/null && umount "$fullfs"
  rm -rf "$work"
}
trap cleanup EXIT

# The starting bundles: nothing (update), a week-old one (smart-update and status), the up-to-date
# one with a damaged minute-bar file (check).
TESSERA_NOW=$week_ago "$cli" update -d "$work/stale" "${args[@]}" >/dev/null 2>&1 ||
  { echo "cannot build the week-old bundle"; exit 1; }
TESSERA_NOW=$today "$cli" update -d "$work/fresh" "${args[@]}" >/dev/null 2>&1 ||
  { echo "cannot build the fresh bundle"; exit 1; }
cp -a "$work/fresh" "$work/damaged"
victim=$work/damaged/bundle/h5/equities/000001.XSHE.h5
truncate -s $(($(stat -c %s "$victim") / 2)) "$victim"
export TESSERA_NOW=$today

# start COMMAND DIR: the bundle COMMAND starts from, in DIR. run COMMAND DIR: the command.
start() {
  case $1 in
    update) rm -rf "$2" ;;
    smart-update | status) rm -rf "$2" && cp -a "$work/stale" "$2" ;;
    check) rm -rf "$2" && cp -a "$work/damaged" "$2" ;;
  esac
}
# command COMMAND DIR: the command line, into `cmd`. run COMMAND DIR: runs it.
command_line() {
  case $1 in
    update) cmd=("$cli" update -d "$2" "${args[@]}") ;;
    smart-update) cmd=("$cli" smart-update -d "$2" -j 2) ;;
    check) cmd=("$cli" check minbar -d "$2" --yes -j 2) ;;
    status) cmd=("$cli" status -d "$2") ;;
  esac
}
run() {
  command_line "$1" "$2"
  "${cmd[@]}"
}
declare -A ref_status ref_digest ref_seconds
for c in update smart-update check status; do
  start "$c" "$work/ref-$c"
  t0=$(date +%s.%N)
  run "$c" "$work/ref-$c" >/dev/null 2>&1
  ref_status[$c]=$?
  ref_seconds[$c]=$(awk -v a="$(date +%s.%N)" -v b="$t0" 'BEGIN { printf "%.3f", a - b }')
  ref_digest[$c]=$($digest "$work/ref-$c" | md5sum)
  echo "reference $c: exit ${ref_status[$c]}, ${ref_seconds[$c]}s"
done

have_fullfs=0
mkdir -p "$fullfs"
if mount -t tmpfs -o size=64k tmpfs "$fullfs" 2>/dev/null; then
  dd if=/dev/zero of="$fullfs/filler" bs=4k 2>/dev/null
  have_fullfs=1
else
  echo "full file system: cannot mount a tmpfs here; those cells are left out"
fi

if [ "${3:-}" != signals ]; then
echo
echo "== consoles that go away =="
deaths=0 wrong_status=0 differ=0 cells=0
for c in update smart-update check status; do
  for stream in stdout stderr; do
    for loss in closed pipe fullfs devfull; do
      [ "$loss" = fullfs ] && [ $have_fullfs = 0 ] && continue
      dir=$work/m && start "$c" "$dir"
      target=/dev/full
      [ "$loss" = fullfs ] && target=$fullfs/out
      case $stream-$loss in
        stdout-closed) run "$c" "$dir" >&- 2>/dev/null; s=$? ;;
        stderr-closed) run "$c" "$dir" 2>&- >/dev/null; s=$? ;;
        stdout-pipe) run "$c" "$dir" 2>/dev/null | head -1 >/dev/null; s=${PIPESTATUS[0]} ;;
        stderr-pipe) { run "$c" "$dir" 2>&1 >/dev/null; } | head -1 >/dev/null; s=${PIPESTATUS[0]} ;;
        stdout-*) run "$c" "$dir" >"$target" 2>/dev/null; s=$? ;;
        stderr-*) run "$c" "$dir" 2>"$target" >/dev/null; s=$? ;;
      esac
      cells=$((cells + 1))
      verdict=ok
      if [ $s -gt 128 ]; then
        deaths=$((deaths + 1)) verdict="died ($s)"
      elif [ $s != "${ref_status[$c]}" ]; then
        wrong_status=$((wrong_status + 1)) verdict="exit $s, not ${ref_status[$c]}"
      fi
      if [ "$($digest "$dir" | md5sum)" != "${ref_digest[$c]}" ]; then
        differ=$((differ + 1)) verdict="$verdict, bundle differs"
      fi
      printf '%-13s %-7s %-8s %s\n' "$c" "$stream" "$loss" "$verdict"
    done
  done
done
echo "console cells: $cells, died: $deaths, other exit status: $wrong_status, bundle differs: $differ"
fi

echo
echo "== signals at random moments ($trials per command) =="
RANDOM=20240628
signals=(INT TERM HUP)
declare -A numbers=([INT]=2 [TERM]=15 [HUP]=1)
for c in update smart-update check; do
  bad_status=0 bad_line=0 left=0 bad_rerun=0 stopped_midway=0 before_start=0
  for ((t = 0; t < trials; t++)); do
    sig=${signals[$((t % 3))]}
    dir=$work/s && start "$c" "$dir"
    delay=$(awk -v r="$RANDOM" -v f="${ref_seconds[$c]}" 'BEGIN { printf "%.3f", r * f / 32767 }')
    command_line "$c" "$dir"
    setsid "${cmd[@]}" >"$work/out" 2>&1 &
    pid=$!
    sleep "$delay"
    kill -"$sig" -- -"$pid" 2>/dev/null
    wait "$pid"
    s=$?
    running=$(pgrep -g "$pid" | wc -l)
    [ "$running" -gt 0 ] && left=$((left + 1)) && pkill -KILL -g "$pid"
    lines=$(grep -c "^已中断（SIG$sig）：" "$work/out")
    grep -q "再次运行即可继续" "$work/out" && stopped_midway=$((stopped_midway + 1))
    # A run that ended before the signal reached it ends as without one; a signal that comes
    # before the program has set its handlers (while it is loaded) ends it before it does anything.
    if [ "$lines" = 0 ] && [ $s = "${ref_status[$c]}" ]; then :
    elif [ "$lines" = 0 ] && [ ! -s "$work/out" ] && [ $s = $((128 + ${numbers[$sig]})) ]; then
      before_start=$((before_start + 1))
    elif [ $s != $((128 + ${numbers[$sig]})) ]; then bad_status=$((bad_status + 1))
    elif [ "$lines" != 1 ]; then bad_line=$((bad_line + 1))
    fi
    run "$c" "$dir" >/dev/null 2>&1
    [ "$($digest "$dir" | md5sum)" != "${ref_digest[$c]}" ] && bad_rerun=$((bad_rerun + 1))
  done
  echo "$c: $trials trials, stopped midway $stopped_midway, ended before starting $before_start;" \
    "wrong exit status $bad_status," \
    "not one stop line $bad_line, process left running $left, next run differs $bad_rerun"
done
