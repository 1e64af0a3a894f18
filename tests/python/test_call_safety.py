"""The commands as a researcher's session meets them: called from several threads at once, with a
mistyped root, with pathlib paths and single ids, stopped by Ctrl-C in any pass, and printing what
the command line prints for the same operation."""
import contextlib
import errno
import inspect
import io
import os
import pathlib
import pickle
import shutil
import signal
import subprocess
import sys
import threading

import pytest

os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus  # noqa: E402

STOCKS = ['000001.XSHE', '000002.XSHE', '600000.XSHG', '600519.XSHG', '601318.XSHG',
          '000858.XSHE', '300750.XSHE', '688981.XSHG', '601313.XSHG', '000003.XSHE',
          '000013.XSHE', '600001.XSHG', '301999.XSHE', '000005.XSHE']


def program(*args, env=None, stdin=subprocess.DEVNULL):
    return subprocess.run([os.environ['TESSERA_PLUS_PROGRAM'], *args], capture_output=True,
                          text=True, stdin=stdin, env=env)


def children():
    found = []
    for task in os.listdir(f'/proc/{os.getpid()}/task'):
        with open(f'/proc/{os.getpid()}/task/{task}/children') as f:
            found += f.read().split()
    return found


@pytest.fixture(scope='module')
def bundle(tmp_path_factory):
    root = tmp_path_factory.mktemp('safety') / 'root'
    assert tessera_plus.update(root, minbar='000001.XSHE', tick=('000001.XSHE',), jobs=2,
                               progress=False)
    return root


def identity(fd):
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


def test_three_threads_calling_at_once_leave_fds_1_and_2_as_they_were(bundle):
    before = identity(1), identity(2)
    errors = []
    out = io.StringIO()

    def rounds(call):
        try:
            for _ in range(20):
                call()
        except BaseException as e:  # noqa: B902  (any failure of a thread is the test's)
            errors.append(e)

    calls = [lambda: tessera_plus.check_minbar(bundle, jobs=1, progress=False),
             lambda: tessera_plus.check_tick(bundle, jobs=1, progress=False),
             lambda: tessera_plus.status(bundle)]
    with contextlib.redirect_stdout(out):
        threads = [threading.Thread(target=rounds, args=(call,)) for call in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    assert (identity(1), identity(2)) == before
    os.write(1, b'')  # a descriptor left on a closed pipe raises BrokenPipeError here
    text = out.getvalue()
    assert text.count('共有1个分钟数据文件!\n') == 20
    assert text.count('共有1个tick数据文件!\n') == 20


def test_a_root_without_bundle_is_file_not_found_naming_it(tmp_path, bundle):
    missing = tmp_path / 'typo'
    for call in (tessera_plus.status, tessera_plus.check_minbar, tessera_plus.check_tick):
        with pytest.raises(FileNotFoundError) as raised:
            call(missing)
        assert raised.value.errno == errno.ENOENT
        assert f'the bundle directory {missing}/bundle does not exist' in str(raised.value)
    assert not missing.exists()
    # The bundle directory given for its root: the parent is suggested.
    with pytest.raises(FileNotFoundError, match=f'try data_bundle_path={bundle}$'):
        tessera_plus.check_minbar(bundle / 'bundle')


def test_paths_may_be_path_objects_and_ids_one_string_or_any_iterable(bundle, tmp_path):
    root = tmp_path / 'root'
    shutil.copytree(bundle, root)
    summary = tmp_path / 'summary.json'
    report = tessera_plus.update(root, minbar=(i for i in ['000002.XSHE']), tick='000002.XSHE',
                                 base=False, report=summary, progress=False)
    assert report and summary.is_file()
    assert (root / 'bundle' / 'h5' / 'equities' / '000002.XSHE.h5').is_file()
    assert tessera_plus.check_tick(root, progress=False).files == 2
    assert tessera_plus.status(pathlib.PurePath(root)).data_bundle_path == str(root)
    plan = tessera_plus.update(root, minbar='600000.XSHG', base=False, dry_run=True,
                               progress=False)
    assert plan['totals']['create'] == 1
    for bad in (b'000001.XSHE', 1, ['000001.XSHE', None]):
        with pytest.raises(TypeError):
            tessera_plus.update(root, minbar=bad, dry_run=True)
    with pytest.raises(TypeError, match='data_bundle_path'):
        tessera_plus.status(1)
    # Unknown keywords reach the compiled command, which refuses them.
    with pytest.raises(TypeError):
        tessera_plus.smart_update(root, no_such_keyword=1)


def test_signatures_are_real_and_reports_pickle(bundle):
    for name in ('update', 'smart_update', 'check_minbar', 'check_tick', 'status',
                 'download_sample'):
        signature = inspect.signature(getattr(tessera_plus, name))
        assert 'data_bundle_path' in signature.parameters, name
        assert getattr(tessera_plus, name).__doc__.strip(), name
    update = inspect.signature(tessera_plus.update).parameters
    assert update['lock_wait'].default == 180 and update['dry_run'].default is False
    check = tessera_plus.check_minbar(bundle, progress=False)
    status = tessera_plus.status(bundle)
    update_report = tessera_plus.smart_update(bundle, jobs=1, progress=False)
    for report in (check, status, update_report):
        copy = pickle.loads(pickle.dumps(report))
        assert type(copy) is type(report) and copy.to_dict() == report.to_dict()
        assert bool(copy) == bool(report)
    frame = status.to_frame()
    assert str(frame['last_date'].dtype) == 'datetime64[ns]'
    assert frame.loc['equities', 'last_date'].strftime('%Y%m%d') == str(status.last_trading_day)


@pytest.mark.parametrize('label', ['日线及基础数据文件', '分钟线文件', 'tick文件'])
def test_ctrl_c_stops_each_pass_before_its_end(tmp_path, label):
    root = tmp_path / 'root'
    assert tessera_plus.update(root, progress=False)
    steps = []

    def interrupt_at_the_second_step(step_label, done, total):
        if step_label != label:
            return
        steps.append((done, total))
        if done == 2:
            threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGINT)).start()

    with pytest.raises(KeyboardInterrupt):
        tessera_plus.update(root, minbar=STOCKS, tick=STOCKS, base=label == '日线及基础数据文件', jobs=1, requests=1,
                            progress=interrupt_at_the_second_step)
    assert children() == []
    done, total = steps[-1]
    assert 2 <= done < total, steps


