"""The module's long calls as a Python program sees them: other threads run meanwhile, Ctrl-C stops
them cleanly, their console lines reach sys.stdout or logging, progress goes where asked, and the
answers are objects holding what the program's JSON reports hold."""
import contextlib
import io
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DIGEST = os.path.join(HERE, '..', 'support', 'bundle_digest.py')
MINBAR = ['000001.XSHE', '600519.XSHG', 'RB']


def digest(root):
    return subprocess.run([sys.executable, DIGEST, os.path.join(root, 'bundle')], check=True,
                          capture_output=True, text=True).stdout.splitlines()


def children():
    pid = os.getpid()
    found = []
    for task in os.listdir(f'/proc/{pid}/task'):
        with open(f'/proc/{pid}/task/{task}/children') as f:
            found += f.read().split()
    return found


def program(*args):
    return subprocess.run([os.environ['TESSERA_PLUS_PROGRAM'], *args], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)


@pytest.fixture(scope='module')
def bundle(tmp_path_factory):
    """A bundle with minute bars and ticks, built once for the tests that only read it."""
    root = str(tmp_path_factory.mktemp('calls') / 'root')
    report = tessera_plus.update(root, minbar=['000001.XSHE', 'RB'], tick=['000001.XSHE'],
                                 concurrency=2, progress=False)
    assert report.success
    return root


class Ticker:
    """A thread that counts its 50 ms sleeps, as a notebook's other work would run."""

    def __init__(self):
        self.ticks = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop.is_set():
            time.sleep(0.05)
            self.ticks += 1

    def __enter__(self):
        self.start = time.monotonic()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.elapsed = time.monotonic() - self.start
        self.stop.set()
        self.thread.join()


@pytest.mark.parametrize('source', ['sim', 'python'])
def test_other_threads_run_during_an_update_and_the_bundle_is_the_same(tmp_path, monkeypatch,
                                                                       source):
    # The python source calls back into this interpreter from the call's own thread and from
    # forked workers: they take the lock themselves, and the result is the sim source's.
    reference = str(tmp_path / 'reference')
    assert tessera_plus.update(reference, minbar=MINBAR, concurrency=2, progress=False)
    monkeypatch.setenv('TALLOW_SOURCE', source)
    monkeypatch.setenv('TALLOW_PYTHON_MODULE', 'fake_tallow')
    root = str(tmp_path / 'root')
    with Ticker() as ticker:
        report = tessera_plus.update(root, minbar=MINBAR, concurrency=2, progress=False)
    assert report.success
    # Held for the whole call, the lock would let the ticker count once or twice. The bound
    # leaves room for a machine whose cores the workers keep busy.
    assert ticker.ticks >= 0.5 * ticker.elapsed / 0.05
    assert digest(root) == digest(reference)


def test_ctrl_c_stops_the_workers_and_a_rerun_completes_the_bundle(tmp_path):
    reference, root = str(tmp_path / 'reference'), str(tmp_path / 'root')
    for r in (reference, root):
        assert tessera_plus.update(r, progress=False)
    assert tessera_plus.update(reference, minbar=MINBAR, base=False, concurrency=1,
                               progress=False)
    steps = []

    def interrupt_after_the_first_file(label, done, total):
        steps.append((done, total))
        if done == 1 and total > 2:
            threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGINT)).start()

    summary = tmp_path / 'report.json'
    # One request in flight: few files are on their way when the stop comes, so some are left.
    with pytest.raises(KeyboardInterrupt):
        tessera_plus.update(root, minbar=MINBAR, base=False, concurrency=1, requests=1,
                            report=str(summary), progress=interrupt_after_the_first_file)
    assert children() == []
    done, total = steps[-1]
    assert 1 <= done < total
    written = json.loads(summary.read_text())
    assert (written['error'], written['exit_status']) == ('KeyboardInterrupt', 1)
    assert written['updated'] + written['unchanged'] < total
    # The stop request was withdrawn: the next call runs to its end.
    assert tessera_plus.update(root, minbar=MINBAR, base=False, concurrency=1, progress=False)
    assert digest(root) == digest(reference)


def test_an_error_in_the_progress_callback_stops_the_call_and_is_raised(tmp_path):
    root = str(tmp_path / 'root')

    def fail(label, done, total):
        raise ZeroDivisionError('from the callback')

    with pytest.raises(ZeroDivisionError, match='from the callback'):
        tessera_plus.update(root, minbar=['000001.XSHE'], progress=fail)
    assert children() == []


