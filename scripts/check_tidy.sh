#!/usr/bin/env bash
# clang-tidy over the library's and the program's sources with the checks in .clang-tidy, using
# the compile commands of a configured build (default build/release). Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
mapfile -t sources < <(git ls-files 'tessera_plus/*.cc' 'cli/*.cc' | grep -v -E '_(test|fuzz|bench)\.cc$')
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 8 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null >"$build/clang-tidy.log" || true
if grep -E 'warning:|error:' "$build/clang-tidy.log"; then
  echo "clang-tidy found the problems above" >&2
  exit 1
fi
echo "clang-tidy: ${#sources[@]} files clean"
