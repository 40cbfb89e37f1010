"""The package's surface: its version is the CMake project's, its public
names are exactly __all__, and a library beside the modules is loaded
before any other (the wheel's layout)."""
import os
import re
import shutil
import subprocess
import sys
import types

import zimrax
from zimrax import _native

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def project_version():
    with open(os.path.join(os.path.dirname(PYTHON_DIR), "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        return re.search(r"project\(ZimraxFileIO VERSION ([0-9.]+)", cmake_lists.read()).group(1)


def test_version_is_the_projects_and_the_librarys():
    assert zimrax.__version__ == project_version() == zimrax.library_version()


def test_public_names_are_all_and_nothing_else():
    submodules = {name for name, value in vars(zimrax).items() if isinstance(value, types.ModuleType)
                  and value.__name__.startswith("zimrax.")}
    public = {name for name in dir(zimrax) if not name.startswith("_")} - submodules
    assert public == set(zimrax.__all__)
    assert {name for name in submodules if not name.startswith("_")} <= {"starlette"}
    for name in zimrax.__all__:
        assert name == "DEFAULT_MAX_VALUE_BYTES" or getattr(zimrax, name).__module__ == "zimrax"


def test_the_starlette_module_shows_only_all():
    import zimrax.starlette
    assert {name for name in dir(zimrax.starlette) if not name.startswith("_")} == set(zimrax.starlette.__all__)


def test_the_library_beside_the_modules_comes_first(tmp_path):
    # A copy of the package with the library inside, as the wheel installs
    # it; ZIMRAX_LIBRARY names a file that does not exist and must not matter.
    package = tmp_path / "zimrax"
    shutil.copytree(os.path.join(PYTHON_DIR, "zimrax"), package, ignore=shutil.ignore_patterns("__pycache__"))
    (package / "_version.py").write_text('__version__ = "9.9"\n')
    shutil.copy(_native.library_path, package / "libzimraxfileio.so.1")
    environment = dict(os.environ, ZIMRAX_LIBRARY=str(tmp_path / "missing.so"), PYTHONDONTWRITEBYTECODE="1")
    out = subprocess.run([sys.executable, "-c", "import zimrax, zimrax._native as n; print(n.library_path); "
                          "print(zimrax.__version__)"], cwd=tmp_path, env=environment, capture_output=True,
                         text=True, check=True).stdout.split()
    assert out == [str(package / "libzimraxfileio.so.1"), "9.9"]