def test_console_lines_reach_sys_stdout_and_not_the_descriptor(bundle, capfd):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        report = tessera_plus.smart_update(bundle, concurrency=1, progress=False)
    lines = out.getvalue().splitlines()
    assert lines[:2] == ['开始智能更新已下载数据', '开始更新日线及基础数据']
    assert (f'更新结束：{report.updated} 个标的已更新，{report.unchanged} 个无变化，0 项失败，'
            f'重试 0 次') in lines
    assert '开始' not in capfd.readouterr().out
    # A check's lines too; a plain print in between is not swallowed or repeated.
    with contextlib.redirect_stdout(out):
        print('between')
        tessera_plus.check_minbar(bundle, progress=False)
    assert out.getvalue().count('between\n') == 1
    assert '共有5个分钟数据文件!\n' in out.getvalue()


def test_console_lines_go_to_the_logger_when_it_is_enabled(bundle, caplog):
    caplog.set_level(logging.INFO, logger='tessera_plus')
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        tessera_plus.check_tick(bundle, progress=False)
    records = [r for r in caplog.records if r.name == 'tessera_plus']
    assert [r.getMessage() for r in records] == ['共有1个tick数据文件!', '',
                                                 '检测完成：tick数据质量良好！']
    assert records[0].levelno == logging.INFO
    assert out.getvalue() == ''


def test_progress_as_bars_nothing_or_a_callback(bundle):
    def run(progress):
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            tessera_plus.check_minbar(bundle, jobs=1, progress=progress)
        return err.getvalue()

    assert '| 5/5 [' in run(True)
    assert run(False) == ''
    calls = []
    assert run(lambda *step: calls.append(step)) == ''
    assert calls[0] == ('检查的文件', 0, 5)
    assert calls[-1] == ('检查的文件', 5, 5)
    assert all(done <= total for _, done, total in calls)
    with pytest.raises(TypeError):
        tessera_plus.check_minbar(bundle, progress='yes')


def test_check_report_holds_what_check_json_says(bundle):
    broken = os.path.join(bundle, 'bundle', 'h5', 'equities', '000002.XSHE.h5')
    with open(broken, 'wb') as f:
        f.write(b'not an HDF5 file')
    try:
        report = tessera_plus.check_minbar(bundle)
        cli = json.loads(program('check', 'minbar', '--json', '-d', bundle).stdout)
    finally:
        os.remove(broken)
    mine = report.to_dict()
    for key in ('kind', 'data_bundle_path', 'checked', 'files', 'broken', 'locked'):
        assert mine[key] == cli[key], key
    assert report.broken == [broken] and report.locked == []
    assert report.reasons[broken] == cli['broken'][0]['reason'] != ''
    assert not report
    # Unpacks as the paths, as the checks' answers always did.
    assert tuple(report) == ([broken], [])
    frame = report.to_frame()
    assert list(frame.columns) == ['path', 'order_book_id', 'state', 'reason']
    assert frame.iloc[0].tolist() == [broken, '000002.XSHE', 'broken', report.reasons[broken]]
    assert tessera_plus.check_minbar(bundle)


def test_status_holds_what_status_json_says(bundle):
    status = tessera_plus.status(bundle)
    assert status.to_dict() == json.loads(program('status', '--json', '-d', bundle).stdout)
    assert status and status.has_calendar
    frame = status.to_frame()
    ticks = status.classes[[c['name'] for c in status.classes].index('ticks')]
    assert frame.loc['ticks', 'files'] == ticks['files'] == 1
    assert frame.loc['equities', 'last_date'].strftime('%Y%m%d') == str(status.last_trading_day)


def test_update_report_and_its_file_hold_what_update_report_says(bundle, tmp_path):
    copy = str(tmp_path / 'copy')
    shutil.copytree(bundle, copy)
    path = str(tmp_path / 'python.json')
    report = tessera_plus.smart_update(bundle, concurrency=1, report=path, progress=False,
                                       retry_attempts=2, rate_limit=1000, requests=4)
    done = program('smart-update', '-d', copy, '-j', '1', '--report', str(tmp_path / 'cli.json'),
                   '--quiet')
    assert done.returncode == 0, done.stderr
    cli = json.load(open(tmp_path / 'cli.json'))
    written = json.load(open(path))
    assert set(written) == set(cli)
    for key in ('command', 'updated', 'unchanged', 'failed', 'failures', 'failures_not_listed',
                'retries', 'revised_days', 'rows_written', 'bytes_added', 'error', 'exit_status'):
        assert written[key] == cli[key], key
        if key != 'exit_status':
            assert report.to_dict()[key] == cli[key], key
    # Five minute-bar files (000001.XSHE and the RB contracts) and one tick file.
    assert report.updated + report.unchanged == 6
    assert (report.rows, report.bytes) == (report.rows_written, report.bytes_added)
    assert report and report.success and report.duration > 0
    assert report.to_frame().empty


