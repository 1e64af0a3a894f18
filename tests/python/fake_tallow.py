"""A stand-in for the market-data service's client library: the client contract implemented with
pandas, serving the simulated market's data (tessera_plus.sim) in the shapes the real library
answers with: DataFrames keyed by (order_book_id, datetime), instrument objects with attributes,
None for no data, and its own PermissionDenied class in share.errors.

FAKE_TALLOW_FAULT makes every minute-bar or tick answer hostile, so that tests can show what the
program does with it: denied, timeout, none, empty, missing_column, extra_column, wrong_dtype,
int_columns, no_multiindex, tz_aware."""
import datetime
import os
import types

import numpy as np
import pandas as pd

import tessera_plus


class PermissionDenied(Exception):
    """The account may not use the requested data (as tallow.share.errors has it)."""


share = types.SimpleNamespace(errors=types.SimpleNamespace(PermissionDenied=PermissionDenied))

_market = tessera_plus.sim.SimMarket()
_FAULT = os.environ.get('FAKE_TALLOW_FAULT', '')


class Instrument:
    """An instrument record: fields as attributes, like the real library's."""

    def __init__(self, fields):
        for key, value in fields.items():
            setattr(self, key, value)


def _records(answer):
    if answer is None:
        return None
    if isinstance(answer, list):
        return [Instrument(r) for r in answer]
    return Instrument(answer)


class _Client:
    def bjse_enabled(self):
        return _market.bjse_enabled()


client = _Client()


def init(enable_bjse=False):
    _market.init(enable_bjse)


def all_instruments(type=None, market=None, date=None):
    rows = _market.all_instruments(type=type, market=market, date=date)
    return pd.DataFrame(rows, columns=['order_book_id', 'symbol', 'type', 'exchange', 'listed_date',
                                       'de_listed_date', 'underlying_order_book_id',
                                       'underlying_symbol', 'stock_code'])


def instruments(order_book_id, market=None):
    return _records(_market.instruments(order_book_id, market=market))


convertible = types.SimpleNamespace(
    instruments=lambda ids: _records(_market.convertible_instruments(list(ids))))


def _frame(order_book_id, answer):
    times = pd.DatetimeIndex(answer['datetime'].view('datetime64[ns]'))
    ids = answer['order_book_id']
    if len(ids) != len(times):
        ids = [order_book_id] * len(times)
    index = pd.MultiIndex.from_arrays([ids, times],
                                      names=['order_book_id', 'datetime'])
    frame = pd.DataFrame(answer['columns'], index=index)
    if 'trading_date' in answer:
        frame['trading_date'] = answer['trading_date'].view('datetime64[ns]')
    return frame


def _hostile(frame):
    if _FAULT == 'denied':
        raise PermissionDenied('this account may not read minute bars or ticks')
    if _FAULT == 'timeout':
        raise TimeoutError('the service did not answer within 30 s')
    if _FAULT == 'none':
        return None
    if _FAULT == 'empty':
        return frame.iloc[0:0] if frame is not None else pd.DataFrame()
    if frame is None:
        return None
    if _FAULT == 'missing_column':
        return frame.drop(columns=['close'])
    if _FAULT == 'extra_column':
        frame = frame.copy()
        frame['vwap'] = frame['open'] * 1.001
        frame['num_trades'] = np.arange(len(frame), dtype=np.int64)
        return frame
    if _FAULT == 'wrong_dtype':
        return frame.assign(close=frame['close'].map(lambda v: f'{v:.2f}'))
    if _FAULT == 'int_columns':
        return frame.assign(volume=frame['volume'].astype(np.int64))
    if _FAULT == 'no_multiindex':
        return frame.reset_index(level=0, drop=True)
    if _FAULT == 'tz_aware':
        return frame.tz_localize('Asia/Shanghai', level=1)
    return frame


def get_price(order_book_ids, start_date=None, end_date=None, frequency='1d', fields=None,
              adjust_type='pre', skip_suspended=False, expect_df=True, time_slice=None,
              market='cn'):
    try:
        answer = _market.get_price(order_book_ids, start_date, end_date,
                                   None if frequency == '1d' else frequency, adjust_type,
                                   expect_df, market)
    except tessera_plus.PermissionDenied as e:
        raise PermissionDenied(str(e)) from None
    frame = None if answer is None else _frame(order_book_ids, answer)
    if frequency in ('1m', 'tick') and _FAULT:
        return _hostile(frame)
    return frame


def get_next_trading_date(date, n=1, market='cn'):
    return _market.get_next_trading_date(date, market)


def get_trading_dates(start_date, end_date, market='cn'):
    return _market.get_trading_dates(start_date, end_date, market)


def is_suspended(order_book_ids, start_date=None, end_date=None, market='cn'):
    dates, columns = _market.is_suspended(order_book_ids, start_date, end_date)
    return pd.DataFrame(columns, index=pd.DatetimeIndex(dates), dtype=bool)
