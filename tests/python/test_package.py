"""The package as Python tools see it: its version, its stubs (every public name of the extension
is typed), and an extension that takes the interpreter it is loaded into (no libpython, no
baked-in library path)."""
import ast
import os
import pathlib
import re
import subprocess

import pytest

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
        elif isinstance(node, ast.ImportFrom):
            # Only `import X as X` re-exports a name from a stub.
            names.update(a.asname for a in node.names if a.asname == a.name)
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
    untyped = set(tessera_plus.__all__) - stub_names(PACKAGE / '__init__.pyi')
    assert not untyped, f'no stub in __init__.pyi for {sorted(untyped)}'


def test_a_type_checker_sees_what_each_call_returns(tmp_path):
    mypy = pytest.importorskip('mypy')  # noqa: F841
    use = tmp_path / 'use.py'
    use.write_text(
        'import pathlib\n'
        'import tessera_plus\n'
        "report = tessera_plus.update(pathlib.Path('/r'), minbar='000001.XSHE')\n"
        'reveal_type(report)\n'
        "plan = tessera_plus.update('/r', dry_run=True)\n"
        'reveal_type(plan)\n'
        "print(report.success, tessera_plus.smart_update('/r').updated, plan['totals'])\n"
        "print(tessera_plus.check_tick(pathlib.Path('/r')).broken)\n")
    done = subprocess.run(['/usr/bin/python3', '-m', 'mypy', '--ignore-missing-imports',
                           '--no-incremental', '--cache-dir', os.devnull, str(use)],
                          capture_output=True, text=True,
                          env=dict(os.environ, MYPYPATH=str(PACKAGE.parent)))
    assert done.returncode == 0, done.stdout
    assert 'Revealed type is "tessera_plus._core.UpdateReport"' in done.stdout
    assert 'Revealed type is "builtins.dict[builtins.str, Any]"' in done.stdout


def test_extension_links_no_libpython_and_no_search_path():
    dynamic = subprocess.run(['readelf', '-d', _core.__file__], capture_output=True, text=True,
                             check=True).stdout
    needed = re.findall(r'\(NEEDED\)\s+Shared library: \[(.*)\]', dynamic)
    assert needed, dynamic
    assert not [lib for lib in needed if lib.startswith('libpython')], needed
    assert 'RPATH' not in dynamic and 'RUNPATH' not in dynamic, dynamic

