#!/usr/bin/env bash
# The main job on the built-in simulated market: a full update of a demo selection into a fresh
# bundle (base data, minute bars and ticks), then an integrity check of its minute bars.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/configure.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build/release -j"$(nproc)" tessera-plus
root=${TESSERA_DEMO_ROOT:-$(mktemp -d "${TMPDIR:-/tmp}/tessera_plus_demo.XXXXXX")}
cli=build/release/tessera-plus
# The simulated market's demo history starts on 2024-05-06 and grows with "today": a fixed today
# keeps the demo small, and its output the same, whenever it runs.
export TESSERA_NOW="${TESSERA_NOW:-2024-07-01 18:00:00}"
echo "demo bundle: $root"
# Stocks on both exchanges, an index, the RB futures (night sessions) and ticks of two stocks
# and an index future.
"$cli" update -d "$root" -j "$(nproc)" \
  --minbar 000001.XSHE 600000.XSHG 600519.XSHG 000002.XSHE 000300.XSHG RB \
  --tick 000001.XSHE 600519.XSHG IF
echo no | "$cli" check minbar -d "$root"
echo no | "$cli" check tick -d "$root"
echo "demo bundle left in $root"
