"""Builds the zimrax package from one of two trees:

- the tree the CMake target python_wheel stages: zimrax/_version.py holds
  the version and zimrax/ holds libzimraxfileio.so.1;
- python/ of a source checkout (`pip install ./python`): the version comes
  from the checkout's CMakeLists.txt and the library from its build
  (build/release, else build/debug) when there is one.

A package that carries the library is a platform wheel (py3-none-<platform>)
and loads it from beside its modules; without one the package is pure and
looks for the library as zimrax/_native.py describes.
"""
import os
import runpy
import shutil

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
SONAME = "libzimraxfileio.so.1"
VERSION = runpy.run_path(os.path.join(HERE, "zimrax", "_version.py"))["__version__"]


def bundled_library():
    """The shared library the package carries, or None."""
    staged = os.path.join(HERE, "zimrax", SONAME)
    if os.path.exists(staged):
        return staged
    for preset in ("release", "debug"):
        built = os.path.join(os.path.dirname(HERE), "build", preset, "src", SONAME)
        if os.path.exists(built):
            return built
    return None


class BuildPyWithLibrary(build_py):
    """Writes the version into _version.py and puts the library beside the modules."""

    def run(self):
        super().run()
        package = os.path.join(self.build_lib, "zimrax")
        with open(os.path.join(package, "_version.py"), "w", encoding="utf-8") as version_file:
            version_file.write('"""The package\'s version."""\n__version__ = %r\n' % VERSION)
        library = bundled_library()
        if library:
            shutil.copy(library, os.path.join(package, SONAME))  # the file a link names, not the link


class DistributionWithLibrary(Distribution):
    """Machine code inside makes the package a platform one (installed
    into platlib, its wheel not pure)."""

    def has_ext_modules(self):
        return bundled_library() is not None


class PlatformWheel(bdist_wheel):
    """py3-none-<platform> when the library is inside: it is machine code,
    but loaded with ctypes, so any Python 3 and no ABI of its own."""

    def get_tag(self):
        python, abi, platform = super().get_tag()
        return ("py3", "none", platform) if not self.root_is_pure else (python, abi, platform)


setup(version=VERSION, distclass=DistributionWithLibrary, cmdclass={"build_py": BuildPyWithLibrary, "bdist_wheel": PlatformWheel})
