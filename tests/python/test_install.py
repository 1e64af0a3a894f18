"""The package as a user installs it: a clean clone of the committed sources, pip into a fresh
virtual environment that sees the system's NumPy, pandas and setuptools, offline and without build
isolation; then, from outside the clone, the installed package updates a bundle and reads it back
as DataFrames. Builds the whole library in Release, so it takes minutes (label slow)."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

SOURCE = pathlib.Path(os.environ.get('TESSERA_PLUS_SOURCE_DIR',
                                     pathlib.Path(__file__).resolve().parents[2]))

AFTER_INSTALL = r'''
import os, pathlib, subprocess, sys, tempfile
os.environ['TALLOW_SOURCE'] = 'sim'
os.environ['TESSERA_NOW'] = '2024-07-01 18:00:00'
import tessera_plus
from tessera_plus import _core
package = pathlib.Path(tessera_plus.__file__).parent
print('package', package)
print('version', tessera_plus.__version__)
print('files', sorted(p.name for p in package.iterdir() if p.name != '__pycache__'))
root = tempfile.mkdtemp()
assert tessera_plus.update(root, minbar=['000001.XSHE'], tick=['000001.XSHE'], concurrency=1)
bars = tessera_plus.read_bars(pathlib.Path(root), '000001.XSHE', start='2024-06-03', end='2024-06-03')
ticks = tessera_plus.read_ticks(root, '000001.XSHE', start=20240603, end=20240603)
print('rows', len(bars), len(ticks))
print('readelf', subprocess.run(['readelf', '-d', _core.__file__], capture_output=True,
                                text=True, check=True).stdout)
'''


@pytest.fixture(scope='module')
def installed():
    if not (SOURCE / '.git').exists() or shutil.which('git') is None:
        pytest.skip('needs a git checkout to clone')
    scratch = pathlib.Path(tempfile.mkdtemp(prefix='install_'))
    clone, venv = scratch / 'clone', scratch / 'venv'
    subprocess.run(['git', 'clone', '-q', str(SOURCE), str(clone)], check=True)
    subprocess.run([sys.executable, '-m', 'venv', '--system-site-packages', str(venv)], check=True)
    # Paths below the scratch folder are the same from one run to the next once ccache sees them
    # relative to it, so a repeated install reuses the objects compiled before.
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get('TESSERA_PLUS_JOBS', '2'),
               CCACHE_BASEDIR=str(scratch))
    env.pop('PYTHONPATH', None)
    pip = subprocess.run([str(venv / 'bin' / 'pip'), 'install', '--no-index',
                          '--no-build-isolation', str(clone)],
                         capture_output=True, text=True, env=env)
    assert pip.returncode == 0, pip.stdout[-4000:] + pip.stderr[-4000:]
    outside = scratch / 'elsewhere'
    outside.mkdir()
    run = subprocess.run([str(venv / 'bin' / 'python'), '-c', AFTER_INSTALL], cwd=outside,
                         capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    yield run.stdout, venv
    shutil.rmtree(scratch, ignore_errors=True)


def test_installed_into_the_environment_with_stubs(installed):
    out, venv = installed
    package = re.search(r'^package (.*)$', out, re.M).group(1)
    assert package.startswith(str(venv)), package
    files = re.search(r'^files (.*)$', out, re.M).group(1)
    for name in ('__init__.py', '__init__.pyi', '_core.pyi', '_readers.py', 'py.typed'):
        assert f"'{name}'" in files, files
    assert re.search(r"'_core\.cpython-[^']*\.so'", files), files
    cmake = (SOURCE / 'CMakeLists.txt').read_text()
    version = re.search(r'project\(tessera_plus\s+VERSION\s+([0-9.]+)', cmake).group(1)
    assert re.search(r'^version (.*)$', out, re.M).group(1) == version


def test_installed_package_updates_and_reads(installed):
    out, _ = installed
    bars, ticks = map(int, re.search(r'^rows (\d+) (\d+)$', out, re.M).groups())
    assert bars == 240 and ticks > 0


def test_installed_extension_has_no_libpython_and_no_search_path(installed):
    out, _ = installed
    dynamic = out[out.index('readelf'):]
    assert 'libhdf5' in dynamic
    assert 'libpython' not in dynamic
    assert 'RPATH' not in dynamic and 'RUNPATH' not in dynamic
