#!/usr/bin/env bash
# bench/terminal_bar_trials.sh PROGRAM...: an update that draws every bar (base data, minute bars,
# ticks) in a tmux window 80 and 40 columns wide, for each program given, side by side: the
# screen rows the run leaves, and how many of them hold a bar or a piece of one. One row per bar
# (3) is the goal; a bar wider than the window leaves a row per redraw.
set -euo pipefail
work=$(mktemp -d)
trap 'tmux -S "$work/sock" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
printf '%-40s %7s %10s %10s\n' program columns rows bar_rows
for program in "$@"; do
  for columns in 80 40; do
    root="$work/root-$columns-$(basename "$program")"
    tmux -S "$work/sock" new-session -d -x "$columns" -y 200 \
      "env TESSERA_NOW='2024-06-28 20:00:00' TESSERA_LOG_FILE=$work/log TALLOW_SIM_FAULT_RATE=0 \
       TALLOW_SIM_LATENCY_MS=${LATENCY_MS:-5} $program update -d $root -j 2 \
       --minbar 000001.XSHE 000002.XSHE RB --tick 000002.XSHE; \
       tmux -S $work/sock wait-for -S ended; exec cat"
    tmux -S "$work/sock" wait-for ended
    tmux -S "$work/sock" capture-pane -p -S -1000 >"$work/screen"
    tmux -S "$work/sock" kill-server
    rows=$(grep -c . "$work/screen" || true)
    bar_rows=$(grep -cE '%\||it/s|^[# ]*\| [0-9]+/' "$work/screen" || true)
    printf '%-40s %7s %10s %10s\n' "$program" "$columns" "$rows" "$bar_rows"
  done
done
