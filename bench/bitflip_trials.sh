#!/usr/bin/env bash
# Bit-flip trials of `check minbar` and `check tick`: a sound file made by h5py, one random bit
# flipped per copy, the copies checked in batches by the real program. Prints per kind: trials,
# runs ended by a signal (must be 0), files whose worker died (contained, listed as broken),
# broken files, runs that ended with an error line, and the peak memory of the largest run.
# Usage: bench/bitflip_trials.sh BUILD_DIR [TRIALS] [BATCH]
set -euo pipefail
build=${1:?build dir}; trials=${2:-5000}; batch=${3:-250}
program=$(find "$build" -name tessera-plus -type f -perm -u+x | head -n1)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work" <<'PY'
import sys, numpy as np, h5py
w = sys.argv[1]
eq = np.dtype([('datetime','<i8'),('open','<u4'),('close','<u4'),('high','<u4'),('low','<u4'),
               ('volume','<f8'),('total_turnover','<f8')])
ix = np.dtype([('date','<u4'),('line_no','<u4')])
days = [20200102, 20200103, 20200106, 20200107, 20200108]
np.save(w + '/cal.npy', np.array(days, dtype='<i8'))
with h5py.File(w + '/minbar.h5', 'w') as f:
    d = np.zeros(240 * len(days), dtype=eq)
    d['datetime'] = [day * 1000000 + 93100 + m for day in days for m in range(240)]
    f.create_dataset('data', data=d, maxshape=(None,), chunks=(512,), compression='gzip', compression_opts=9)
    i = np.zeros(len(days), dtype=ix); i['date'] = days; i['line_no'] = [240 * k for k in range(len(days))]
    f.create_dataset('index', data=i, maxshape=(None,), chunks=(64,), compression='gzip', compression_opts=9)
with h5py.File(w + '/tick.h5', 'w') as f:
    for day in days:
        f.create_dataset(str(day), data=np.zeros(100, dtype=[('datetime','<i8'),('last','<f8')]), compression='gzip')
with h5py.File(w + '/suspended_days.h5', 'w') as f:
    pass
PY
flip_copies() {  # source dest_dir count
  /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import sys, random
src, dest, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(src, 'rb').read()
for k in range(n):
    b = bytearray(data); bit = random.randrange(len(b) * 8); b[bit // 8] ^= 1 << (bit % 8)
    open('%s/%06d.XSHE.h5' % (dest, k), 'wb').write(bytes(b))
PY
}
for kind in minbar tick; do
  signal_runs=0; worker_deaths=0; broken=0; error_runs=0; peak=0; done_trials=0
  while [ "$done_trials" -lt "$trials" ]; do
    root="$work/root"; rm -rf "$root"; mkdir -p "$root/bundle/h5/equities" "$root/bundle/ticks"
    cp "$work/cal.npy" "$root/bundle/trading_dates.npy"; cp "$work/suspended_days.h5" "$root/bundle/"
    if [ "$kind" = minbar ]; then dir="$root/bundle/h5/equities"; src="$work/minbar.h5"; else dir="$root/bundle/ticks"; src="$work/tick.h5"; fi
    flip_copies "$src" "$dir" "$batch"
    set +e
    TESSERA_LOG_FILE="$work/log" /usr/bin/time -v "$program" check "$kind" -d "$root" -j 2 \
      <<<"n" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    [ "$status" -ge 128 ] && signal_runs=$((signal_runs + 1))
    if [ "$status" -ne 0 ] && [ "$status" -lt 128 ]; then error_runs=$((error_runs + 1)); fi
    worker_deaths=$((worker_deaths + $(grep -c '工作进程异常结束' "$work/err" || true)))
    n=$(grep -o '共有[0-9]*个标的' "$work/out" | grep -o '[0-9]*' || echo 0); broken=$((broken + n))
    kb=$(grep 'Maximum resident' "$work/err" | grep -o '[0-9]*$'); [ "$kb" -gt "$peak" ] && peak=$kb
    done_trials=$((done_trials + batch))
  done
  echo "$kind: trials=$done_trials signal_runs=$signal_runs worker_deaths=$worker_deaths broken=$broken error_runs=$error_runs peak_rss_kb=$peak"
done
