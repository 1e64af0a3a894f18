"""read_ticks against the raw h5py read of the same days, side by side, and how much a ticking
thread keeps running while each reads.

    PYTHONPATH=build/dev/python /usr/bin/python3 bench/read_ticks_bench.py [repeats]

Builds one stock's tick file from the simulated market in a scratch directory first, then prints
the best time of `repeats` (default 10) reads of each kind: read_ticks (the DataFrame), the raw
read_tick_range (structured arrays) and h5py reading each day's dataset whole (what a user
without this package writes; no frame). A second thread sleeps 5 ms at a time meanwhile; its
beats against the beats it would have had say how long the reads held the interpreter lock.
"""
import os
import shutil
import sys
import tempfile
import threading
import time

os.environ['TALLOW_SOURCE'] = 'sim'
os.environ['TESSERA_NOW'] = '2024-07-01 18:00:00'

import h5py  # noqa: E402
import numpy as np  # noqa: E402

import tessera_plus  # noqa: E402

STOCK = '000001.XSHE'
BEAT = 0.005


class Ticker:
    """Counts BEAT-long sleeps, as a notebook's other thread would run."""

    def __init__(self):
        self.beats = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop.is_set():
            time.sleep(BEAT)
            self.beats += 1

    def __enter__(self):
        self.began = time.perf_counter()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.elapsed = time.perf_counter() - self.began
        self.stop.set()
        self.thread.join()

    def kept(self):
        return self.beats / (self.elapsed / BEAT)


def best_of(repeats, read):
    best = float('inf')
    for _ in range(repeats):
        began = time.perf_counter()
        read()
        best = min(best, time.perf_counter() - began)
    return best


def h5py_days(path, first, last):
    with h5py.File(path, 'r') as f:
        return [f[name][()] for name in sorted(f) if first <= int(name) <= last]


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    root = tempfile.mkdtemp(prefix='read_ticks_bench_')
    try:
        tessera_plus.update(root, tick=[STOCK], base=False, jobs=1, progress=False)
        path = str(tessera_plus.tick_file(root, STOCK))
        with h5py.File(path, 'r') as f:
            names = sorted(f)
        first, last = int(names[0]), int(names[-1])
        ticks = sum(len(d) for d in h5py_days(path, first, last))
        print(f'file: {len(names)} trading dates, {ticks} ticks, {os.path.getsize(path)} bytes')
        cases = [
            ('h5py, each day whole', lambda: h5py_days(path, first, last)),
            ('read_tick_range (raw)', lambda: tessera_plus.read_tick_range(path, first, last)),
            ('read_ticks (DataFrame)', lambda: tessera_plus.read_ticks(root, STOCK)),
        ]
        reference = None
        for name, read in cases:
            seconds = best_of(repeats, read)
            reference = reference or seconds
            with Ticker() as ticker:
                for _ in range(repeats):
                    read()
            print(f'{name:24s} {seconds * 1e3:8.2f} ms  {seconds / reference:5.2f}x h5py   '
                  f'ticker kept {ticker.kept() * 100:5.1f} % of its beats')
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    np.seterr(all='ignore')
    main()
