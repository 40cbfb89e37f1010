"""Loads libzimraxfileio and declares the C interface (zimrax/zimrax_c.h).

The library is looked for, in order:

1. beside this module: the wheel (the CMake target python_wheel) and
   `pip install ./python` from a checkout with a build carry it there;
2. the path in the ZIMRAX_LIBRARY environment variable;
3. beside an installation: a lib/ directory (or lib/<multiarch>/) of the
   package's own directory or of one of its parents, so a package installed
   under the same prefix as the library finds it;
4. the build tree of a source checkout (build/*/src/);
5. wherever the dynamic loader finds libzimraxfileio.so.1.
"""

import ctypes
import ctypes.util
import glob
import os
import sysconfig

_SONAME = "libzimraxfileio.so.1"

CALL_OK = 0
CALL_BAD_ARGUMENT = -1
CALL_NO_MEMORY = -2
CALL_BAD_STATE = -3
CALL_FAILED = -4

CONFLICT_UNSET = -1
CONFLICT_ERROR = 0
CONFLICT_OVERWRITE = 1
CONFLICT_MAKEUNIQUE = 2

STATUS_DONE = 0
STATUS_LIMIT_EXCEEDED = 1
STATUS_DISCARDED = 2


class CResult(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_int32),
        ("error_code_is_int32", ctypes.c_int),
        ("fault", ctypes.c_int32),
        ("platform_errno", ctypes.c_int),
        ("bytes", ctypes.POINTER(ctypes.c_uint8)),
        ("length", ctypes.c_size_t),
        ("stored_name", ctypes.c_char_p),
        ("replaced", ctypes.c_int),
        ("status", ctypes.c_int),
        ("field", ctypes.c_char_p),
        ("internal", ctypes.c_void_p),
    ]


class CValueField(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("max_bytes", ctypes.c_size_t)]


class CStreamOptions(ctypes.Structure):
    _fields_ = [
        ("directory", ctypes.c_char_p),
        ("file_fields", ctypes.POINTER(ctypes.c_char_p)),
        ("file_field_count", ctypes.c_size_t),
        ("value_fields", ctypes.POINTER(CValueField)),
        ("value_field_count", ctypes.c_size_t),
        ("policy", ctypes.c_int),
        ("max_first_line", ctypes.c_size_t),
    ]


def _candidates():
    here = os.path.dirname(os.path.abspath(__file__))
    bundled = os.path.join(here, _SONAME)
    if os.path.exists(bundled):
        yield bundled
    explicit = os.environ.get("ZIMRAX_LIBRARY")
    if explicit:
        yield explicit
        return
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    directory = here
    while True:
        for lib in ("lib", "lib64", os.path.join("lib", multiarch) if multiarch else None):
            if lib:
                yield os.path.join(directory, lib, _SONAME)
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    # A source checkout: python/zimrax/ beside build/<preset>/src/.
    checkout = os.path.dirname(os.path.dirname(here))
    for preset in ("release", "debug", "asan"):
        yield os.path.join(checkout, "build", preset, "src", _SONAME)
    yield from sorted(glob.glob(os.path.join(checkout, "build", "*", "src", _SONAME)))
    yield ctypes.util.find_library("zimraxfileio") or _SONAME


def _load():
    tried = []
    for path in _candidates():
        if os.path.sep in path and not os.path.exists(path):
            tried.append(path)
            continue
        try:
            return ctypes.CDLL(path), path
        except OSError as error:
            tried.append("%s (%s)" % (path, error))
    raise ImportError("zimrax: cannot load libzimraxfileio; set ZIMRAX_LIBRARY to its path. Tried: "
                      + "; ".join(tried))


lib, library_path = _load()

_P = ctypes.POINTER
class CSweepReport(ctypes.Structure):
    _fields_ = [("removed", ctypes.c_size_t), ("kept_recent", ctypes.c_size_t), ("error_number", ctypes.c_int)]


_u8p = _P(ctypes.c_uint8)


def _declare(name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


_declare("zimrax_version", ctypes.c_char_p)
_declare("zimrax_conflict_parse", ctypes.c_int, ctypes.c_char_p)
_declare("zimrax_save", ctypes.c_int, _u8p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
         _P(CResult))
_declare("zimrax_value", ctypes.c_int, _u8p, ctypes.c_size_t, ctypes.c_char_p, _P(CResult))
_declare("zimrax_result_free", None, _P(CResult))
_declare("zimrax_stream_new", ctypes.c_int, _P(CStreamOptions), _P(ctypes.c_void_p))
_declare("zimrax_stream_feed", ctypes.c_int, ctypes.c_void_p, _u8p, ctypes.c_size_t)
_declare("zimrax_stream_discard", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)
_declare("zimrax_stream_finish", ctypes.c_int, ctypes.c_void_p, ctypes.c_int, _P(ctypes.c_void_p))
_declare("zimrax_stream_abort", None, ctypes.c_void_p)
_declare("zimrax_stream_free", None, ctypes.c_void_p)
_declare("zimrax_outcome_file_count", ctypes.c_size_t, ctypes.c_void_p)
_declare("zimrax_outcome_file", _P(CResult), ctypes.c_void_p, ctypes.c_size_t)
_declare("zimrax_outcome_value_count", ctypes.c_size_t, ctypes.c_void_p)
_declare("zimrax_outcome_value", _P(CResult), ctypes.c_void_p, ctypes.c_size_t)
_declare("zimrax_outcome_section_count", ctypes.c_size_t, ctypes.c_void_p)
_declare("zimrax_outcome_section", ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, _P(ctypes.c_size_t))
_declare("zimrax_outcome_more_sections", ctypes.c_int, ctypes.c_void_p)
_declare("zimrax_outcome_free", None, ctypes.c_void_p)
_declare("zimrax_remove_abandoned_temp_files", ctypes.c_int, ctypes.c_char_p, ctypes.c_int64, _P(CSweepReport))
