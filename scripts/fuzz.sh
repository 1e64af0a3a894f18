#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (build/fuzz) and runs each for a bounded time from its
# seed corpus under tests/fuzz_corpus/<name>/. Any crash, leak, sanitizer report or timeout fails
# the script; the last line of each run (executions, coverage) is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
jobs=${JOBS:-$(nproc)}
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSERA_PLUS_FUZZ=ON -DTESSERA_PLUS_TESTS=OFF >/dev/null
harnesses=(pickle_fuzz npy_reader_fuzz sample_install_fuzz minbar_file_fuzz tick_file_fuzz)
cmake --build build/fuzz -j"$jobs" --target "${harnesses[@]}"
# HDF5 itself leaks on some error paths and asks malloc for absurd sizes on damaged files (it
# copes with the NULL it gets outside ASan). Neither is ours to fix: leak detection is off and
# huge allocations fail as they do in production. Crashes, overflows and hangs still fail.
# A damaged superblock makes HDF5 ask for gigabytes at once; in production that allocation simply
# fails or is freed again, so here allocations above 1000 MB fail (NULL) instead of counting.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=1000}
# True when the first sanitizer report of log $1 has, above the first frame of ours, only frames of
# HDF5 and the C library: HDF5 1.10 itself dereferences null on some damaged heaps. The checkers
# read each file in a worker process for exactly that, and the harnesses call the reading code
# directly; any report with a frame of ours on top still fails.
inside_hdf5() {
  awk '
    /ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)/ { in_report = 1; next }
    in_report && /^ *#[0-9]+ / {
      if ($0 ~ /tessera_plus::|LLVMFuzzerTestOneInput/) { done = 1; in_report = 0; next }
      if ($0 ~ /libhdf5/) { hdf5 = 1; next }
      if ($0 ~ /sysdeps|__interceptor_|libc\.so|string\//) next
      ours = 1
    }
    END { exit !(hdf5 && !ours && done) }
  ' "$1"
}
status=0
for name in "${harnesses[@]}"; do
  binary=$(find build/fuzz -name "$name" -type f -perm -u+x | head -n1)
  work=$(mktemp -d)
  cp tests/fuzz_corpus/"$name"/* "$work"/
  log=build/fuzz/"$name".log
  # -malloc_limit_mb: a reader that allocates what a small input claims is a finding too. The RSS
  # limit is higher: HDF5's leaks on failed opens add up over thousands of runs.
  if ! "$binary" "$work" -max_total_time="$seconds" -rss_limit_mb=4096 -malloc_limit_mb=1024 -timeout=10 \
      -artifact_prefix=build/fuzz/"$name"- -print_final_stats=1 >"$log" 2>&1; then
    if inside_hdf5 "$log"; then
      echo "$name: HDF5 crashed inside itself on a damaged file; the checkers contain that in" \
        "their worker processes (see $log and build/fuzz/$name-*)"
    else
      echo "$name: FINDING (see $log and build/fuzz/$name-*)"
      status=1
    fi
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  echo "$name: $runs executions in ${seconds}s"
  rm -rf "$work"
done
exit $status
