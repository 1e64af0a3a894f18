"""Minute bars and ticks of a bundle as pandas DataFrames.

The files store what the writers need: minute-bar times as YYYYMMDDHHMMSS integers, tick prices
as integers scaled by 10000, tick times as HHMMSSmmm. These readers undo that: a DatetimeIndex
of each row's own time, the trading date as a column, prices in currency units, volumes as
integers. pandas is imported on first use, so that `import tessera_plus` stays light.
"""

import datetime
import numbers
import os

from . import _core

# The widest span a date number can name: every stored trading date lies within it.
_FIRST_DATE = 10000101
_LAST_DATE = 29991231


def _date_number(value, name):
    """A trading-date bound as YYYYMMDD, or None. Takes YYYYMMDD integers, 'YYYYMMDD' and ISO
    strings, datetime.date and datetime.datetime, pandas.Timestamp and numpy.datetime64; a bound
    with a time of day other than midnight is refused, because the bounds select whole trading
    dates."""
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f'{name} must be a date, not {value!r}')
    if isinstance(value, numbers.Integral):
        number = int(value)
        if not _FIRST_DATE <= number <= _LAST_DATE:
            raise ValueError(f'{name} {number} is not a YYYYMMDD date number')
        datetime.date(number // 10000, number // 100 % 100, number % 100)  # ValueError if no date
        return number
    if isinstance(value, str) and len(value) == 8 and value.isdigit():
        return _date_number(int(value), name)
    import pandas as pd
    if not isinstance(value, (str, datetime.date, pd.Timestamp)) and not hasattr(value, 'dtype'):
        raise TypeError(f'{name} must be a date, not {type(value).__name__}')
    stamp = pd.Timestamp(value)
    if stamp is pd.NaT:
        raise ValueError(f'{name} {value!r} is not a date')
    if stamp != stamp.normalize():
        raise ValueError(f'{name} {value!r} has a time of day; start and end select whole '
                         'trading dates')
    return stamp.year * 10000 + stamp.month * 100 + stamp.day


def _span(start, end):
    first = _date_number(start, 'start')
    last = _date_number(end, 'end')
    first = _FIRST_DATE if first is None else first
    last = _LAST_DATE if last is None else last
    if first > last:
        raise ValueError(f'start {first} is after end {last}')
    return first, last


def _epoch_days(date_numbers):
    """YYYYMMDD integers as days since 1970-01-01, by the proleptic Gregorian calendar: plain
    integer arithmetic, as fast on millions of rows as on one."""
    import numpy as np
    n = np.asarray(date_numbers, dtype='int64')
    year, month, day = n // 10000, n // 100 % 100, n % 100
    year = year - (month <= 2)
    era = year // 400
    year_of_era = year - era * 400
    day_of_year = (153 * (month + np.where(month > 2, -3, 9)) + 2) // 5 + day - 1
    day_of_era = year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year
    return era * 146097 + day_of_era - 719468


_NS_PER_DAY = 86400 * 10**9


def _dates(date_numbers):
    """YYYYMMDD integers as datetime64[ns] values."""
    return (_epoch_days(date_numbers) * _NS_PER_DAY).view('M8[ns]')


def _times(date_numbers, seconds, milliseconds=0):
    """Dates (YYYYMMDD) plus times of day as a DatetimeIndex named 'datetime'."""
    import numpy as np
    import pandas as pd
    ns = (_epoch_days(date_numbers) * _NS_PER_DAY + np.asarray(seconds, dtype='int64') * 10**9
          + np.asarray(milliseconds, dtype='int64') * 10**6)
    return pd.DatetimeIndex(ns.view('M8[ns]'), name='datetime')


def _seconds_of(hhmmss):
    hhmmss = hhmmss.astype('int64')
    return hhmmss // 10000 * 3600 + hhmmss // 100 % 100 * 60 + hhmmss % 100


def _whole(values):
    """Stored volumes as int64 when every one is a whole number (they always are when the
    service delivers whole shares or lots), else unchanged."""
    import numpy as np
    if values.dtype.kind == 'f' and np.all(np.isfinite(values)) and np.all(values == np.rint(values)):
        return values.astype('int64')
    return values


def _choose(frame, columns):
    if columns is None:
        return frame
    if isinstance(columns, str):
        columns = [columns]
    columns = list(columns)
    unknown = [c for c in columns if c not in frame.columns]
    if unknown:
        raise KeyError(f'no column {unknown[0]!r}; the columns are {list(frame.columns)}')
    return frame[columns]


def _ids(order_book_id):
    """(ids, one): a single id as a str, or any iterable of them."""
    if isinstance(order_book_id, str):
        return [order_book_id], True
    if isinstance(order_book_id, (bytes, bytearray)):
        raise TypeError('order_book_id must be a str or an iterable of str, not bytes')
    ids = list(order_book_id)
    for i in ids:
        if not isinstance(i, str):
            raise TypeError(f'order_book_id holds {i!r}; every id is a str')
    if len(set(ids)) != len(ids):
        raise ValueError('order_book_id names an instrument twice')
    return ids, False


def _by_instrument(ids, rows, times):
    """The (order_book_id, datetime) index of instruments' rows read one after the other."""
    import numpy as np
    import pandas as pd
    codes = np.repeat(np.arange(len(ids)), rows)
    return pd.MultiIndex.from_arrays(
        [pd.Categorical.from_codes(codes, categories=pd.Index(ids)), times],
        names=['order_book_id', 'datetime'])


def read_bars(root, order_book_id, start=None, end=None, columns=None):
    """The minute bars of `order_book_id` in the bundle under `root` as a DataFrame.

    Index: the bar's own time (DatetimeIndex 'datetime'). Columns: trading_date (the trading
    date the bar belongs to: a night-session bar belongs to the next trading date), open, high,
    low, close (floats, currency units, unadjusted; NaN where the stored price is 0), volume
    (int64), total_turnover (float) and, for futures and options, open_interest (int64).
    `start` and `end` select trading dates, both included: YYYYMMDD ints or strings, ISO
    strings, datetime.date, pandas.Timestamp or numpy.datetime64. Only the chunks of the file
    that hold those dates are read. `columns` chooses and orders the columns.

    A list (any iterable) of ids reads them all into one frame indexed by (order_book_id,
    datetime), in the order given, the files' chunks decompressed on every core; open_interest
    is then float with NaN for the instruments without it, unless every one has it.
    """
    ids, one = _ids(order_book_id)
    first, last = _span(start, end)
    root = os.fspath(root)
    paths = [_core.minbar_file(root, i) for i in ids]
    decoded = _core._bar_columns(paths, first, last, by_instrument=not one)
    names = ['trading_date', 'open', 'high', 'low', 'close']
    if 'open_interest' in decoded['float_names'] + decoded['int_names']:
        names.append('open_interest')
    names += ['volume', 'total_turnover']
    index = None
    if not one:
        import numpy as np
        import pandas as pd
        # Built from its levels and codes, which _core worked out without the lock: pandas would
        # otherwise hash every row's time to find them.
        index = pd.MultiIndex(
            levels=[pd.Index(ids), pd.DatetimeIndex(decoded['time_level'].view('M8[ns]'))],
            codes=[np.repeat(np.arange(len(ids), dtype='int32'), decoded['rows']),
                   decoded['time_codes']],
            names=['order_book_id', 'datetime'], verify_integrity=False)
    return _frame_of(decoded, names, columns, convert={'volume': _whole}, index=index)


def _blocks(columns, position, convert):
    """(values, placement) of the frame's blocks: runs of adjacent columns of one kind as views
    of _core's 2-D arrays, and each column that `convert` names on its own, converted."""
    for kind in ('floats', 'ints'):
        names, values = columns[kind[:-1] + '_names'], columns[kind]
        run = 0
        for i in range(len(names) + 1):
            if i == len(names) or names[i] in convert:
                if run < i:
                    yield values[run:i], [position[n] for n in names[run:i]]
                if i < len(names):
                    yield convert[names[i]](values[i]).reshape(1, -1), [position[names[i]]]
                run = i + 1


def _frame_of(columns, names, choose, convert=None, index=None):
    """The DataFrame of the columns that _core decoded (_core._tick_columns, _bar_columns), named
    and ordered by `names` (trading_date first), then `choose`n; `convert` maps a column name to
    a function of its values. Each kind's columns already lie in one 2-D array as pandas keeps
    them, so the frame is assembled from views of those blocks without a copy; a pandas whose
    internals differ gets the same frame through a copy."""
    import pandas as pd
    convert = convert or {}
    if index is None:
        index = pd.DatetimeIndex(columns['index'].view('M8[ns]'), name='datetime')
    trading = columns['trading_date'].view('M8[ns]')
    position = {name: i for i, name in enumerate(names)}
    try:
        from pandas.core.internals import BlockManager
        from pandas.core.internals.api import make_block
        blocks = [make_block(trading.reshape(1, -1), placement=[position['trading_date']])]
        blocks += [make_block(values, placement=placement)
                   for values, placement in _blocks(columns, position, convert)]
        frame = pd.DataFrame(BlockManager(blocks, [pd.Index(names), index]))
    except (ImportError, TypeError, ValueError, AttributeError):
        data = {'trading_date': trading}
        for kind in ('floats', 'ints'):
            for name, values in zip(columns[kind[:-1] + '_names'], columns[kind]):
                data[name] = convert[name](values) if name in convert else values
        frame = pd.DataFrame({name: data[name] for name in names}, index=index)
    return _choose(frame, choose) if choose is not None else frame


def _tick_names():
    """The columns of a tick frame: trading_date, then the stored fields but date and time."""
    return ['trading_date'] + [name for name, _, _ in _core.tick_fields()
                               if name not in ('date', 'time')]


def read_ticks(root, order_book_id, start=None, end=None, columns=None):
    """The ticks of `order_book_id` in the bundle under `root` as a DataFrame.

    Index: the tick's own time, to the millisecond (DatetimeIndex 'datetime'). Columns:
    trading_date, then the stored fields in order without date and time: prices (open, last,
    high, low, prev_close, limit_up, limit_down, a1..a5, b1..b5) as floats in currency units,
    volume and the order-book volumes (a1_v..b5_v) and open_interest as int64, total_turnover as
    float. `start`, `end` and `columns` as for read_bars; only the trading dates asked for are
    read. A stored price of 0 (no trade yet, an empty book level) is NaN. A list of ids gives
    one frame indexed by (order_book_id, datetime).
    """
    ids, one = _ids(order_book_id)
    first, last = _span(start, end)
    names = _tick_names()
    frames = [_frame_of(_core._tick_columns(_core.tick_file(os.fspath(root), i), first, last),
                        names, columns) for i in ids]
    if one:
        return frames[0]
    import pandas as pd
    frame = pd.concat(frames, copy=False)
    frame.index = _by_instrument(ids, [len(f) for f in frames], frame.index)
    return frame
