#!/usr/bin/env bash
# The main job on the built-in simulated market: a full update of a demo selection into a fresh
# bundle (base data, minute bars and ticks), then an integrity check of its minute bars.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target tessera-plus
root=${TESSERA_DEMO_ROOT:-$(mktemp -d "${TMPDIR:-/tmp}/tessera_plus_demo.XXXXXX")}
cli=build/release/tessera-plus
echo "demo bundle: $root"
# Stocks on both exchanges, an index, the RB futures (night sessions) and ticks of two stocks
# and an index future.
"$cli" update -d "$root" -j "$(nproc)" \
  --minbar 000001.XSHE 600000.XSHG 600519.XSHG 000002.XSHE 000300.XSHG RB \
  --tick 000001.XSHE 600519.XSHG IF
echo no | "$cli" check minbar -d "$root"
echo no | "$cli" check tick -d "$root"
echo "demo bundle left in $root"
