"""Makes the package in python/ importable without installing it; the
library comes from ZIMRAX_LIBRARY (ctest points it at the build tree) or
the package's own search."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
