"""What a date range saves a reader: one month of minute bars from a five-year file against the
whole file, through read_bars (DataFrames) and through the raw readers (structured arrays), with
the chunks of `data` each one has to inflate.

    PYTHONPATH=build/dev/python /usr/bin/python3 bench/read_bars_bench.py [repeats]

Builds a five-year bundle of one stock from the simulated market in a scratch directory first
(about half a minute), then prints the best time of `repeats` (default 20) reads of each kind.
"""
import os
import shutil
import sys
import tempfile
import time

os.environ['TALLOW_SOURCE'] = 'sim'
os.environ['TESSERA_NOW'] = '2024-07-01 18:00:00'
os.environ['TALLOW_SIM_HISTORY_START'] = '20190701'

import h5py  # noqa: E402
import numpy as np  # noqa: E402

import tessera_plus  # noqa: E402

STOCK = '000001.XSHE'
MONTH = (20240301, 20240331)


def best_of(repeats, read):
    best = float('inf')
    for _ in range(repeats):
        began = time.perf_counter()
        read()
        best = min(best, time.perf_counter() - began)
    return best


def chunks_of(path, first, last):
    """(chunks holding the bars of the trading dates first..last, chunks of the file)."""
    with h5py.File(path, 'r') as f:
        data, index = f['data'], f['index'][()]
        rows = data.chunks[0]
        starts = index['line_no'].astype(np.int64)
        chosen = np.flatnonzero((index['date'] >= first) & (index['date'] <= last))
        begin = starts[chosen[0]]
        end = starts[chosen[-1] + 1] if chosen[-1] + 1 < len(starts) else len(data)
        return (end - 1) // rows - begin // rows + 1, -(-len(data) // rows), end - begin, len(data)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    root = tempfile.mkdtemp(prefix='read_bars_bench_')
    try:
        tessera_plus.update(root, minbar=[STOCK], base=False, concurrency=1)
        path = tessera_plus.minbar_file(root, STOCK)
        month_chunks, all_chunks, month_rows, all_rows = chunks_of(path, *MONTH)
        print(f'file: {all_rows} bars in {all_chunks} chunks, {os.path.getsize(path)} bytes; '
              f'the month: {month_rows} bars in {month_chunks} chunks')
        cases = [
            ('read_bars', lambda: tessera_plus.read_bars(root, STOCK),
             lambda: tessera_plus.read_bars(root, STOCK, start=MONTH[0], end=MONTH[1])),
            ('raw', lambda: tessera_plus.read_minbar(path),
             lambda: tessera_plus.read_minbar_range(path, *MONTH)),
        ]
        for name, whole, month in cases:
            t_whole, t_month = best_of(repeats, whole), best_of(repeats, month)
            print(f'{name:10s} whole {t_whole * 1e3:8.2f} ms   month {t_month * 1e3:7.2f} ms   '
                  f'ratio {t_whole / t_month:6.1f}x')
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    main()
