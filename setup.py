"""Builds the native engine with the project's CMake build and packages it.

The wheel holds one shared object, `tarnwick_parser<EXT_SUFFIX>`. The second module name,
`tarnwick_vm_engine`, is a small loader (pymodules/tarnwick_vm_engine.py) that opens the same file, so the
process maps the library once and both modules share its state. Needs cmake, a C++20 compiler and the
CPython headers; nothing is downloaded.
"""
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))
STUBS = ("tarnwick_parser.pyi", "tarnwick_vm_engine.pyi")


class CMakeBuild(build_ext):
    """Runs the CMake build for the module target only.

    TARNWICK_CMAKE_BUILD_DIR names a build directory to use instead of a private one; when it is already
    configured (for example the `build/` of scripts/build.sh) it is only brought up to date, so packaging
    does not compile the engine a second time.
    """

    def build_extension(self, ext):
        build_dir = os.environ.get("TARNWICK_CMAKE_BUILD_DIR") or os.path.join(
            os.path.abspath(self.build_temp), "cmake")
        build_dir = os.path.abspath(build_dir)
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            subprocess.check_call([
                "cmake", "-S", ROOT, "-B", build_dir,
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DTARNWICK_TESTS=OFF",
            ])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "tarnwick_module", "-j", jobs])
        built = os.path.join(build_dir, "python", "tarnwick_parser" + sysconfig.get_config_var("EXT_SUFFIX"))
        dest = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(built, dest)


class BuildPyWithStubs(build_py):
    """Also installs the type stubs of the two extension modules next to them."""

    def run(self):
        super().run()
        for name in STUBS:
            self.copy_file(os.path.join(ROOT, "pymodules", name), os.path.join(self.build_lib, name))


setup(
    packages=["tarnwick"],
    package_dir={"tarnwick": "tarnwick", "": "pymodules"},
    package_data={"tarnwick": ["py.typed", "*.pyi"]},
    py_modules=["tarnwick_vm_engine"],
    ext_modules=[Extension("tarnwick_parser", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "build_py": BuildPyWithStubs},
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
