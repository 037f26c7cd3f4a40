"""The build of pip install .: the module _expcoil comes from the project's own CMake build, so that it is
compiled with the same flags (-ffp-contract=off) and gives the same bits as the programs.

EXPCOIL_CMAKE_BUILD_DIR=<folder> builds the module in that already configured build folder instead of
configuring a new one under setuptools' build folder; CMAKE_BUILD_PARALLEL_LEVEL sets the jobs.
"""

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
    cmake = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(expcoil VERSION ([0-9.]+)", cmake).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        given = os.environ.get("EXPCOIL_CMAKE_BUILD_DIR")
        build = Path(given).resolve() if given else Path(self.build_temp).resolve() / "cmake"
        if not given:
            # The interpreter pip runs, so that the module matches it; only the module is built.
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            f"-DPython_EXECUTABLE={sys.executable}", "-DEXPCOIL_PYTHON=ON",
                            "-DEXPCOIL_TESTS=OFF", "-DEXPCOIL_BENCH=OFF"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "_expcoil", "-j", jobs], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        built = build / "python" / "expcoil" / target.name
        if not built.is_file():
            sys.exit(f"{built} was not built: is pybind11 (Debian: pybind11-dev) or numpy missing for "
                     f"{sys.executable}? See the CMake output above.")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=project_version(),
    ext_modules=[Extension("expcoil._expcoil", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # A folder of its own in build/, beside the CMake build of `make`.
    options={"build": {"build_base": "build/setuptools"}},
)
