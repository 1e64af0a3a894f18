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


def read_bars(root, order_book_id, start=None, end=None, columns=None):
    """The minute bars of `order_book_id` in the bundle under `root` as a DataFrame.

    Index: the bar's own time (DatetimeIndex 'datetime'). Columns: trading_date (the trading
    date the bar belongs to: a night-session bar belongs to the next trading date), open, high,
    low, close (floats, currency units, unadjusted), volume (int64), total_turnover (float) and,
    for futures and options, open_interest (int64). `start` and `end` select trading dates, both
    included: YYYYMMDD ints or strings, ISO strings, datetime.date, pandas.Timestamp or
    numpy.datetime64. Only the chunks of the file that hold those dates are read. `columns`
    chooses and orders the columns.
    """
    import numpy as np
    import pandas as pd
    first, last = _span(start, end)
    path = _core.minbar_file(os.fspath(root), order_book_id)
    data, days = _core.read_minbar_range(path, first, last)
    # Each day's bars run from its line_no to the next day's; the last day's to the end of data.
    starts = days['line_no'].astype('int64')
    counts = np.diff(starts, append=starts[0] + len(data)) if len(days) else starts
    stamp = data['datetime'].astype('int64')
    index = _times(stamp // 1000000, _seconds_of(stamp % 1000000))
    columns_ = {'trading_date': np.repeat(_dates(days['date']), counts)}
    for name in data.dtype.names[1:]:
        columns_[name] = _whole(data[name]) if name == 'volume' else data[name]
    frame = pd.DataFrame(columns_, index=index)
    return _choose(frame, columns)


def _frame_of(columns, names, choose):
    """The DataFrame of the columns that _core decoded (_core._tick_columns), named and ordered by
    `names` (trading_date first), then `choose`n. Each kind's columns already lie in one 2-D array
    as pandas keeps them, so the frame is assembled from those blocks without a copy; a pandas
    whose internals differ gets the same frame through a copy."""
    import numpy as np
    import pandas as pd
    index = pd.DatetimeIndex(columns['index'].view('M8[ns]'), name='datetime')
    trading = columns['trading_date'].view('M8[ns]')
    position = {name: i for i, name in enumerate(names)}
    try:
        from pandas.core.internals import BlockManager
        from pandas.core.internals.api import make_block
        blocks = [make_block(trading.reshape(1, -1), placement=[position['trading_date']])]
        for kind in ('floats', 'ints'):
            if len(columns[kind[:-1] + '_names']):
                placement = [position[n] for n in columns[kind[:-1] + '_names']]
                blocks.append(make_block(columns[kind], placement=placement))
        frame = pd.DataFrame(BlockManager(blocks, [pd.Index(names), index]))
    except (ImportError, TypeError, ValueError, AttributeError):
        data = {'trading_date': trading}
        for kind in ('floats', 'ints'):
            data.update(zip(columns[kind[:-1] + '_names'], columns[kind]))
        frame = pd.DataFrame({name: data[name] for name in names}, index=index)
    return _choose(frame, choose) if choose is not None else frame


def read_ticks(root, order_book_id, start=None, end=None, columns=None):
    """The ticks of `order_book_id` in the bundle under `root` as a DataFrame.

    Index: the tick's own time, to the millisecond (DatetimeIndex 'datetime'). Columns:
    trading_date, then the stored fields in order without date and time: prices (open, last,
    high, low, prev_close, limit_up, limit_down, a1..a5, b1..b5) as floats in currency units,
    volume and the order-book volumes (a1_v..b5_v) and open_interest as int64, total_turnover as
    float. `start`, `end` and `columns` as for read_bars; only the trading dates asked for are
    read.
    """
    first, last = _span(start, end)
    path = _core.tick_file(os.fspath(root), order_book_id)
    names = ['trading_date'] + [name for name, _, _ in _core.tick_fields()
                                if name not in ('date', 'time')]
    return _frame_of(_core._tick_columns(path, first, last), names, columns)
