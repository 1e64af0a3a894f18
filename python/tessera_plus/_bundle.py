"""The rest of the bundle as pandas objects: which instruments it lists and which files it holds
for each, the trading calendar, the suspensions, daily bars, and a tick file walked a few trading
days at a time. Bounds, ids and columns are taken as read_bars and read_ticks take them.
"""

import os

from . import _core
from ._readers import _choose, _dates, _frame_of, _ids, _span, _tick_names, _whole


def _root(root):
    return os.fspath(root)


def instruments(root):
    """The bundle's instrument list (instruments.pk) as a DataFrame indexed by order_book_id.

    Columns: symbol, type, exchange, listed_date and de_listed_date (dates; NaT for
    0000-00-00: unknown, or still listed), underlying_order_book_id, underlying_symbol,
    stock_code, and minbar, tick, daily: whether the bundle holds the instrument's minute bars,
    ticks and daily bars.
    """
    import pandas as pd
    frame = pd.DataFrame(_core._instrument_table(_root(root)))
    for name in ('listed_date', 'de_listed_date'):
        frame[name] = pd.to_datetime(frame[name], format='%Y-%m-%d', errors='coerce')
    return frame.set_index('order_book_id')


def trading_dates(root, start=None, end=None):
    """The trading calendar (trading_dates.npy) as a DatetimeIndex named 'trading_date',
    between `start` and `end` (both included) when given."""
    import pandas as pd
    first, last = _span(start, end)
    dates = _core._trading_dates(_root(root))
    dates = dates[(dates >= first) & (dates <= last)]
    return pd.DatetimeIndex(_dates(dates), name='trading_date')


def suspended_days(root, ids=None):
    """The suspended days (suspended_days.h5) of `ids` (one id, any iterable of them, or None for
    every stock recorded) as a DataFrame of order_book_id and date, one row per suspended day,
    by id and date. A stock never suspended has no row."""
    import numpy as np
    import pandas as pd
    wanted = None if ids is None else _ids(ids)[0]
    found = _core._suspended_days(_root(root), wanted)
    order = wanted if wanted is not None else sorted(found)
    order = [i for i in order if i in found]
    days = [found[i] for i in order]
    return pd.DataFrame({
        'order_book_id': np.repeat(np.array(order, dtype=object), [len(d) for d in days]),
        'date': _dates(np.concatenate(days) if days else np.zeros(0, dtype='int64')),
    })


_DAILY_FIELDS = ('open', 'high', 'low', 'close', 'volume', 'total_turnover')


def read_daily(root, ids, start=None, end=None, columns=None):
    """Daily bars (stocks.h5, funds.h5, ...) of `ids` as a DataFrame.

    One id: indexed by the trading date ('date'); a list (any iterable): one frame indexed by
    (order_book_id, date) in the order given. Columns: open, high, low, close (floats,
    unadjusted; NaN where the stored price is 0), volume (int64 when whole), total_turnover.
    `start`, `end` and `columns` as for read_bars. KeyError for an id no daily-bar file holds.
    """
    import numpy as np
    import pandas as pd
    wanted, one = _ids(ids)
    first, last = _span(start, end)
    frames = []
    for order_book_id, rows in zip(wanted, _core._daily_records(_root(root), wanted)):
        if rows is None:
            raise KeyError(f'no daily bars of {order_book_id!r} in {os.fspath(root)}/bundle')
        dates = rows[:, 0].astype('int64') // 1000000
        rows = rows[(dates >= first) & (dates <= last)]
        dates = dates[(dates >= first) & (dates <= last)]
        data = {}
        for i, name in enumerate(_DAILY_FIELDS, start=1):
            values = np.ascontiguousarray(rows[:, i])
            if name in ('open', 'high', 'low', 'close'):
                values[values == 0] = np.nan
            data[name] = _whole(values) if name == 'volume' else values
        frames.append(pd.DataFrame(data, index=pd.DatetimeIndex(_dates(dates), name='date')))
    if one:
        return _choose(frames[0], columns)
    frame = pd.concat(frames, keys=wanted, names=['order_book_id', 'date'])
    return _choose(frame, columns)


def iter_ticks(root, order_book_id, start=None, end=None, days=1, columns=None):
    """The ticks of one instrument as read_ticks gives them, one frame per `days` trading dates
    that the file holds, in date order: a big file walked in pieces, each read only when asked
    for (as HDFStore.select(chunksize=) does). FileNotFoundError at once when there is no file."""
    if isinstance(days, bool) or not isinstance(days, int) or days < 1:
        raise ValueError(f'days must be a whole number of trading dates, at least 1, not {days!r}')
    first, last = _span(start, end)
    path = _core.tick_file(_root(root), order_book_id)
    if not path.is_file():
        raise FileNotFoundError(f'no tick file of {order_book_id!r}: {path} does not exist')
    dates = [d for d in _core._tick_dates(path) if first <= d <= last]
    names = _tick_names()

    def pieces():
        for at in range(0, len(dates), days):
            window = dates[at:at + days]
            yield _frame_of(_core._tick_columns(path, window[0], window[-1]), names, columns)

    return pieces()
