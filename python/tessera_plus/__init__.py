"""Keeps a tessera data bundle up to date and sound: the tessera-plus commands as functions, and
readers that return the bundle's minute bars and ticks as pandas DataFrames.

The market-data source is chosen as for the program: TALLOW_SOURCE (sim, or python with
TALLOW_PYTHON_MODULE). Errors are Python's own kinds (OSError with errno, PermissionError,
BlockingIOError, ValueError, KeyError) plus PermissionDenied and ServiceUnavailable.

progress=True draws one live bar per pass in Jupyter (tqdm's notebook bar with ipywidgets 7 or
later, a text bar redrawn in place otherwise) and tqdm's bar in a terminal; the program's own
bars elsewhere. The calls may be made from several threads at once; they take turns.
"""

from . import _core
from ._core import *  # noqa: F401,F403  (the commands, raw readers, errors and `sim`)
from ._commands import (check_minbar, check_tick, download_sample, smart_update,  # noqa: F811
                        status, update)
from ._bundle import instruments, iter_ticks, read_daily, suspended_days, trading_dates
from ._readers import read_bars, read_ticks

__version__ = _core.__version__

__all__ = [name for name in dir(_core) if not name.startswith('_')] + [
    'read_bars', 'read_ticks', 'instruments', 'trading_dates', 'suspended_days', 'read_daily',
    'iter_ticks']
