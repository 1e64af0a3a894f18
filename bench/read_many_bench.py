"""One year of minute bars of many stocks into one frame: read_bars with the list of ids against
the loop a user writes with h5py and pandas, side by side, and how much a ticking thread keeps
running meanwhile.

    PYTHONPATH=build/dev/python /usr/bin/python3 bench/read_many_bench.py [stocks] [repeats]

Builds a year of minute bars (2023-07-03 to 2024-07-01) of the simulated market's 14 stocks in a
scratch directory, copies them to `stocks` files (default 300) under made-up ids, then prints the
best of `repeats` (default 3) reads of the year 2023-07-01..2024-06-30 of every file both ways.
The h5py loop is the careful one: it reads only the year's rows (found through `index`) and turns
the datetime numbers into datetimes with integer arithmetic, not through strings.
"""
import os
import shutil
import sys
import tempfile
import threading
import time

os.environ['TALLOW_SOURCE'] = 'sim'
os.environ['TESSERA_NOW'] = '2024-07-01 18:00:00'
os.environ['TALLOW_SIM_HISTORY_START'] = '20230701'

import h5py  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import tessera_plus  # noqa: E402

YEAR = (20230701, 20240630)
STOCKS = ['000001.XSHE', '000002.XSHE', '600000.XSHG', '600519.XSHG', '601318.XSHG',
          '000858.XSHE', '300750.XSHE', '688981.XSHG', '601313.XSHG', '000003.XSHE',
          '000013.XSHE', '600001.XSHG', '301999.XSHE', '000005.XSHE']
BEAT = 0.005


def h5py_loop(root, ids):
    """What a researcher writes without this package."""
    frames = []
    for order_book_id in ids:
        with h5py.File(f'{root}/bundle/h5/equities/{order_book_id}.h5', 'r') as f:
            index = f['index'][()]
            chosen = np.flatnonzero((index['date'] >= YEAR[0]) & (index['date'] <= YEAR[1]))
            begin = index['line_no'][chosen[0]]
            end = index['line_no'][chosen[-1] + 1] if chosen[-1] + 1 < len(index) else None
            data = f['data'][begin:end]
        frame = pd.DataFrame(data)
        stamp = frame.pop('datetime').to_numpy()
        day, clock = stamp // 1000000, stamp % 1000000
        year, month = day // 10000, day // 100 % 100
        days = ((year - 1970).astype('M8[Y]').astype('M8[M]') + (month - 1).astype('m8[M]')
                ).astype('M8[D]') + (day % 100 - 1).astype('m8[D]')
        seconds = clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
        frame.index = pd.DatetimeIndex(days + seconds.astype('m8[s]'), name='datetime')
        frames.append(frame)
    return pd.concat(frames, keys=ids, names=['order_book_id', 'datetime'])


class Ticker:
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


def timed(repeats, read):
    best = float('inf')
    with Ticker() as ticker:
        for _ in range(repeats):
            began = time.perf_counter()
            frame = read()
            best = min(best, time.perf_counter() - began)
            del frame
    return best, ticker.kept()


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    root = tempfile.mkdtemp(prefix='read_many_bench_')
    try:
        tessera_plus.update(root, minbar=STOCKS, jobs=2, progress=False)
        equities = os.path.join(root, 'bundle', 'h5', 'equities')
        sources = sorted(os.listdir(equities))
        ids = []
        for n in range(count):
            order_book_id = f'{900000 + n:06d}.XSHE'
            shutil.copyfile(os.path.join(equities, sources[n % len(sources)]),
                            os.path.join(equities, f'{order_book_id}.h5'))
            ids.append(order_book_id)
        ours = tessera_plus.read_bars(root, ids, start=YEAR[0], end=YEAR[1])
        theirs = h5py_loop(root, ids)
        assert len(ours) == len(theirs)
        np.testing.assert_array_equal(ours['close'].to_numpy(), theirs['close'].to_numpy())
        print(f'{count} stocks, {len(ours)} bars of {YEAR[0]}..{YEAR[1]}')
        del ours, theirs
        t_h5py, kept_h5py = timed(repeats, lambda: h5py_loop(root, ids))
        t_ours, kept_ours = timed(
            repeats, lambda: tessera_plus.read_bars(root, ids, start=YEAR[0], end=YEAR[1]))
        print(f'h5py + pandas loop     {t_h5py:7.2f} s   ticker kept {kept_h5py * 100:5.1f} %')
        print(f'read_bars(ids)         {t_ours:7.2f} s   ticker kept {kept_ours * 100:5.1f} %   '
              f'{t_h5py / t_ours:4.1f}x faster')
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    main()
