"""Keeps a tessera data bundle up to date and sound; pandas readers of its bars and ticks."""

import datetime
import os
from typing import Iterable, Optional, Union

import numpy as np
import pandas as pd

from ._core import *  # noqa: F401,F403

__version__: str

_Date = Union[int, str, datetime.date, pd.Timestamp, np.datetime64]

def read_bars(
    root: Union[str, os.PathLike[str]],
    order_book_id: str,
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> pd.DataFrame:
    """Minute bars as a DataFrame: DatetimeIndex of each bar's time, trading_date, prices as
    floats, volume as int64. start/end select trading dates, both included."""

def read_ticks(
    root: Union[str, os.PathLike[str]],
    order_book_id: str,
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> pd.DataFrame:
    """Ticks as a DataFrame: DatetimeIndex to the millisecond, trading_date, prices in currency
    units (the stored x10000 undone), volumes as int64."""
