"""The package as Python tools see it: its version, its stubs (every public name of the extension
is typed), and an extension that takes the interpreter it is loaded into (no libpython, no
baked-in library path)."""
import ast
import os
import pathlib
import re
import subprocess

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

