"""read_bars and read_ticks against the stored records as h5py reads them: times, trading dates,
scales and types of every field, date ranges given in every form a pandas user writes dates,
column choice, and the errors of a bad request."""
import datetime
import os
import pathlib
import shutil
import tempfile

import h5py
import numpy as np
import pandas as pd
import pytest

os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus  # noqa: E402

STOCK = '000001.XSHE'


@pytest.fixture(scope='module')
def root():
    folder = tempfile.mkdtemp(prefix='frames_')
    assert tessera_plus.update(folder, minbar=[STOCK, 'RB'], tick=[STOCK], concurrency=2)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def stored_minbar(root, order_book_id):
    with h5py.File(tessera_plus.minbar_file(root, order_book_id), 'r') as f:
        return f['data'][()], f['index'][()]


def trading_dates_of_rows(data, index):
    """Each row's trading date from `index`, worked out row by row."""
    starts = index['line_no'].astype(np.int64)
    position = np.searchsorted(starts, np.arange(len(data)), side='right') - 1
    return pd.to_datetime(index['date'][position].astype(str), format='%Y%m%d')


def future_id(root):
    name = sorted(os.listdir(os.path.join(root, 'bundle', 'h5', 'future')))[0]
    return name[:-len('.h5')]


class TestBars:
    def test_whole_file_matches_the_stored_records(self, root):
        data, index = stored_minbar(root, STOCK)
        frame = tessera_plus.read_bars(root, STOCK)
        assert len(frame) == len(data) > 1000
        expected_times = pd.to_datetime(data['datetime'].astype(str), format='%Y%m%d%H%M%S')
        assert isinstance(frame.index, pd.DatetimeIndex)
        np.testing.assert_array_equal(frame.index.to_numpy(), expected_times.to_numpy())
        np.testing.assert_array_equal(frame['trading_date'].to_numpy(),
                                      trading_dates_of_rows(data, index).to_numpy())
        assert list(frame.columns) == ['trading_date', 'open', 'high', 'low', 'close', 'volume',
                                       'total_turnover']
        for name in ('open', 'high', 'low', 'close', 'total_turnover'):
            assert frame[name].dtype == np.float64
            np.testing.assert_array_equal(frame[name].to_numpy(), data[name])
        assert frame['volume'].dtype == np.int64
        np.testing.assert_array_equal(frame['volume'].to_numpy(), data['volume'])

    def test_a_stored_price_of_0_is_nan_and_the_raw_reader_keeps_it(self, root, tmp_path):
        copy = str(tmp_path / 'root')
        shutil.copytree(root, copy)
        path = tessera_plus.minbar_file(copy, STOCK)
        with h5py.File(path, 'r+') as f:
            row = f['data'][7]
            row['open'] = 0.0
            f['data'][7] = row
        frame = tessera_plus.read_bars(copy, STOCK)
        assert np.isnan(frame['open'].iloc[7]) and frame['close'].iloc[7] == row['close'] > 0
        assert frame['open'].isna().sum() == 1
        data, _ = tessera_plus.read_minbar(path)
        assert data['open'][7] == 0.0

    def test_futures_keep_open_interest_and_night_bars_belong_to_the_next_trading_date(self, root):
        order_book_id = future_id(root)
        data, index = stored_minbar(root, order_book_id)
        frame = tessera_plus.read_bars(root, order_book_id)
        assert frame['open_interest'].dtype == np.int64
        np.testing.assert_array_equal(frame['open_interest'].to_numpy(), data['open_interest'])
        np.testing.assert_array_equal(frame['trading_date'].to_numpy(),
                                      trading_dates_of_rows(data, index).to_numpy())
        night = frame[frame.index.hour >= 21]
        if len(night):
            assert (night['trading_date'] > night.index.normalize()).all()

    def test_a_month_is_the_rows_of_its_trading_dates(self, root):
        whole = tessera_plus.read_bars(root, STOCK)
        month = tessera_plus.read_bars(root, STOCK, start='2024-06-01', end='2024-06-30')
        chosen = whole[(whole['trading_date'] >= '2024-06-01') &
                       (whole['trading_date'] <= '2024-06-30')]
        assert len(month) > 0
        pd.testing.assert_frame_equal(month, chosen)

    @pytest.mark.parametrize('start, end', [
        (20240604, 20240605),
        ('20240604', '20240605'),
        ('2024-06-04', '2024-06-05'),
        (datetime.date(2024, 6, 4), datetime.date(2024, 6, 5)),
        (datetime.datetime(2024, 6, 4), datetime.datetime(2024, 6, 5)),
        (pd.Timestamp('2024-06-04'), pd.Timestamp('2024-06-05')),
        (np.datetime64('2024-06-04'), np.datetime64('2024-06-05')),
        (np.int64(20240604), np.int32(20240605)),
    ])
    def test_every_date_form_selects_the_same_days(self, root, start, end):
        frame = tessera_plus.read_bars(pathlib.Path(root), STOCK, start=start, end=end)
        assert sorted(set(frame['trading_date'])) == [pd.Timestamp('2024-06-04'),
                                                      pd.Timestamp('2024-06-05')]

    def test_open_ended_ranges_and_ranges_without_data(self, root):
        whole = tessera_plus.read_bars(root, STOCK)
        last = whole['trading_date'].iloc[-1]
        tail = tessera_plus.read_bars(root, STOCK, start=last)
        assert (tail['trading_date'] == last).all() and len(tail) > 0
        head = tessera_plus.read_bars(root, STOCK, end=whole['trading_date'].iloc[0])
        assert (head['trading_date'] == whole['trading_date'].iloc[0]).all()
        later = tessera_plus.read_bars(root, STOCK, start='2030-01-01')
        assert len(later) == 0
        assert list(later.columns) == list(whole.columns)
        weekend = tessera_plus.read_bars(root, STOCK, start='2024-06-08', end='2024-06-09')
        assert len(weekend) == 0

    def test_columns_choose_and_order(self, root):
        frame = tessera_plus.read_bars(root, STOCK, start=20240604, end=20240604,
                                       columns=['close', 'trading_date'])
        assert list(frame.columns) == ['close', 'trading_date']
        assert list(tessera_plus.read_bars(root, STOCK, end=20240506, columns='volume').columns) \
            == ['volume']
        with pytest.raises(KeyError, match='open_interest'):
            tessera_plus.read_bars(root, STOCK, columns=['open_interest'])

    @pytest.mark.parametrize('kwargs, error', [
        ({'start': '2024-06-05', 'end': '2024-06-04'}, ValueError),
        ({'start': '2024-06-04 10:30'}, ValueError),
        ({'start': 20241301}, ValueError),
        ({'start': 2024}, ValueError),
        ({'start': 'next week'}, ValueError),
        ({'start': True}, TypeError),
        ({'start': 3.5}, TypeError),
    ])
    def test_bad_bounds_are_refused(self, root, kwargs, error):
        with pytest.raises(error):
            tessera_plus.read_bars(root, STOCK, **kwargs)

    def test_unknown_and_unsafe_ids(self, root):
        with pytest.raises(FileNotFoundError, match='600000.XSHG'):
            tessera_plus.read_bars(root, '600000.XSHG')
        with pytest.raises(ValueError, match='unsafe'):
            tessera_plus.read_bars(root, '../h5/equities/000001.XSHE')