def test_checks_print_the_programs_report_without_the_question(bundle, tmp_path):
    root = tmp_path / 'root'
    shutil.copytree(bundle, root)
    broken = root / 'bundle' / 'h5' / 'equities' / '000002.XSHE.h5'
    for state in ('sound', 'broken'):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            tessera_plus.check_minbar(root, progress=False)
        cli = program('check', 'minbar', '-d', str(root))
        before_question = cli.stdout.split('是否删除异常数据(yes/no):')[0]
        assert out.getvalue() == before_question, state
        assert '是否删除' not in out.getvalue()
        broken.write_bytes(b'not an HDF5 file')
    assert "数据异常标的如下:\n['000002.XSHE']\n\n" in out.getvalue()
    assert broken.exists()


def test_a_beijing_exchange_refusal_is_the_last_line_as_on_the_command_line(tmp_path):
    env = dict(os.environ, TALLOW_SIM_DENY='bjse')
    cli = program('update', '-d', str(tmp_path / 'cli'), '--enable-bjse', '--minbar',
                  '000001.XSHE', env=env)
    code = ('import sys, tessera_plus\n'
            'r = tessera_plus.update(sys.argv[1], minbar="000001.XSHE", enable_bjse=True, '
            'progress=False)\n'
            'print("falsy" if not r else "truthy")\n')
    python = subprocess.run([sys.executable, '-c', code, str(tmp_path / 'python')], env=env,
                            capture_output=True, text=True, check=True)
    lines = python.stdout.splitlines()
    assert lines[-1] == 'falsy'
    assert lines[:-1] == cli.stdout.splitlines()
    assert lines[-2].startswith('没有 enable_bjse 参数')
