#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (build/fuzz) and runs each for a bounded time from its
# seed corpus under tests/fuzz_corpus/<name>/. A crash, sanitizer report, timeout or oversized
# allocation with a frame of ours on top fails the script. One that happens inside HDF5 (damaged
# files make HDF5 1.10 itself dereference null or loop) is recorded once per stack in
# build/fuzz/findings/hdf5/ and fuzzing goes on: the checkers read each file in a worker process
# for exactly that, so the reading code behind HDF5's open must keep being fuzzed past it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
jobs=${JOBS:-$(nproc)}
CC=clang-14 CXX=clang++-14 scripts/configure.sh build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSERA_PLUS_FUZZ=ON -DTESSERA_PLUS_TESTS=OFF
# All harnesses, or those named as arguments (scripts/fuzz.sh minbar_file_fuzz).
harnesses=(pickle_fuzz npy_reader_fuzz sample_install_fuzz minbar_file_fuzz tick_file_fuzz)
(($#)) && harnesses=("$@")
ninja -C build/fuzz -j"$jobs" "${harnesses[@]}"
# HDF5 itself leaks on some error paths and asks malloc for absurd sizes on damaged files (it
# copes with the NULL it gets outside ASan). Neither is ours to fix: leak detection is off and
# huge allocations fail as they do in production. Crashes, overflows and hangs still count.
# A damaged superblock makes HDF5 ask for gigabytes at once; in production that allocation simply
# fails or is freed again, so here allocations above 1000 MB fail (NULL) instead of counting.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=1000}
findings=build/fuzz/findings

# Reads a libFuzzer log ($1, from binary $2) and prints "hdf5 <signature>" when its first report
# happened inside HDF5 (the top frame, past the sanitizer, libFuzzer and C library, is outside our
# code and HDF5 lies between it and our deepest frame), "ours <frame>" for any other report, and
# nothing for a clean run. The signature is the top three frames' functions.
classify() {
  awk -v binary="$2" '
    function runtime(line) {
      return line ~ /compiler-rt\/|__sanitizer|__asan|__interceptor_|fuzzer::|sysdeps\/|libc\.so|\/string\// ||
        line ~ / in (malloc|calloc|realloc|free|posix_memalign|aligned_alloc|operator new|operator delete)/
    }
    function frame_name(line,    module) {
      sub(/ \(BuildId: [0-9a-f]*\)$/, "", line)
      if (match(line, / in [^ ]+/)) return substr(line, RSTART + 4, RLENGTH - 4)
      if (!match(line, /\([^)]*\)$/)) return "?"
      module = substr(line, RSTART + 1, RLENGTH - 2)
      sub(/^.*\//, "", module)
      return module
    }
    !report && /ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer|libFuzzer)|runtime error:/ {
      report = 1; header = $0; next
    }
    report && !done && /^ *#[0-9]+ / {
      if (!seen && runtime($0)) next
      if (++seen <= 3) sig = sig (seen > 1 ? " < " : "") frame_name($0)
      if ($0 ~ /tessera_plus::|LLVMFuzzerTestOneInput/ || index($0, "(" binary "+")) {
        done = 1; ours = (seen == 1 || !hdf5); next
      }
      if ($0 ~ /libhdf5/) hdf5 = 1
      next
    }
    # A stack that ends before reaching our code: HDF5 (a damaged file that makes it allocate
    # without bound, whose memory report shows the allocating frame alone) unless none of it was.
    report && seen && !done && !/^ *#[0-9]+ / { done = 1; ours = !hdf5 }
    END {
      if (!report) exit
      if (!seen) { sub(/^==[0-9]+==/, "", header); print "ours (no stack) " header; exit }
      if (ours || !hdf5) print "ours " sig
      else print "hdf5 " sig
    }
  ' "$1"
}

# One fuzzing process after another on harness $1 until the deadline $3, restarting after each
# crash inside HDF5; worker $2's corpus is the harness's shared one ($4), where every run leaves
# what it found and from which the others reload it. Prints "runs <executions>" last; returns 1
# on a finding of ours.
fuzz_worker() {
  local name=$1 worker=$2 deadline=$3 work=$4 binary log rc verdict sig key runs=0
  binary=$(find build/fuzz -name "$name" -type f -perm -u+x | head -n1)
  log=build/fuzz/"$name"-"$worker".log
  mkdir -p "$work/artifacts$worker" "$work/tmp$worker"
  while ((SECONDS < deadline)); do
    rm -f "$work/artifacts$worker"/*
    # -malloc_limit_mb: a reader that allocates what a small input claims is a finding too. The
    # RSS limit is higher: HDF5's leaks on failed opens add up over thousands of runs.
    TMPDIR="$work/tmp$worker" "$binary" "$work/corpus" -max_total_time=$((deadline - SECONDS)) \
      -rss_limit_mb=4096 -malloc_limit_mb=1024 -timeout=10 -seed=$((RANDOM * 32768 + RANDOM)) \
      -artifact_prefix="$work/artifacts$worker/" -print_final_stats=1 >"$log" 2>&1 && rc=0 || rc=$?
    runs=$((runs + $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)))
    verdict=$(classify "$log" "$(realpath "$binary")")
    ((rc == 0)) && [ -z "$verdict" ] && break
    [ -n "$verdict" ] || verdict="ours (no report) exit status $rc"
    sig=${verdict#* }
    if [ "${verdict%% *}" != hdf5 ]; then
      mkdir -p "$findings/$name"
      cp "$log" "$work/artifacts$worker"/* "$findings/$name/" 2>/dev/null || true
      echo "$name: FINDING: $sig (see $findings/$name/)"
      echo "runs $runs"
      return 1
    fi
    # The first worker to meet a stack keeps its input and log (mkdir is atomic).
    key=$(printf '%s' "$sig" | sed 's/ < /--/g' | tr -c 'A-Za-z0-9_.+-' '_' | cut -c1-120)
    mkdir -p "$findings/hdf5"
    if mkdir "$findings/hdf5/$key" 2>/dev/null; then
      cp "$log" "$work/artifacts$worker"/* "$findings/hdf5/$key/" 2>/dev/null || true
      echo "$name: inside HDF5 (recorded in $findings/hdf5/$key, fuzzing goes on): $sig"
    fi
  done
  echo "runs $runs"
}

# Fuzzes harness $1 for $seconds with $jobs workers on one corpus. Returns 1 on a finding of ours.
fuzz_one() {
  local name=$1 work worker pids=() runs=0 status=0 deadline=$((SECONDS + seconds))
  # The harnesses write each input to a file: on tmpfs that costs no disk writeback.
  work=$(mktemp -d -p "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
  mkdir "$work/corpus"
  cp tests/fuzz_corpus/"$name"/* "$work/corpus/"
  for ((worker = 1; worker <= jobs; worker++)); do
    fuzz_worker "$name" "$worker" "$deadline" "$work" >"$work/out$worker" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  for ((worker = 1; worker <= jobs; worker++)); do
    grep -v '^runs ' "$work/out$worker" || true
    runs=$((runs + $(sed -n 's/^runs //p' "$work/out$worker")))
  done
  echo "$name: $runs executions in ${seconds}s ($jobs processes)"
  rm -rf "$work"
  return $status
}

status=0
for name in "${harnesses[@]}"; do
  fuzz_one "$name" || status=1
done
if [ -d "$findings/hdf5" ]; then
  echo "crashes inside HDF5 so far, one input and log each: $(ls "$findings/hdf5" | wc -l) in $findings/hdf5/"
fi
exit $status
