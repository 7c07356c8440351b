"""pip's entry into the CMake build (pyproject.toml holds the metadata).

Builds only what the installed package needs: the four native modules and the
coordinator program, which travels inside the package (korvane/bin) and starts through
the `korvane-coordinator` console script. The CMake tree is build-pip/, one level below
the root like make's build/, so that with ccache both builds share their compiles.
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
CMAKE_DIR = ROOT / "build-pip"
TARGETS = ["_carrowel", "_carrowel_torch", "_brisol", "_int8_ops", "korvane-coordinator"]


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def run(self):
        package_root = ROOT if self.inplace else pathlib.Path(self.build_lib).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(CMAKE_DIR), f"-DPython3_EXECUTABLE={sys.executable}",
                     "-DCMAKE_BUILD_TYPE=Release", "-DKORVANE_TESTS=OFF", "-DKORVANE_SANITIZE=OFF",
                     # Off for installers, whose newer torch or compiler may warn where ours does
                     # not; make test turns it on, so that its pip build shares make's compiles.
                     f"-DKORVANE_WERROR={os.environ.get('KORVANE_WERROR', 'OFF')}",
                     f"-DKORVANE_PACKAGE_DIR={package_root}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        env = dict(os.environ)
        ccache = shutil.which("ccache")
        if ccache:
            configure += [f"-DCMAKE_CXX_COMPILER_LAUNCHER={ccache}", f"-DCMAKE_C_COMPILER_LAUNCHER={ccache}"]
            # Paths relative to the build tree: a clone elsewhere hits the same cache entries.
            env["CCACHE_BASEDIR"] = str(ROOT)
        subprocess.check_call(configure, env=env)
        jobs = str(self.parallel or os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", str(CMAKE_DIR), "--target", *TARGETS, "-j", jobs], env=env)
        bin_dir = package_root / "korvane" / "bin"
        bin_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(CMAKE_DIR / "bin" / "korvane-coordinator", bin_dir / "korvane-coordinator")


setup(
    ext_modules=[CMakeExtension(name) for name in
                 ("korvane.carrowel._carrowel", "korvane.carrowel._carrowel_torch", "korvane.brisol._brisol",
                  "korvane._int8_ops")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(CMAKE_DIR / "setuptools")}},
)
