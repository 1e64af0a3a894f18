#!/usr/bin/env bash
# Time to install a sample bundle with `download-sample --file` against plain extraction with
# `tar xjf` of the same archive into an empty directory, both on the same disk. The archive holds
# SIZE_MB of instrument-file-like data (half incompressible, half repetitive, like compressed HDF5
# chunks next to their indexes). Prints the median of RUNS runs of each and their ratio, and the
# time of the sync after tar (the install makes its files durable; tar leaves that to the kernel).
# Usage: bench/sample_install_time.sh [SIZE_MB] [RUNS] [PROGRAM]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb=${1:-200}
runs=${2:-3}
cli=$(realpath "${3:-build/release/tessera-plus}")
work=$(mktemp -d "${TMPDIR:-/var/tmp}/sample-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work/src" "$size_mb" <<'PY'
import os, random, sys
root, size_mb = sys.argv[1], int(sys.argv[2])
rng = random.Random(15)
file_size = 512 * 1024
for i in range(size_mb * 1024 * 1024 // file_size):
    d = os.path.join(root, "h5", "CS")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"{i:06d}.XSHE.h5"), "wb") as f:
        f.write(rng.randbytes(file_size // 2))
        f.write((b"%08d" % i) * (file_size // 16))
with open(os.path.join(root, "trading_dates.npy"), "wb") as f:
    f.write(b"dates")
PY
tar -C "$work/src" -cjf "$work/twbundle_sample.tar.bz2" .
echo "archive: $(du -m "$work/twbundle_sample.tar.bz2" | cut -f1) MB for ${size_mb} MB unpacked"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }

tar_times=() sync_times=() install_times=()
for _ in $(seq "$runs"); do
  rm -rf "$work/tar" "$work/root"; mkdir -p "$work/tar"; sync
  tar_times+=("$(seconds tar -C "$work/tar" -xjf "$work/twbundle_sample.tar.bz2")")
  sync_times+=("$(seconds sync)")
  install_times+=("$(seconds "$cli" download-sample -d "$work/root" --file "$work/twbundle_sample.tar.bz2")")
  sync
done
tar_median=$(printf '%s\n' "${tar_times[@]}" | median)
install_median=$(printf '%s\n' "${install_times[@]}" | median)
echo "tar xjf:          ${tar_times[*]} s (median $tar_median)"
echo "  then sync:       ${sync_times[*]} s (the install syncs what it wrote; tar does not)"
echo "download-sample:  ${install_times[*]} s (median $install_median)"
echo "ratio: $(echo "scale=3; $install_median / $tar_median" | bc)"