class TestTicks:
    def test_ticks_are_unscaled_and_timed_to_the_millisecond(self, root):
        path = tessera_plus.tick_file(root, STOCK)
        with h5py.File(path, 'r') as f:
            names = sorted(name for name in f if len(f[name]))[:2]
            stored = {name: f[name][()] for name in names}
        frame = tessera_plus.read_ticks(root, STOCK, start=names[0], end=names[-1])
        records = np.concatenate([stored[name] for name in names])
        assert len(frame) == len(records) > 0
        expected = pd.to_datetime([f'{d} {t:09d}' for d, t in zip(records['date'], records['time'])],
                                  format='%Y%m%d %H%M%S%f')
        np.testing.assert_array_equal(frame.index.to_numpy(), expected.to_numpy())
        assert frame.index.name == 'datetime'
        trading = np.concatenate([np.full(len(stored[n]), pd.Timestamp(n).to_datetime64())
                                  for n in names])
        np.testing.assert_array_equal(frame['trading_date'].to_numpy(), trading)
        for name in ('open', 'last', 'high', 'low', 'prev_close', 'limit_up', 'limit_down', 'a1',
                     'b5'):
            assert frame[name].dtype == np.float64
            # A stored 0 is a price that does not exist (yet): NaN, never a price of 0.
            expected = np.where(records[name] == 0, np.nan, records[name] / 10000.0)
            np.testing.assert_allclose(frame[name].to_numpy(), expected, rtol=0, atol=1e-12)
        # The call auction before the first trade has no open or last price yet; the raw reader
        # keeps the stored zeros.
        assert frame['open'].isna().any() and frame['last'].min() > 0
        raw = tessera_plus.read_tick(path, names[0])
        assert (raw['open'] == 0).any()
        for name in ('volume', 'a1_v', 'b5_v', 'open_interest'):
            assert frame[name].dtype == np.int64
            np.testing.assert_array_equal(frame[name].to_numpy(), records[name])
        np.testing.assert_array_equal(frame['total_turnover'].to_numpy(),
                                      records['total_turnover'])
        assert 'date' not in frame.columns and 'time' not in frame.columns
        # A real price, not a scaled integer: the simulated stock trades at a few hundred yuan.
        assert 0.5 < frame['last'].median() < 1000

    def test_whole_file_and_columns(self, root):
        with h5py.File(tessera_plus.tick_file(root, STOCK), 'r') as f:
            total = sum(len(f[name]) for name in f)
        frame = tessera_plus.read_ticks(pathlib.Path(root), STOCK, columns=['last', 'volume'])
        assert list(frame.columns) == ['last', 'volume'] and len(frame) == total
        assert frame.index.is_monotonic_increasing

    def test_frames_assembled_from_blocks_equal_the_plain_construction(self, root, monkeypatch):
        fast = tessera_plus.read_ticks(root, STOCK)
        import pandas.core.internals.api as internals

        def unavailable(*args, **kwargs):
            raise TypeError('internals of another pandas')

        monkeypatch.setattr(internals, 'make_block', unavailable)
        plain = tessera_plus.read_ticks(root, STOCK)
        pd.testing.assert_frame_equal(fast, plain)
        # A frame the user may change like any other.
        fast.loc[fast.index[0], 'last'] = 1.0
        fast['spread'] = fast['a1'] - fast['b1']
        assert fast['last'].iloc[0] == 1.0 and plain['last'].iloc[0] != 1.0

    def test_missing_tick_file(self, root):
        with pytest.raises(FileNotFoundError):
            tessera_plus.read_ticks(root, '600000.XSHG')


def test_raw_readers_take_path_objects(root):
    data, index = tessera_plus.read_minbar(pathlib.Path(tessera_plus.minbar_file(root, STOCK)))
    first = index['date'][0]
    same, days = tessera_plus.read_minbar_range(tessera_plus.minbar_file(root, STOCK), first, first)
    assert list(days['date']) == [first]
    assert same.tobytes() == data[:index['line_no'][1]].tobytes()
