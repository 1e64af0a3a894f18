"""The compiled part of tessera_plus: the commands as functions, raw readers, the simulated market."""

import os
import pathlib
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

_Path = Union[str, os.PathLike[str]]

__version__: str

class PermissionDenied(Exception):
    """The market-data account may not use the requested data."""

class ServiceUnavailable(ConnectionError):
    """The market-data service could not answer now; try again later."""

Progress = Union[bool, Callable[[str, int, int], Any]]

class UpdateReport:
    """What update or smart_update did, as `update --report` writes it; truthy on success."""
    command: str
    data_bundle_path: str
    updated: int
    unchanged: int
    failed: int
    failures: list[dict[str, str]]
    failures_not_listed: int
    retries: int
    revised_days: int
    rows_written: int
    bytes_added: int
    error: Optional[str]
    duration_seconds: float
    success: bool
    rows: int
    bytes: int
    duration: float
    def __bool__(self) -> bool: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_frame(self) -> Any:
        """pandas.DataFrame of the listed failures: columns what, reason."""

class CheckReport:
    """What a check found, as `check --json`; truthy when nothing is broken or locked.
    Unpacks as (broken, locked) paths."""
    kind: str
    data_bundle_path: str
    checked: bool
    files: int
    duration_seconds: float
    broken: list[str]
    locked: list[str]
    reasons: dict[str, str]
    def __bool__(self) -> bool: ...
    def __len__(self) -> int: ...
    def __getitem__(self, i: int) -> list[str]: ...
    def __iter__(self) -> Iterator[list[str]]: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_frame(self) -> Any:
        """pandas.DataFrame: path, order_book_id, state ('broken' or 'locked'), reason."""

class BundleStatus:
    """What each class directory holds, as `status --json`; truthy when no file is questioned."""
    data_bundle_path: str
    has_calendar: bool
    last_trading_day: Optional[int]
    calendar_last_date: Optional[int]
    classes: list[dict[str, Any]]
    unfinished: list[dict[str, Any]]
    def __bool__(self) -> bool: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_frame(self) -> Any:
        """pandas.DataFrame, one row per class directory, indexed by name."""

def update(
    data_bundle_path: str,
    *,
    minbar: Sequence[str] = ...,
    tick: Sequence[str] = ...,
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
    report: Optional[str] = ...,
    progress: Progress = ...,
    dry_run: bool = ...,
) -> Union[UpdateReport, Dict[str, Any]]:
    """Base data, then the minute bars and ticks of the tagged instruments. Runs with the GIL
    released; Ctrl-C stops the workers and raises KeyboardInterrupt. Holds the bundle's run lock;
    BlockingIOError when another run holds it past wait seconds. jobs (or concurrency, the same
    setting): worker processes, at most that many compressing and writing at once; requests:
    service requests waiting at once, all workers together (default 16), as `--requests`.
    dry_run=True writes nothing and returns the plan, a dict with the
    keys of `update --dry-run --report`."""

def smart_update(
    data_bundle_path: str,
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
    report: Optional[str] = ...,
    progress: Progress = ...,
    dry_run: bool = ...,
) -> Union[UpdateReport, Dict[str, Any]]:
    """Refreshes base data, extends every minute-bar and tick file present and re-creates those
    that a check deleted. Keywords and answer as update's."""

def check_minbar(
    data_bundle_path: str, *, jobs: Optional[int] = ..., progress: Progress = ...
) -> CheckReport:
    """Broken and locked minute-bar files with reasons. Asks nothing, deletes nothing."""

def check_tick(
    data_bundle_path: str,
    *,
    jobs: Optional[int] = ...,
    progress: Progress = ...,
    full: bool = ...,
) -> CheckReport:
    """Broken and locked tick files with reasons. Asks nothing, deletes nothing. full=True
    decodes the days that the per-user cache knows to decode too."""

def status(data_bundle_path: str) -> BundleStatus:
    """What the bundle holds and which files a check would question."""

def download_sample(
    data_bundle_path: str,
    *,
    file: Optional[str] = ...,
    wait: float = ...,
    progress: Progress = ...,
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
