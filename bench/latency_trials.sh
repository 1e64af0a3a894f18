#!/usr/bin/env bash
# What service latency costs a run, side by side for each CLI given, in one run on one machine:
#   daily   one-day `smart-update` of a bench-scale bundle (every stock's minute bars, base data
#           included) with default settings, at 0 ms and at LATENCY ms per data call, for each
#           stock count of STOCKS;
#   first   a first build (`update --minbar stock` into an empty root) of FIRST_STOCKS stocks with
#           FIRST_DAYS trading days of history, at 0 ms and at LATENCY ms;
#   memory  the peak resident memory of any one process (the CLI or a worker) while one stock's
#           minute-bar file is rebuilt over the whole bench history (from 2005);
#   rate    a one-day `smart-update` of RATE_STOCKS stocks with `--rate-limit RATE`: the calls the
#           simulated service received (TALLOW_SIM_CALL_LOG), their average rate and the most that
#           arrived within any one second.
#
#   bench/latency_trials.sh BUILD_DIR...
#
# Settings (environment): STOCKS ("600 3000"), LATENCY (20), FIRST_STOCKS (100), FIRST_DAYS (250),
# RATE_STOCKS (200), RATE (100), SECTIONS ("daily first memory rate").
# A build dir of the starting commit next to the current one gives both latency ratios and the
# speed-up at 0 ms in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/trials_setup.sh
trials_setup latency 0 1 "" "" "$@"
stocks_list=${STOCKS:-600 3000}
latency=${LATENCY:-20}
first_stocks=${FIRST_STOCKS:-100}
first_days=${FIRST_DAYS:-250}
rate_stocks=${RATE_STOCKS:-200}
rate=${RATE:-100}
sections=${SECTIONS:-daily first memory rate}

export TALLOW_SIM_SCALE=bench TESSERA_LOG_FILE=/dev/null
friday="2024-05-31 18:00:00"
monday="2024-06-03 18:00:00"

# Seconds that "$@" took; its output goes to $work/out and $work/err, and a failure ends the trials.
timed() {
  local start
  start=$(date +%s.%N)
  "$@" >"$work/out" 2>"$work/err" </dev/null || { echo "failed: $*"; tail -3 "$work/err"; exit 1; }
  awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { printf "%.2f", a - b }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# The bundle of Friday, built by CLI $1 with $2 stocks and brought to Monday by each run.
friday_bundle() {
  local b=$1 n=$2 dir="$work/friday.$2.${1//\//_}"
  if [ ! -d "$dir" ]; then
    TALLOW_SIM_STOCKS=$n TALLOW_SIM_HISTORY_DAYS=40 TESSERA_NOW=$friday \
      timed "$b/tessera-plus" update -d "$dir" --minbar stock >/dev/null
  fi
  echo "$dir"
}

declare -A zero_of
daily() {
  local n b from zero slow t
  for n in $stocks_list; do
    for b in "${builds[@]}"; do
      from=$(friday_bundle "$b" "$n")
      for l in 0 "$latency"; do
        rm -rf "$work/run" && cp -a "$from" "$work/run" && sync
        t=$(TALLOW_SIM_STOCKS=$n TALLOW_SIM_HISTORY_DAYS=40 TESSERA_NOW=$monday \
          TALLOW_SIM_LATENCY_MS=$l timed "$b/tessera-plus" smart-update -d "$work/run")
        if [ "$l" = 0 ]; then zero=$t; else slow=$t; fi
      done
      [ -n "${zero_of[$n]:-}" ] || zero_of[$n]=$zero
      echo "daily   $n stocks  $b: 0 ms ${zero} s, $latency ms ${slow} s: $(ratio "$slow" "$zero")x;" \
        "0 ms against ${builds[0]}: $(ratio "$zero" "${zero_of[$n]}")x"
    done
  done
}

first() {
  local b l t zero slow
  for b in "${builds[@]}"; do
    for l in 0 "$latency"; do
      rm -rf "$work/run"
      t=$(TALLOW_SIM_STOCKS=$first_stocks TALLOW_SIM_HISTORY_DAYS=$first_days TESSERA_NOW=$monday \
        TALLOW_SIM_LATENCY_MS=$l timed "$b/tessera-plus" update -d "$work/run" --minbar stock)
      if [ "$l" = 0 ]; then zero=$t; else slow=$t; fi
    done
    echo "first   $first_stocks stocks x $first_days days  $b: 0 ms ${zero} s, $latency ms ${slow} s:" \
      "$(ratio "$slow" "$zero")x"
  done
}

memory() {
  local b
  for b in "${builds[@]}"; do
    rm -rf "$work/run"
    TALLOW_SIM_STOCKS=20 TESSERA_NOW=$monday /usr/bin/time -f %M -o "$work/rss" \
      "$b/tessera-plus" update -d "$work/run" --no-base --minbar 000001.XSHE \
      >/dev/null 2>&1 </dev/null || { echo "$b: the 20-year build failed"; exit 1; }
    echo "memory  20-year minute-bar build of one stock  $b: peak RSS $(tail -1 "$work/rss") KB"
  done
}

# Calls, seconds from the first to the last, average per second, and the most within one second.
call_rates() {
  sort -n "$1" | awk '{ t[NR] = $1 / 1e9 }
    END {
      j = 1; most = 0
      for (i = 1; i <= NR; i++) { while (t[i] - t[j] >= 1) j++; if (i - j + 1 > most) most = i - j + 1 }
      span = t[NR] - t[1]
      printf "%d calls in %.2f s, %.1f/s on average, at most %d within one second", NR, span,
        (NR - 1) / (span > 0 ? span : 1), most
    }'
}

rate_trial() {
  local b from
  for b in "${builds[@]}"; do
    from=$(friday_bundle "$b" "$rate_stocks")
    rm -rf "$work/run" "$work/calls" && cp -a "$from" "$work/run"
    TALLOW_SIM_STOCKS=$rate_stocks TALLOW_SIM_HISTORY_DAYS=40 TESSERA_NOW=$monday \
      TALLOW_SIM_CALL_LOG="$work/calls" timed "$b/tessera-plus" smart-update -d "$work/run" \
      --rate-limit "$rate" >/dev/null
    if [ -s "$work/calls" ]; then
      echo "rate    --rate-limit $rate, $rate_stocks stocks  $b: $(call_rates "$work/calls")"
    else
      echo "rate    $b: its simulated service keeps no call log"
    fi
  done
}

for s in $sections; do
  case $s in
    daily) daily ;;
    first) first ;;
    memory) memory ;;
    rate) rate_trial ;;
    *) echo "unknown section $s" >&2; exit 2 ;;
  esac
done
