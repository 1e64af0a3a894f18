"""The whole bundle from Python, checked against what h5py, numpy and pickle read from the same
files: the instrument list with the files held for each, the calendar, suspensions, daily bars,
many instruments read into one frame (against reading them one by one) and a tick file walked a
few days at a time."""
import math
import os
import pickle
import shutil
import tempfile

import h5py
import numpy as np
import pandas as pd
import pytest

os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus  # noqa: E402

STOCKS = ['000001.XSHE', '600519.XSHG', '000002.XSHE']


@pytest.fixture(scope='module')
def root():
    folder = tempfile.mkdtemp(prefix='bundle_readers_')
    assert tessera_plus.update(folder, minbar=STOCKS + ['RB'], tick=STOCKS[:2], jobs=2,
                               progress=False)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def bundle_file(root, *parts):
    return os.path.join(root, 'bundle', *parts)


def test_instruments_are_the_list_with_the_files_held(root):
    with open(bundle_file(root, 'instruments.pk'), 'rb') as f:
        stored = pickle.load(f)
    frame = tessera_plus.instruments(root)
    assert list(frame.index) == [i['order_book_id'] for i in stored]
    row = frame.loc['000001.XSHE']
    first = next(i for i in stored if i['order_book_id'] == '000001.XSHE')
    assert (row['symbol'], row['type']) == (first['symbol'], first['type'])
    assert row['listed_date'] == pd.Timestamp(first['listed_date'])
    assert pd.isna(row['de_listed_date']) and frame['listed_date'].dtype == 'datetime64[ns]'
    tick_files = {name[:-3] for name in os.listdir(bundle_file(root, 'ticks'))}
    assert set(frame.index[frame['tick']]) == tick_files == set(STOCKS[:2])
    minbar_files = {name[:-3] for d in os.listdir(bundle_file(root, 'h5'))
                    for name in os.listdir(bundle_file(root, 'h5', d))}
    assert set(frame.index[frame['minbar']]) == minbar_files
    with h5py.File(bundle_file(root, 'stocks.h5'), 'r') as f:
        stocks = set(f)
    assert set(frame.index[frame['daily'] & (frame['type'] == 'CS')]) == stocks


def test_calendar_and_suspensions_are_the_stored_dates(root):
    stored = np.load(bundle_file(root, 'trading_dates.npy'))
    dates = tessera_plus.trading_dates(root)
    assert list(dates.strftime('%Y%m%d').astype(int)) == list(stored)
    june = tessera_plus.trading_dates(root, start='2024-06-01', end=20240630)
    assert len(june) == ((stored >= 20240601) & (stored <= 20240630)).sum() > 0
    with h5py.File(bundle_file(root, 'suspended_days.h5'), 'r') as f:
        stored = {name: list(f[name][()]) for name in f}
    assert stored, 'the simulated market suspends some stocks'
    every = tessera_plus.suspended_days(root)
    got = {i: list(g['date'].dt.strftime('%Y%m%d').astype(int))
           for i, g in every.groupby('order_book_id')}
    assert got == stored
    some = next(iter(stored))
    assert set(tessera_plus.suspended_days(root, some)['order_book_id']) == {some}
    assert tessera_plus.suspended_days(root, ['no-such-id']).empty


def test_daily_bars_are_the_stored_records(root):
    with h5py.File(bundle_file(root, 'stocks.h5'), 'r') as f:
        stored = f['600519.XSHG'][()]
    frame = tessera_plus.read_daily(root, '600519.XSHG')
    assert list(frame.index.strftime('%Y%m%d').astype(int)) == list(stored['datetime'] // 1000000)
    for name in ('open', 'close', 'total_turnover'):
        np.testing.assert_array_equal(frame[name].to_numpy(), stored[name])
    assert frame['volume'].dtype == np.int64
    both = tessera_plus.read_daily(root, STOCKS[:2], start=20240601, columns=['close'])
    assert list(both.index.names) == ['order_book_id', 'date']
    pd.testing.assert_frame_equal(both.loc['600519.XSHG'],
                                  frame.loc['2024-06-01':, ['close']], check_freq=False)
    with pytest.raises(KeyError):
        tessera_plus.read_daily(root, 'NOPE.XSHE')


def test_a_list_of_ids_reads_what_reading_each_gives(root):
    future = sorted(os.listdir(bundle_file(root, 'h5', 'future')))[-1][:-3]  # trades in June
    ids = [STOCKS[2], future, STOCKS[0]]
    together = tessera_plus.read_bars(root, iter(ids), start=20240603, end='2024-06-14')
    assert list(together.index.names) == ['order_book_id', 'datetime']
    for i in ids:
        alone = tessera_plus.read_bars(root, i, start=20240603, end='2024-06-14')
        part = together.loc[i][alone.columns]
        # Stocks and futures together: open_interest is float, NaN for the stocks.
        pd.testing.assert_frame_equal(part, alone, check_dtype=False)
    assert together.loc[STOCKS[0], 'open_interest'].isna().all()
    assert list(together.index.get_level_values(0).unique()) == ids
    ticks = tessera_plus.read_ticks(root, STOCKS[:2], start=20240620, columns=['last', 'volume'])
    for i in STOCKS[:2]:
        pd.testing.assert_frame_equal(ticks.loc[i], tessera_plus.read_ticks(
            root, i, start=20240620, columns=['last', 'volume']))
    with pytest.raises(ValueError):
        tessera_plus.read_bars(root, [STOCKS[0], STOCKS[0]])
    with pytest.raises(FileNotFoundError):
        tessera_plus.read_bars(root, [STOCKS[0], 'NOPE.XSHE'])


def test_iter_ticks_walks_the_file_in_pieces_of_trading_days(root):
    whole = tessera_plus.read_ticks(root, STOCKS[0], start=20240603)
    pieces = list(tessera_plus.iter_ticks(root, STOCKS[0], start=20240603, days=4))
    days = whole['trading_date'].nunique()
    assert len(pieces) == math.ceil(days / 4)
    assert all(p['trading_date'].nunique() == 4 for p in pieces[:-1])
    pd.testing.assert_frame_equal(pd.concat(pieces), whole)
    with pytest.raises(FileNotFoundError):
        tessera_plus.iter_ticks(root, STOCKS[2])
    with pytest.raises(ValueError):
        tessera_plus.iter_ticks(root, STOCKS[0], days=0)
