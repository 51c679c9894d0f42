"""Builds the package chain20 (its native part with the project's own CMake build,
the core's rounding flags included) for the interpreter that runs pip, with the
system's pybind11: no download."""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DBUILD_TESTING=OFF", "-DCHAIN20_BUILD_BENCH=OFF", f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "chain20_python"], check=True)
        built = next((build / "python" / "chain20").glob("_chain20*.so"))
        target = pathlib.Path(self.get_ext_fullpath(extension.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(packages=["chain20"], package_dir={"chain20": "python/chain20"},
      package_data={"chain20": ["py.typed", "*.pyi"]},
      ext_modules=[Extension("chain20._chain20", sources=[])], cmdclass={"build_ext": CMakeBuild})
