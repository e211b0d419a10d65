"""Builds the Python package `vantrel` with the project's CMake: the compiled module comes from
the target _vantrel, the pure-Python layer from python/vantrel. Extra CMake options can be given
in the environment variable CMAKE_ARGS (for example a compiler launcher)."""
import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(vantrel VERSION ([0-9.]+)", f.read()).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        configure = [
            "cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DVANTREL_TESTS=OFF", "-DVANTREL_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", build, "--target", "_vantrel",
                               "-j", str(os.cpu_count() or 1)])
        package = os.path.join(build, "python", "vantrel")
        built = [f for f in os.listdir(package) if f.startswith("_vantrel") and f.endswith(".so")]
        if len(built) != 1:
            raise RuntimeError(f"expected one _vantrel module in {package}, found {built}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(package, built[0]), target)


setup(
    name="vantrel",
    version=project_version(),
    description="The Vantrel interface board and its converters from Python",
    python_requires=">=3.9",
    packages=["vantrel"],
    package_dir={"": "python"},
    package_data={"vantrel": ["*.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("vantrel._vantrel")],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    # setuptools builds in ./build by default, which is the project's own CMake build folder
    # (make, ctest): pip's copies and its CMake tree go beside it instead.
    options={"build": {"build_base": os.path.join(ROOT, "build-pip")}},
)
