"""progress=True where a researcher sits: a notebook executed with nbconvert, as Jupyter runs it,
holds one live bar per pass and runs clean through the package's daily calls; a terminal gets
bars redrawn in place."""
import json
import os
import pty
import subprocess
import sys

import pytest

nbformat = pytest.importorskip('nbformat')

SETUP = '''\
import os, tempfile
os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus
root = tempfile.mkdtemp() + '/root'
'''
CELLS = [
    SETUP,
    "tessera_plus.update(root, minbar=['000001.XSHE', 'RB'], tick='000001.XSHE', jobs=2)",
    'tessera_plus.smart_update(root, jobs=1)',
    'tessera_plus.check_minbar(root), tessera_plus.check_tick(root)',
    'tessera_plus.status(root).to_frame()',
    '(tessera_plus.instruments(root).loc[lambda f: f.minbar], tessera_plus.trading_dates(root), '
    "tessera_plus.suspended_days(root), tessera_plus.read_daily(root, ['000001.XSHE']), "
    "tessera_plus.read_bars(root, ['000001.XSHE', 'RB2410']), "
    "len(list(tessera_plus.iter_ticks(root, '000001.XSHE', days=5))))",
]
PASSES = ['日线及基础数据文件', '分钟线文件', 'tick文件', '检查的文件']


def test_a_notebook_shows_one_bar_per_pass_and_runs_clean(tmp_path):
    notebook = tmp_path / 'daily.ipynb'
    nbformat.write(nbformat.v4.new_notebook(
        cells=[nbformat.v4.new_code_cell(c) for c in CELLS]), notebook)
    done = subprocess.run([sys.executable, '-m', 'nbconvert', '--to', 'notebook', '--execute',
                           '--output', 'executed.ipynb', str(notebook)],
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr[-3000:]
    executed = nbformat.read(tmp_path / 'executed.ipynb', 4)
    outputs = [o for cell in executed.cells for o in cell.get('outputs', [])]
    assert not [o for o in outputs if o.output_type == 'error']
    bars = {}
    for o in outputs:
        text = o.get('data', {}).get('text/plain', '')
        if o.output_type == 'display_data' and '%|' in text:
            bars.setdefault(text.split(':')[0], []).append(text)
    # update's three passes, smart_update's three, the two checks: one live bar each.
    assert {label: len(shown) for label, shown in bars.items()} == \
        {'日线及基础数据文件': 2, '分钟线文件': 2, 'tick文件': 2, '检查的文件': 2}
    assert all(text.startswith(f'{label}: 100%|') for label, shown in bars.items()
               for text in shown)
    stderr = ''.join(o.get('text', '') for o in outputs if o.get('name') == 'stderr')
    assert not any(label in stderr for label in PASSES), stderr[:500]


def test_a_terminal_gets_bars_redrawn_in_place(tmp_path):
    pytest.importorskip('tqdm')
    script = SETUP + "tessera_plus.update(root, minbar=['000001.XSHE', 'RB'], jobs=2)\n"
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.executable, [sys.executable, '-c', script])
    seen = b''
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, seen[-2000:]
    text = seen.decode('utf-8', 'replace')
    for label in PASSES[:2]:
        drawn = [line for line in text.split('\n') if label in line]
        # Redrawn with carriage returns on one terminal line, ending at 100 %.
        assert len(drawn) == 1 and '\r' in drawn[0] and '100%' in drawn[0], json.dumps(drawn)
