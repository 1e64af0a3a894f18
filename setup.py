"""Builds the extension `tessera_plus._core` with the project's CMake (Release, no tests, only the
extension's target and the libraries it links) and hands it to setuptools, which installs it with
the package's Python files, stubs and py.typed. Metadata lives in pyproject.toml; the version is
CMake's project version.

Link-time optimisation, which doubles the build for little gain in a module that spends its time
in HDF5, zlib and Blosc, is off unless TESSERA_PLUS_LTO=1 asks for it. The build's progress
([n/N] steps) is shown on the terminal even when pip hides the build's output, and in full with
pip -v."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / 'CMakeLists.txt').read_text()
    return re.search(r'project\(tessera_plus\s+VERSION\s+([0-9.]+)', text).group(1)


def open_terminal():
    try:
        return open('/dev/tty', 'w')
    except OSError:
        return None


def run_showing_progress(command):
    """Runs `command`, its output passed on (pip -v shows it) and its [n/N] step lines redrawn on
    one line of the terminal, which pip does not capture."""
    terminal = open_terminal()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, errors='replace')
    try:
        for line in process.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            if terminal is not None and re.match(r'\[\s*\d+(/\d+|%)\]', line):
                terminal.write('\rtessera_plus: ' + line.rstrip()[:100].ljust(100))
                terminal.flush()
    finally:
        status = process.wait()
        if terminal is not None:
            terminal.write('\n')
            terminal.close()
    if status != 0:
        raise subprocess.CalledProcessError(status, command)


class CMakeExtension(Extension):
    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / 'cmake'
        build.mkdir(parents=True, exist_ok=True)
        configure = ['cmake', '-S', str(ROOT), '-B', str(build), '-DCMAKE_BUILD_TYPE=Release',
                     '-DTESSERA_PLUS_TESTS=OFF', f'-DPython3_EXECUTABLE={sys.executable}']
        if shutil.which('ninja'):
            configure += ['-G', 'Ninja']
        if shutil.which('ccache'):
            configure += ['-DCMAKE_CXX_COMPILER_LAUNCHER=ccache']
        # Defined at all, the setting keeps pybind11 from adding its own -flto.
        lto = os.environ.get('TESSERA_PLUS_LTO', '0') not in ('', '0')
        configure += [f'-DCMAKE_INTERPROCEDURAL_OPTIMIZATION={"ON" if lto else "OFF"}']
        subprocess.check_call(configure)
        jobs = os.environ.get('CMAKE_BUILD_PARALLEL_LEVEL', str(os.cpu_count() or 1))
        run_showing_progress(['cmake', '--build', str(build), '--target', ext.target,
                              '--parallel', jobs])
        built = list((build / 'python' / 'tessera_plus').glob('_core*.so'))
        if len(built) != 1:
            raise RuntimeError(f'expected one _core*.so in {build}, found {built}')
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(version=project_version(),
      ext_modules=[CMakeExtension('tessera_plus._core', 'tessera_plus_python')],
      cmdclass={'build_ext': CMakeBuild})
