"""Builds the extension `tessera_plus._core` with the project's CMake (Release, no tests, only the
extension's target) and hands it to setuptools, which installs it with the package's Python files,
stubs and py.typed. Metadata lives in pyproject.toml; the version is CMake's project version."""

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
        subprocess.check_call(configure)
        jobs = os.environ.get('CMAKE_BUILD_PARALLEL_LEVEL', str(os.cpu_count() or 1))
        subprocess.check_call(['cmake', '--build', str(build), '--target', ext.target,
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
