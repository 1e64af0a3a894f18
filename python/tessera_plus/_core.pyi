"""The compiled part of tessera_plus: the commands as functions, raw readers, the simulated market."""

import os
import pathlib
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

_Path = Union[str, os.PathLike[str]]

__version__: str

class PermissionDenied(Exception):
    """The market-data account may not use the requested data."""

class ServiceUnavailable(ConnectionError):
    """The market-data service could not answer now; try again later."""

def update(
    data_bundle_path: str,
    *,
    minbar: Sequence[str] = ...,
    tick: Sequence[str] = ...,
    base: bool = ...,
    concurrency: Optional[int] = ...,
    with_derivatives: bool = ...,
    rebuild: bool = ...,
    enable_bjse: bool = ...,
    wait: float = ...,
    lock_wait: float = ...,
) -> bool:
    """Base data, then the minute bars and ticks of the tagged instruments. True on success.
    Holds the bundle's run lock; BlockingIOError when another run holds it past wait seconds."""

def smart_update(
    data_bundle_path: str,
    *,
    concurrency: Optional[int] = ...,
    wait: float = ...,
    lock_wait: float = ...,
) -> bool:
    """Refreshes base data, extends every minute-bar and tick file present and re-creates those
    that a check deleted. Run lock as update; readers' files waited for up to lock_wait."""

def check_minbar(data_bundle_path: str) -> Tuple[list[str], list[str]]:
    """(broken, locked) minute-bar file paths. Asks nothing, deletes nothing."""

def check_tick(data_bundle_path: str) -> Tuple[list[str], list[str]]:
    """(broken, locked) tick file paths. Asks nothing, deletes nothing."""

def download_sample(
    data_bundle_path: str, *, file: Optional[str] = ..., wait: float = ...
) -> None:
    """Unpacks the sample bundle, downloaded or from a local archive. Run lock as update."""

def read_minbar(path: _Path) -> Tuple[np.ndarray, np.ndarray]:
    """(data, index) of a minute-bar file as structured arrays."""

def read_minbar_range(path: _Path, first_date: int, last_date: int) -> Tuple[np.ndarray, np.ndarray]:
    """(data, index) of the trading dates first_date..last_date (YYYYMMDD, both included);
    only the chunks holding those bars are read. index line_no as stored."""

def read_tick(path: _Path, date: Optional[str] = ...) -> np.ndarray:
    """Ticks of one date ('YYYYMMDD') or of every stored date, as one structured array."""

def read_tick_range(path: _Path, first_date: int, last_date: int) -> Tuple[np.ndarray, np.ndarray]:
    """(ticks, trading date of each tick) of the trading dates first_date..last_date."""

def tick_fields() -> list[Tuple[str, str, float]]:
    """(name, NumPy type, factor) of each tick field, in order; stored = value * factor."""

def minbar_file(data_bundle_path: _Path, order_book_id: str) -> pathlib.Path:
    """The minute-bar file of order_book_id in the bundle; FileNotFoundError when none."""

def tick_file(data_bundle_path: _Path, order_book_id: str) -> pathlib.Path:
    """Where the tick file of order_book_id lies in the bundle, existing or not."""

class sim:
    class SimMarket:
        """The simulated market, configured from TALLOW_SIM_* and TESSERA_NOW."""
        def __init__(self) -> None: ...
        def init(self, enable_bjse: bool) -> None: ...
        def bjse_enabled(self) -> bool: ...
        def all_instruments(
            self, type: Optional[str] = ..., market: Optional[str] = ..., date: Any = ...
        ) -> list[dict[str, str]]: ...
        def instruments(self, order_book_id: str, market: Optional[str] = ...) -> Any: ...
        def convertible_instruments(self, order_book_ids: Sequence[str]) -> Any: ...
        def get_price(
            self,
            order_book_id: str,
            start_date: Any = ...,
            end_date: Any = ...,
            frequency: Optional[str] = ...,
            adjust_type: Optional[str] = ...,
            expect_df: Optional[bool] = ...,
            market: Optional[str] = ...,
        ) -> Optional[dict[str, Any]]: ...
        def get_next_trading_date(self, date: Any, market: str = ...) -> Any: ...
        def get_trading_dates(self, start_date: Any, end_date: Any, market: str = ...) -> list[Any]: ...
        def is_suspended(
            self, order_book_id: str, start_date: Any, end_date: Any
        ) -> Tuple[list[Any], dict[str, list[bool]]]: ...
