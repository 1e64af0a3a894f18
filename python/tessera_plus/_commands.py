"""The commands with Python's own signatures over the compiled ones: `inspect.signature` and
editors see the keywords and defaults, paths may be any os.PathLike, and an instrument list may be
one id or tag as a string or any iterable of them.

Keywords a wrapper does not name itself are handed on to the compiled command unchanged, which
refuses the ones it does not know.
"""

import os

from . import _core
from ._progress import progress_for


def _path(value, name):
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f'{name} must be a str or os.PathLike path, not {type(value).__name__}')
    return os.fsdecode(value)


def _optional_path(value, name):
    return None if value is None else _path(value, name)


def _tags(value, name):
    """One tag as a string, or any iterable of them, as a list."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, (bytes, bytearray)):
        raise TypeError(f'{name} must be a str or an iterable of str, not bytes')
    try:
        tags = list(value)
    except TypeError:
        raise TypeError(f'{name} must be a str or an iterable of str, not '
                        f'{type(value).__name__}') from None
    for tag in tags:
        if not isinstance(tag, str):
            raise TypeError(f'{name} holds {tag!r}; every id or tag is a str')
    return tags


def _call(compiled, progress, *args, **kwargs):
    """`compiled` with progress shown where the caller sits (tessera_plus._progress)."""
    shown, bars = progress_for(progress)
    try:
        return compiled(*args, progress=shown, **kwargs)
    finally:
        if bars is not None:
            bars.close()


def _doc(compiled):
    """The compiled command's description, without pybind11's signature line."""
    text = compiled.__doc__ or ''
    first, _, rest = text.partition('\n')
    return rest.strip() if first.startswith(compiled.__name__ + '(') else text


def update(data_bundle_path, *, minbar=(), tick=(), base=True, jobs=None, concurrency=None,
           with_derivatives=False, rebuild=False, enable_bjse=False, wait=0.0,
           lock_wait=_core._DEFAULT_LOCK_WAIT, recheck_days=_core._DEFAULT_RECHECK_DAYS,
           retry_attempts=None, retry_max_wait=None, rate_limit=None, requests=None, report=None,
           progress=True, dry_run=False, **options):
    return _call(
        _core.update, progress, _path(data_bundle_path, 'data_bundle_path'),
        minbar=_tags(minbar, 'minbar'), tick=_tags(tick, 'tick'), base=base, jobs=jobs,
        concurrency=concurrency, with_derivatives=with_derivatives, rebuild=rebuild,
        enable_bjse=enable_bjse, wait=wait, lock_wait=lock_wait, recheck_days=recheck_days,
        retry_attempts=retry_attempts,
        retry_max_wait=retry_max_wait, rate_limit=rate_limit, requests=requests,
        report=_optional_path(report, 'report'), dry_run=dry_run, **options)


def smart_update(data_bundle_path, *, jobs=None, concurrency=None, wait=0.0,
                 lock_wait=_core._DEFAULT_LOCK_WAIT, recheck_days=_core._DEFAULT_RECHECK_DAYS,
                 retry_attempts=None, retry_max_wait=None, rate_limit=None, requests=None,
                 report=None, progress=True, dry_run=False, **options):
    return _call(
        _core.smart_update, progress, _path(data_bundle_path, 'data_bundle_path'), jobs=jobs,
        concurrency=concurrency, wait=wait, lock_wait=lock_wait, recheck_days=recheck_days,
        retry_attempts=retry_attempts,
        retry_max_wait=retry_max_wait, rate_limit=rate_limit, requests=requests,
        report=_optional_path(report, 'report'), dry_run=dry_run, **options)


def check_minbar(data_bundle_path, *, jobs=None, progress=True):
    return _call(_core.check_minbar, progress, _path(data_bundle_path, 'data_bundle_path'),
                 jobs=jobs)


def check_tick(data_bundle_path, *, jobs=None, progress=True, full=False):
    return _call(_core.check_tick, progress, _path(data_bundle_path, 'data_bundle_path'),
                 jobs=jobs, full=full)


def status(data_bundle_path):
    return _core.status(_path(data_bundle_path, 'data_bundle_path'))


def download_sample(data_bundle_path, *, file=None, wait=0.0, progress=True):
    return _call(_core.download_sample, progress, _path(data_bundle_path, 'data_bundle_path'),
                 file=_optional_path(file, 'file'), wait=wait)


for _command in (update, smart_update, check_minbar, check_tick, status, download_sample):
    _command.__doc__ = _doc(getattr(_core, _command.__name__))
del _command
