"""The package as Python tools see it: its version, its stubs (every public name of the extension
is typed), and an extension that takes the interpreter it is loaded into (no libpython, no
baked-in library path)."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import tessera_plus
from tessera_plus import _core

PACKAGE = pathlib.Path(tessera_plus.__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get('TESSERA_PLUS_SOURCE_DIR',
                                     pathlib.Path(__file__).resolve().parents[2]))


def stub_names(path):
    names = set()
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def test_version_is_the_cmake_project_version():
    cmake = (SOURCE / 'CMakeLists.txt').read_text()
    version = re.search(r'project\(tessera_plus\s+VERSION\s+([0-9.]+)', cmake).group(1)
    assert tessera_plus.__version__ == version


def test_every_public_name_is_exported_and_typed():
    assert (PACKAGE / 'py.typed').is_file()
    public = {name for name in dir(_core) if not name.startswith('_')}
    assert public <= set(tessera_plus.__all__)
    assert {'read_bars', 'read_ticks', 'update', 'check_minbar', 'read_minbar', 'sim'} \
        <= set(tessera_plus.__all__)
    missing = public - stub_names(PACKAGE / '_core.pyi')
    assert not missing, f'no stub in _core.pyi for {sorted(missing)}'
    assert {'read_bars', 'read_ticks', '__version__'} <= stub_names(PACKAGE / '__init__.pyi')


def test_extension_links_no_libpython_and_no_search_path():
    dynamic = subprocess.run(['readelf', '-d', _core.__file__], capture_output=True, text=True,
                             check=True).stdout
    needed = re.findall(r'\(NEEDED\)\s+Shared library: \[(.*)\]', dynamic)
    assert needed, dynamic
    assert not [lib for lib in needed if lib.startswith('libpython')], needed
    assert 'RPATH' not in dynamic and 'RUNPATH' not in dynamic, dynamic


BUILTIN_FILTER_RUN = r'''
import hashlib, os, sys
import tessera_plus
root, other = sys.argv[1], sys.argv[2]
assert tessera_plus.update(root, tick=['000001.XSHE'], base=False, concurrency=1)
for path in (tessera_plus.tick_file(root, '000001.XSHE'), tessera_plus.tick_file(other, '000001.XSHE')):
    print(hashlib.sha256(tessera_plus.read_tick(path).tobytes()).hexdigest())
print('plugin loaded' if 'H5Zblosc' in open('/proc/self/maps').read() else 'no plugin')
'''


def test_without_a_blosc_plugin_the_builtin_filter_writes_and_reads_the_same_files(tmp_path):
    import hashlib
    import h5py
    import numpy as np
    env = dict(os.environ, TALLOW_SOURCE='sim', TESSERA_NOW='2024-06-07 18:00:00')
    with_plugin, builtin = tmp_path / 'plugin', tmp_path / 'builtin'
    empty = tmp_path / 'no-plugins'
    empty.mkdir()
    subprocess.run([sys.executable, '-c', 'import sys, tessera_plus; assert tessera_plus.update('
                    'sys.argv[1], tick=["000001.XSHE"], base=False, concurrency=1)',
                    str(with_plugin)], env=env, check=True, capture_output=True)
    run = subprocess.run([sys.executable, '-c', BUILTIN_FILTER_RUN, str(builtin), str(with_plugin)],
                         env=dict(env, HDF5_PLUGIN_PATH=str(empty)), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    builtin_hash, plugin_hash, loaded = run.stdout.split('\n')[-4:-1]
    assert loaded == 'no plugin'
    assert builtin_hash == plugin_hash
    # And h5py, through the system's plugin, reads what the built-in filter wrote.
    with h5py.File(builtin / 'bundle' / 'ticks' / '000001.XSHE.h5', 'r') as f:
        assert all(list(f[name]._filters) == ['32001'] for name in f if len(f[name]))
        records = np.concatenate([f[name][()] for name in sorted(f)])
        values = {name: f[name]._filters.get('32001') for name in f}
    with h5py.File(with_plugin / 'bundle' / 'ticks' / '000001.XSHE.h5', 'r') as f:
        assert values == {name: f[name]._filters.get('32001') for name in f}
    assert hashlib.sha256(records.tobytes()).hexdigest() == builtin_hash
