"""Keeps a tessera data bundle up to date and sound; pandas readers of its bars and ticks."""

import datetime
import os
from typing import Any, Dict, Iterable, Iterator, Literal, Optional, Union, overload

import numpy as np
import pandas as pd

# Re-exported as they are; the commands are declared below, over the compiled ones.
from ._core import BundleStatus as BundleStatus
from ._core import CheckReport as CheckReport
from ._core import PermissionDenied as PermissionDenied
from ._core import Progress as Progress
from ._core import ServiceUnavailable as ServiceUnavailable
from ._core import UpdateReport as UpdateReport
from ._core import minbar_file as minbar_file
from ._core import read_minbar as read_minbar
from ._core import read_minbar_range as read_minbar_range
from ._core import read_tick as read_tick
from ._core import read_tick_range as read_tick_range
from ._core import sim as sim
from ._core import tick_fields as tick_fields
from ._core import tick_file as tick_file

__version__: str

_PathArg = Union[str, os.PathLike[str]]
# One id or tag, or any iterable of them.
_Tags = Union[str, Iterable[str]]

@overload
def update(
    data_bundle_path: _PathArg,
    *,
    minbar: _Tags = ...,
    tick: _Tags = ...,
    base: bool = ...,
    jobs: Optional[int] = ...,
    concurrency: Optional[int] = ...,
    with_derivatives: bool = ...,
    rebuild: bool = ...,
    enable_bjse: bool = ...,
    wait: float = ...,
    lock_wait: float = ...,
    recheck_days: int = ...,
    retry_attempts: Optional[int] = ...,
    retry_max_wait: Optional[float] = ...,
    rate_limit: Optional[float] = ...,
    requests: Optional[int] = ...,
    report: Optional[_PathArg] = ...,
    progress: Progress = ...,
    dry_run: Literal[False] = ...,
    **options: Any,
) -> UpdateReport:
    """Base data, then the minute bars and ticks of the tagged instruments; an UpdateReport,
    truthy when every step succeeded."""
@overload
def update(
    data_bundle_path: _PathArg,
    *,
    minbar: _Tags = ...,
    tick: _Tags = ...,
    base: bool = ...,
    jobs: Optional[int] = ...,
    concurrency: Optional[int] = ...,
    with_derivatives: bool = ...,
    rebuild: bool = ...,
    enable_bjse: bool = ...,
    wait: float = ...,
    lock_wait: float = ...,
    recheck_days: int = ...,
    retry_attempts: Optional[int] = ...,
    retry_max_wait: Optional[float] = ...,
    rate_limit: Optional[float] = ...,
    requests: Optional[int] = ...,
    report: Optional[_PathArg] = ...,
    progress: Progress = ...,
    dry_run: Literal[True],
    **options: Any,
) -> Dict[str, Any]:
    """dry_run=True: the plan, as `update --dry-run --report` writes it; nothing is written."""
@overload
def smart_update(
    data_bundle_path: _PathArg,
    *,
    jobs: Optional[int] = ...,
    concurrency: Optional[int] = ...,
    wait: float = ...,
    lock_wait: float = ...,
    recheck_days: int = ...,
    retry_attempts: Optional[int] = ...,
    retry_max_wait: Optional[float] = ...,
    rate_limit: Optional[float] = ...,
    requests: Optional[int] = ...,
    report: Optional[_PathArg] = ...,
    progress: Progress = ...,
    dry_run: Literal[False] = ...,
    **options: Any,
) -> UpdateReport:
    """Extends every file the bundle holds; keywords and answer as update's."""
@overload
def smart_update(
    data_bundle_path: _PathArg,
    *,
    jobs: Optional[int] = ...,
    concurrency: Optional[int] = ...,
    wait: float = ...,
    lock_wait: float = ...,
    recheck_days: int = ...,
    retry_attempts: Optional[int] = ...,
    retry_max_wait: Optional[float] = ...,
    rate_limit: Optional[float] = ...,
    requests: Optional[int] = ...,
    report: Optional[_PathArg] = ...,
    progress: Progress = ...,
    dry_run: Literal[True],
    **options: Any,
) -> Dict[str, Any]:
    """dry_run=True: the plan, as `smart-update --dry-run --report` writes it."""
def check_minbar(
    data_bundle_path: _PathArg, *, jobs: Optional[int] = ..., progress: Progress = ...
) -> CheckReport:
    """Broken and locked minute-bar files with reasons; FileNotFoundError without bundle/."""
def check_tick(
    data_bundle_path: _PathArg,
    *,
    jobs: Optional[int] = ...,
    progress: Progress = ...,
    full: bool = ...,
) -> CheckReport:
    """Broken and locked tick files with reasons; FileNotFoundError without bundle/."""
def status(data_bundle_path: _PathArg) -> BundleStatus:
    """What the bundle holds; FileNotFoundError without bundle/."""
def download_sample(
    data_bundle_path: _PathArg,
    *,
    file: Optional[_PathArg] = ...,
    wait: float = ...,
    progress: Progress = ...,
) -> None:
    """Unpacks the sample bundle, downloaded or from a local archive."""

_Date = Union[int, str, datetime.date, pd.Timestamp, np.datetime64]

def read_bars(
    root: Union[str, os.PathLike[str]],
    order_book_id: Union[str, Iterable[str]],
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> pd.DataFrame:
    """Minute bars as a DataFrame: DatetimeIndex of each bar's time, trading_date, prices as
    floats (NaN where none), volume as int64. start/end select trading dates, both included. A
    list of ids: one frame indexed by (order_book_id, datetime)."""

def read_ticks(
    root: Union[str, os.PathLike[str]],
    order_book_id: Union[str, Iterable[str]],
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> pd.DataFrame:
    """Ticks as a DataFrame: DatetimeIndex to the millisecond, trading_date, prices in currency
    units (the stored x10000 undone; NaN where none), volumes as int64. A list of ids: one frame
    indexed by (order_book_id, datetime)."""

def instruments(root: _PathArg) -> pd.DataFrame:
    """The instrument list indexed by order_book_id, with minbar, tick and daily: the files held."""

def trading_dates(
    root: _PathArg, start: Optional[_Date] = ..., end: Optional[_Date] = ...
) -> pd.DatetimeIndex:
    """The trading calendar as a DatetimeIndex named 'trading_date'."""

def suspended_days(root: _PathArg, ids: Optional[_Tags] = ...) -> pd.DataFrame:
    """One row per suspended day: order_book_id, date."""

def read_daily(
    root: _PathArg,
    ids: _Tags,
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> pd.DataFrame:
    """Daily bars indexed by date, or by (order_book_id, date) for a list of ids."""

def iter_ticks(
    root: _PathArg,
    order_book_id: str,
    start: Optional[_Date] = ...,
    end: Optional[_Date] = ...,
    days: int = ...,
    columns: Optional[Union[str, Iterable[str]]] = ...,
) -> Iterator[pd.DataFrame]:
    """The ticks as read_ticks gives them, one frame per `days` trading dates."""
