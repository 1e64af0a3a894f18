#!/usr/bin/env bash
# A rebuild killed at pseudo-random moments: `update --rebuild` of three minute-bar instruments
# (with a futures underlying's contracts) and one tick file, SIGKILL to its whole process group,
# then a `smart-update`. Counts the trials where an instrument's file was missing right after the
# kill, where the bundle then differs from the uninterrupted one (leftover temporaries included),
# and where a file lost the mode 640 and owner 65534 it was given before the rebuild. Run as root.
#
#   bench/rebuild_kill_trials.sh [TRIALS] [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
trials=${1:-20}
cli=$(realpath "${2:-build/release}")/tessera-plus
digest="/usr/bin/python3 tests/support/bundle_digest.py"
export TESSERA_NOW="2024-06-28 18:00:00" TESSERA_LOG_FILE=/dev/null TESSERA_PROGRESS=0
export TALLOW_SIM_HISTORY_START=20240101
tags=(--minbar 000001.XSHE 600000.XSHG RB --tick 000001.XSHE)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cli" update -d "$work/base" -j 2 "${tags[@]}" >/dev/null 2>&1 </dev/null || exit 1
data=("$work/base/bundle/h5" "$work/base/bundle/ticks")
chown -R 65534:65534 "${data[@]}"
find "${data[@]}" -name '*.h5' -exec chmod 640 {} +
files=$(find "${data[@]}" -name '*.h5' | wc -l)
reference=$($digest "$work/base")
missing=0 differing=0 changed=0
for ((t = 1; t <= trials; t++)); do
  rm -rf "$work/t"
  cp -a "$work/base" "$work/t"
  delay=$(awk -v s="$t" 'BEGIN { srand(s * 7919); printf "%.2f", 0.1 + rand() * 2.5 }')
  setsid bash -c 'echo Y | "$0" update -d "$1" --rebuild -j 2 --no-base "${@:2}"' \
    "$cli" "$work/t" "${tags[@]}" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -KILL -- "-$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  left=$(find "$work/t/bundle/h5" "$work/t/bundle/ticks" -name '*.h5' | wc -l)
  [ "$left" -eq "$files" ] || missing=$((missing + 1))
  "$cli" smart-update -d "$work/t" -j 2 >/dev/null 2>&1 </dev/null
  [ "$($digest "$work/t")" = "$reference" ] || differing=$((differing + 1))
  odd=$(find "$work/t/bundle/h5" "$work/t/bundle/ticks" -name '*.h5' ! \( -perm 640 -user 65534 \) | wc -l)
  [ "$odd" -eq 0 ] || changed=$((changed + 1))
  echo "trial $t: killed after ${delay}s; instrument files right after the kill: $left of $files"
done
echo "$trials trials: an instrument missing after the kill in $missing, the bundle differing after the smart update in $differing, a file's mode or owner changed in $changed"
