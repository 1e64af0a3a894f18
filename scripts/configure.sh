#!/usr/bin/env bash
# Configures build directory $1 with Ninja and ccache; the remaining arguments go to CMake. A
# directory that an older configuration left with another generator is started afresh, since
# CMake cannot switch generators in place.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
shift
if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >/dev/null