def test_recheck_days_is_checked_and_zero_only_appends(bundle, tmp_path):
    copy = str(tmp_path / 'copy')
    shutil.copytree(bundle, copy)
    for bad in (-1, 501):
        with pytest.raises(ValueError, match='recheck_days must be from 0 to 500'):
            tessera_plus.smart_update(copy, recheck_days=bad, progress=False)
    report = tessera_plus.smart_update(copy, recheck_days=0, progress=False)
    assert report.success and report.revised_days == 0
    assert digest(copy) == digest(bundle)


def test_update_report_lists_failures_with_their_reasons(tmp_path):
    root = str(tmp_path / 'root')
    assert tessera_plus.update(root, minbar=['000001.XSHE'], progress=False)
    path = os.path.join(root, 'bundle', 'h5', 'equities', '000001.XSHE.h5')
    with open(path, 'wb') as f:
        f.write(b'not an HDF5 file')
    report = tessera_plus.update(root, minbar=['000001.XSHE'], base=False, progress=False)
    assert not report and report.success is False
    assert report.failed == 1 == len(report.failures)
    failure = report.failures[0]
    assert '000001.XSHE' in failure['what'] and failure['reason']
    assert report.to_frame().to_dict('records') == report.failures
    # rebuild=True is the confirmation: nothing is asked, the file is built anew.
    rebuilt = tessera_plus.update(root, minbar=['000001.XSHE'], base=False, rebuild=True,
                                  progress=False)
    assert rebuilt.success and rebuilt.updated == 1


def test_h5py_in_another_thread_waits_for_the_call(bundle, tmp_path):
    # HDF5 is one library for h5py and this module, and it is not thread-safe: a read started
    # while an update runs finishes only once the update's work is over, which the bundle's run
    # lock, free again by then, shows.
    import fcntl
    import h5py
    path = os.path.join(bundle, 'bundle', 'h5', 'equities', '000001.XSHE.h5')
    root = str(tmp_path / 'root')
    seen = []

    def read():
        with h5py.File(path, 'r') as f:
            rows = len(f['data'])
        lock = os.open(os.path.join(root, 'bundle'), os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            seen.append((rows, 'after the update'))
        except BlockingIOError:
            seen.append((rows, 'during the update'))
        finally:
            os.close(lock)

    readers = []

    def start_a_reader(label, done, total):
        if not readers:
            readers.append(threading.Thread(target=read))
            readers[0].start()

    report = tessera_plus.update(root, minbar=MINBAR, concurrency=1, progress=start_a_reader)
    readers[0].join()
    assert report.success
    assert seen[0][0] > 1000 and seen[0][1] == 'after the update'


def test_a_dry_run_returns_the_programs_plan_and_writes_nothing(bundle, tmp_path):
    root = str(tmp_path / 'root')
    shutil.copytree(bundle, root)
    before = digest(root)
    env_now = dict(os.environ, TESSERA_NOW='2024-07-03 18:00:00')
    plan_py = subprocess.run(
        [sys.executable, '-c', 'import json, sys, tessera_plus; print(json.dumps('
         'tessera_plus.smart_update(sys.argv[1], jobs=1, dry_run=True, progress=False)))', root],
        env=env_now, capture_output=True, text=True, check=True)
    plan = json.loads(plan_py.stdout.splitlines()[-1])
    done = subprocess.run([os.environ['TESSERA_PLUS_PROGRAM'], 'smart-update', '-d', root,
                           '--dry-run', '--report', str(tmp_path / 'plan.json'), '--quiet'],
                          env=env_now, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    cli = json.load(open(tmp_path / 'plan.json'))
    assert {k: v for k, v in plan.items() if k != 'files'} == {k: v for k, v in cli.items() if k != 'files'}
    assert plan['files'] == cli['files']
    assert plan['dry_run'] and plan['totals']['extend'] > 0
    assert digest(root) == before
    with pytest.raises(ValueError):
        tessera_plus.update(root, jobs=1, concurrency=2, dry_run=True)
