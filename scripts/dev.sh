#!/usr/bin/env bash
# The edit-build-test loop: one build under build/dev (Ninja, ccache), reused from run to run.
#   scripts/dev.sh market         the layer's library and unit test programs, then its unit tests
#   scripts/dev.sh bundle/store   (any folder under tessera_plus/, by its path there)
#   scripts/dev.sh cli            the program and the tests that run it (none of the slow ones)
#   scripts/dev.sh python         the package and the program, then its tests (none of the slow ones)
#   scripts/dev.sh                everything, then every test not labelled slow
# scripts/test.sh stays the full gate: slow tests, sanitizers, clang-tidy and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/dev
jobs=${JOBS:-$(nproc)}
layer=${1:-}
for tool in cmake ninja ccache; do
  command -v "$tool" >/dev/null || { scripts/install-deps.sh; break; }
done
if [ ! -f "$build/build.ninja" ]; then
  scripts/configure.sh "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_PLUS_WERROR=ON
fi
ctest_in() { (cd "$1" && ctest -j"$jobs" --output-on-failure "${@:2}"); }
case "$layer" in
  "")
    ninja -C "$build" -j"$jobs"
    ctest_in "$build" -LE slow
    ;;
  cli)
    ninja -C "$build" -j"$jobs" cli/all
    ctest_in "$build/cli" -LE slow
    ;;
  python)
    ninja -C "$build" -j"$jobs" tessera_plus_python tessera-plus
    ctest_in "$build" -L python -LE slow
    ;;
  *)
    folder=${layer#tessera_plus/}
    folder=${folder%/}
    if [ ! -d "tessera_plus/$folder" ]; then
      echo "dev.sh: no layer '$layer' (a folder under tessera_plus/, cli, python or nothing)" >&2
      exit 2
    fi
    ninja -C "$build" -j"$jobs" "dev_${folder//\//_}"
    # A layer without unit tests (net, status, pysource) is only built.
    ctest_in "$build/tessera_plus/$folder" -L unit --no-tests=ignore
    ;;
esac
