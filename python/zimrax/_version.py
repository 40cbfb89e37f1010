"""The package's version, which the CMake project() of the source tree
declares. A built package (the wheel of the python_wheel target, or
`pip install ./python`) carries this file with the version written in; in a
source checkout it is read from the top CMakeLists.txt."""
import os
import re


def _from_checkout():
    top = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as cmake_lists:
            match = re.search(r"^project\(\s*ZimraxFileIO\s+VERSION\s+([0-9.]+)", cmake_lists.read(), re.M)
    except OSError:
        match = None
    if not match:
        raise ImportError("zimrax: no version: %s is not the package of a ZimraxFileIO checkout; build the "
                          "wheel with `cmake --build BUILD --target python_wheel`" % os.path.dirname(top))
    return match.group(1)


__version__ = _from_checkout()
