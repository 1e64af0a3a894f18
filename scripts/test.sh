#!/usr/bin/env bash
# The full gate: checks style and layers, builds everything (release, a plain Release,
# address+undefined sanitizers) with warnings as errors, runs every test with CTest (all labels,
# slow ones included), clang-tidy, and the fuzzers. Builds use Ninja and ccache, so a second run
# recompiles only what changed. scripts/dev.sh is the quick loop while editing one layer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check_style.sh
jobs=$(nproc)
scripts/configure.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_PLUS_WERROR=ON
ninja -C build/release -j"$jobs"
(cd build/release && ctest --output-on-failure -j"$jobs")
scripts/check_tidy.sh build/release
# A plain Release build, as users make it, must build too (warnings shown, never fatal). Its -O3
# vectorises the tick conversion's fast lane, which the other builds run as scalar code, so the
# tests of that conversion run here too.
scripts/configure.sh build/o3 -DCMAKE_BUILD_TYPE=Release -DTESSERA_PLUS_TESTS=ON
ninja -C build/o3 -j"$jobs" tessera-plus record_layout_test tick_records_test
build/o3/tessera_plus/h5/record_layout_test --gtest_brief=1
build/o3/tessera_plus/bundle/store/tick_records_test --gtest_brief=1
scripts/configure.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSERA_PLUS_SANITIZE=ON -DTESSERA_PLUS_WERROR=ON
ninja -C build/asan -j"$jobs"
(cd build/asan && ctest --output-on-failure -j"$jobs")
# Hostile inputs: every reader of untrusted bytes under libFuzzer for a bounded time.
scripts/fuzz.sh
