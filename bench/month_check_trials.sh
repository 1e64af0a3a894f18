#!/usr/bin/env bash
# The check of young files as a user meets it: a bundle of bench-scale stocks
# (TALLOW_SIM_SCALE=bench) with about a month of minute bars each, built once by the last build
# given, then the whole `check minbar` (default jobs, the program's start included) timed for each
# CLI given, in alternation on that same bundle so that every build sees the same machine and page
# cache. Prints milliseconds per file of each run and the best of each build.
#
#   bench/month_check_trials.sh [FILES] [ROUNDS] BUILD_DIR...
#
# A build dir of the starting commit next to the current one gives the speed-up in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/trials_setup.sh
trials_setup month_check 300 8 "$@"

export TALLOW_SIM_SCALE=bench TALLOW_SIM_STOCKS=$files TALLOW_SIM_HISTORY_DAYS=22
export TESSERA_LOG_FILE=/dev/null TESSERA_NOW="2024-05-31 18:00:00"
writer=${builds[${#builds[@]} - 1]}
"$writer/tessera-plus" update -d "$work/bundle" -j 2 --minbar stock >/dev/null 2>&1 </dev/null ||
  { echo "$writer: building the bundle failed"; exit 1; }
count=$(find "$work/bundle/bundle/h5" -name '*.h5' | wc -l)
size=$(du -sh "$work/bundle" | cut -f1)
echo "bundle: $count minute-bar files of about $TALLOW_SIM_HISTORY_DAYS days, $size"

# One untimed run each: the files sit in the page cache, and each program's pages are loaded.
for b in "${builds[@]}"; do
  "$b/tessera-plus" check -d "$work/bundle" --json --quiet minbar >/dev/null 2>&1 </dev/null || true
done

declare -A best
for ((r = 1; r <= rounds; r++)); do
  for b in "${builds[@]}"; do
    start=$(date +%s%N)
    status=0
    "$b/tessera-plus" check -d "$work/bundle" --json --quiet minbar >"$work/out" 2>"$work/err" \
      </dev/null || status=$?
    end=$(date +%s%N)
    # 1 means broken files were found and listed, which is still a whole check.
    if [ "$status" -gt 1 ] || ! grep -q '"checked":true' "$work/out"; then
      echo "$b: the check failed ($status)"; cat "$work/err"; exit 1
    fi
    ms=$(awk -v ns=$((end - start)) -v n="$count" 'BEGIN { printf "%.3f", ns / 1e6 / n }')
    echo "round $r  $b: $ms ms a file"
    if [ -z "${best[$b]:-}" ] || awk -v a="$ms" -v b="${best[$b]}" 'BEGIN { exit !(a < b) }'; then
      best[$b]=$ms
    fi
  done
done
first=${builds[0]}
for b in "${builds[@]}"; do
  echo "$b: best ${best[$b]} ms a file ($(awk -v a="${best[$first]}" -v z="${best[$b]}" \
    'BEGIN { printf "%.2f", a / z }')x of $first)"
done
