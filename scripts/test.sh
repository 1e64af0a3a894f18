#!/usr/bin/env bash
# Builds everything twice (release, and address+undefined sanitizers) and runs every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
(cd build/release && ctest --output-on-failure -j"$jobs")
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSERA_PLUS_SANITIZE=ON >/dev/null
cmake --build build/asan -j"$jobs" --target tessera_plus_tests tessera-plus
(cd build/asan && ctest --output-on-failure -j"$jobs")
