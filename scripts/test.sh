#!/usr/bin/env bash
# Checks style and layers, builds everything (release, a plain Release, address+undefined
# sanitizers) with warnings as errors, runs every test with CTest, clang-tidy, and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check_style.sh
jobs=$(nproc)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_PLUS_WERROR=ON >/dev/null
cmake --build build/release -j"$jobs"
(cd build/release && ctest --output-on-failure -j"$jobs")
scripts/check_tidy.sh build/release
# A plain Release build, as users make it, must build too (warnings shown, never fatal). Its -O3
# vectorises the tick conversion's fast lane, which the other builds run as scalar code, so the
# tests of that conversion run here too.
cmake -S . -B build/o3 -DCMAKE_BUILD_TYPE=Release -DTESSERA_PLUS_TESTS=ON >/dev/null
cmake --build build/o3 -j"$jobs" --target tessera-plus record_layout_test tick_records_test
build/o3/tessera_plus/h5/record_layout_test --gtest_brief=1
build/o3/tessera_plus/bundle/store/tick_records_test --gtest_brief=1
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSERA_PLUS_SANITIZE=ON -DTESSERA_PLUS_WERROR=ON >/dev/null
cmake --build build/asan -j"$jobs"
(cd build/asan && ctest --output-on-failure -j"$jobs")
# Hostile inputs: every reader of untrusted bytes under libFuzzer for a bounded time.
scripts/fuzz.sh
