#!/usr/bin/env bash
# The main job on the built-in simulated market.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target tessera-plus
build/release/tessera-plus --help
