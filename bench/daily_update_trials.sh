#!/usr/bin/env bash
# A nightly run at scale: a bundle of bench-scale stocks (TALLOW_SIM_SCALE=bench) built at one date,
# then `smart-update` by one trading day, timed for each CLI given, on a fresh copy of the same
# bundle each time and in alternation, so that every build sees the same machine and disk. Prints
# minute-bar files per second of the whole run (base data included) and the peak resident memory
# of any one process (the CLI or a worker), the best of the rounds.
#
#   bench/daily_update_trials.sh [FILES] [ROUNDS] BUILD_DIR...
#
# A build dir of the starting commit next to the current one gives the speed-up in one run.
# TESSERA_NO_JOURNAL_BUILD=BUILD_DIR adds a build whose in-place writes skip the journal (a build
# configured with -DTESSERA_PLUS_BENCH_NO_JOURNAL=ON; never a product build) to price the journal.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/trials_setup.sh
trials_setup daily_update 1000 3 "$@"
[ -n "${TESSERA_NO_JOURNAL_BUILD:-}" ] && builds+=("$TESSERA_NO_JOURNAL_BUILD")

export TALLOW_SIM_SCALE=bench TALLOW_SIM_STOCKS=$files TALLOW_SIM_HISTORY_DAYS=40
export TESSERA_LOG_FILE=/dev/null
# Friday's bundle, brought to Monday: one trading day for every file. Each CLI builds its own, so
# that each updates files laid out the way it writes them.
for b in "${builds[@]}"; do
  TESSERA_NOW="2024-05-31 18:00:00" "$b/tessera-plus" update -d "$work/friday.${b//\//_}" -j 2 \
    --minbar stock >/dev/null 2>&1 </dev/null || { echo "$b: building the bundle failed"; exit 1; }
done
export TESSERA_NOW="2024-06-03 18:00:00"
first_bundle="$work/friday.${builds[0]//\//_}"
count=$(find "$first_bundle/bundle/h5" -name '*.h5' | wc -l)
echo "bundle: $count minute-bar files of $TALLOW_SIM_HISTORY_DAYS days, $(du -sh "$first_bundle" | cut -f1)"

declare -A best_rate best_rss
for ((r = 1; r <= rounds; r++)); do
  for b in "${builds[@]}"; do
    rm -rf "$work/run"
    cp -a "$work/friday.${b//\//_}" "$work/run"
    sync
    start=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/rss" "$b/tessera-plus" smart-update -d "$work/run" -j 2 \
      >/dev/null 2>"$work/err" </dev/null || { echo "$b: smart-update failed"; cat "$work/err"; exit 1; }
    s=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
    rate=$(awk -v n="$count" -v s="$s" 'BEGIN { printf "%.0f", n / s }')
    rss=$(tail -1 "$work/rss")
    echo "round $r  $b: ${s}s, $rate files/s, peak RSS ${rss} KB"
    if [ "${best_rate[$b]:-0}" -lt "$rate" ]; then best_rate[$b]=$rate; fi
    if [ "${best_rss[$b]:-0}" -lt "$rss" ]; then best_rss[$b]=$rss; fi
  done
done
# Once more per build, outside the timing: the service calls of the one-day run, by operation, and
# what a second run with nothing new then changes (files whose bytes or modification time moved;
# the run lock's holder line, rewritten by every run, left out).
for b in "${builds[@]}"; do
  rm -rf "$work/run" "$work/calls"
  cp -a "$work/friday.${b//\//_}" "$work/run"
  TALLOW_SIM_CALL_LOG="$work/calls" "$b/tessera-plus" smart-update -d "$work/run" -j 2 \
    >/dev/null 2>&1 </dev/null
  calls=$(awk '{ n[$3]++ } END { for (op in n) printf "%s %d, ", op, n[op] }' "$work/calls" | sort)
  find "$work/run" -type f ! -name .tessera_plus-run.lock -printf '%p %T@ %s\n' | sort >"$work/before"
  (cd "$work/run" && find . -type f ! -name .tessera_plus-run.lock -exec sha1sum {} + | sort) \
    >"$work/sums_before"
  "$b/tessera-plus" smart-update -d "$work/run" -j 2 >/dev/null 2>&1 </dev/null
  find "$work/run" -type f ! -name .tessera_plus-run.lock -printf '%p %T@ %s\n' | sort >"$work/after"
  (cd "$work/run" && find . -type f ! -name .tessera_plus-run.lock -exec sha1sum {} + | sort) \
    >"$work/sums_after"
  moved=$(comm -13 "$work/before" "$work/after" | wc -l)
  changed=$(comm -13 "$work/sums_before" "$work/sums_after" | wc -l)
  echo "$b: service calls ${calls%, }; idle second run: $moved of $(wc -l <"$work/after") files" \
    "with a new modification time or size, $changed with new bytes"
done
first=${builds[0]}
for b in "${builds[@]}"; do
  echo "$b: best $((best_rate[$b])) files/s ($(awk -v a="${best_rate[$b]}" -v z="${best_rate[$first]}" \
    'BEGIN { printf "%.2f", a / z }')x of $first), peak RSS ${best_rss[$b]} KB"
done
