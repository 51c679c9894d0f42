"""Builds the package chain20 (its native part with the project's own CMake build,
the core's rounding flags included) for the interpreter that runs pip, with the
system's pybind11: no download."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

# What the build and the package need from the interpreter that runs pip.
NEEDED = ("setuptools", "wheel", "pybind11", "numpy")


def interpreter_with(modules):
    """The first python3 on PATH, or Debian's, that can import all of `modules`."""
    candidates = [os.path.join(folder, "python3") for folder in os.environ.get("PATH", "").split(os.pathsep)]
    for candidate in dict.fromkeys(candidates + ["/usr/bin/python3"]):
        if os.access(candidate, os.X_OK) and subprocess.run(
                [candidate, "-c", "import " + ", ".join(modules)], capture_output=True).returncode == 0:
            return candidate
    return None


def refuse_without_the_build_modules():
    """One line, before any build output, when this interpreter lacks what the build needs."""
    missing = [name for name in NEEDED if importlib.util.find_spec(name) is None]
    if missing:
        other = interpreter_with(missing)
        sys.exit(f"chain20: {sys.executable} has no {', '.join(missing)}; "
                 + (f"{other} has them: make the venv with it ({other} -m venv --system-site-packages ...)"
                    if other else "install them (bash scripts/install-deps.sh) and make the venv again"))


refuse_without_the_build_modules()

from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402

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
