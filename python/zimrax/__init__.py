"""ZimraxFileIO from Python: reads the fields of a multipart/form-data body
and stores its uploaded files, through the library's C interface.

    import zimrax

    title = zimrax.value(body, "title")          # title.text == "Q3"
    saved = zimrax.save(body, "doc", "/srv/uploads", conflict="makeunique")
    if saved.ok:
        print("stored as", saved.stored_name)

    # The body in pieces, file data written to disk as it arrives:
    with zimrax.Upload("/srv/uploads", files=["doc"], values=["title"]) as upload:
        for piece in pieces:
            upload.feed(piece)
        outcome = upload.finish(conflict="makeunique")

    # Once at start-up, before taking uploads into a directory: removes the
    # temporary files of saves that were killed part-way.
    swept = zimrax.remove_abandoned_temp_files("/srv/uploads")

Each field ends with a Result: .code (0, 101-106, or a platform error
number 53-76), .ok, .text, .bytes, .stored_name, .replaced and .fault
(6 overflow, 9 subscript out of range; 0 for none). A call that cannot run
at all (a bad argument, a stream used after it ended) raises instead.
zimrax.__version__ is the package's version (the CMake project's);
zimrax.starlette reads Starlette and FastAPI requests into an Upload.
"""

# Imported under private names, so that the package's public names are
# exactly __all__ (and __version__).
import ctypes as _ctypes
import os as _os

from . import _native
from ._version import __version__  # noqa: F401  (re-exported)

__all__ = ["Error", "StateError", "Result", "Outcome", "Upload", "save", "value", "library_version",
           "DEFAULT_MAX_VALUE_BYTES", "SweepReport", "remove_abandoned_temp_files", "Part", "Parts", "parts"]

# The most bytes of a value field an Upload keeps unless told otherwise.
DEFAULT_MAX_VALUE_BYTES = 64 * 1024

_CONFLICTS = {
    "error": _native.CONFLICT_ERROR,
    "overwrite": _native.CONFLICT_OVERWRITE,
    "makeunique": _native.CONFLICT_MAKEUNIQUE,
}
_STATUSES = {
    _native.STATUS_DONE: "done",
    _native.STATUS_LIMIT_EXCEEDED: "limit_exceeded",
    _native.STATUS_DISCARDED: "discarded",
}


class Error(Exception):
    """A call the library could not run."""


class StateError(Error):
    """An Upload fed, discarded or finished after it ended."""


def _check(call, state_message="zimrax: the upload has already ended"):
    if call == _native.CALL_OK:
        return
    if call == _native.CALL_BAD_ARGUMENT:
        raise ValueError("zimrax: argument refused by the library")
    if call == _native.CALL_NO_MEMORY:
        raise MemoryError("zimrax: out of memory")
    if call == _native.CALL_BAD_STATE:
        raise StateError(state_message)
    raise Error("zimrax: internal failure (%d)" % call)


def _name(name):
    encoded = name if isinstance(name, bytes) else str(name).encode("utf-8", "surrogateescape")
    if b"\0" in encoded:
        raise ValueError("zimrax: a field name cannot hold a NUL byte")
    return encoded


def _directory(directory):
    encoded = _os.fsencode(directory)
    if b"\0" in encoded:
        raise ValueError("zimrax: a directory cannot hold a NUL byte")
    return encoded


def _conflict(conflict, allow_unset=False):
    if conflict is None and allow_unset:
        return _native.CONFLICT_UNSET
    try:
        return _CONFLICTS[str(conflict).lower()]
    except KeyError:
        raise ValueError("zimrax: conflict must be 'error', 'overwrite' or 'makeunique', not %r" % (conflict,))


def _buffer(data):
    """A pointer to the bytes of `data`, its length, and what keeps it alive."""
    if isinstance(data, bytes):
        return _ctypes.cast(_ctypes.c_char_p(data), _native._u8p), len(data), data
    view = memoryview(data).cast("B")
    if view.readonly:
        copy = view.tobytes()
        return _ctypes.cast(_ctypes.c_char_p(copy), _native._u8p), len(copy), copy
    array = (_ctypes.c_uint8 * len(view)).from_buffer(view)
    return _ctypes.cast(array, _native._u8p), len(view), array


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


class Result:
    """How one operation on one field ended."""

    __slots__ = ("field", "code", "error_code_is_int32", "fault", "platform_errno", "bytes", "stored_name",
                 "replaced", "status")

    def __init__(self, c_result):
        self.field = _text(c_result.field or b"")
        self.code = c_result.code
        self.error_code_is_int32 = bool(c_result.error_code_is_int32)
        self.fault = c_result.fault
        self.platform_errno = c_result.platform_errno
        self.bytes = _ctypes.string_at(c_result.bytes, c_result.length) if c_result.length else b""
        self.stored_name = _text(c_result.stored_name or b"")
        self.replaced = bool(c_result.replaced)
        self.status = _STATUSES.get(c_result.status, "done")

    @property
    def ok(self):
        """True for code 0 without a fault, on a field that was not cut off."""
        return self.code == 0 and self.fault == 0 and self.status == "done"

    @property
    def text(self):
        """The result bytes as text: the stored name or the value on success,
        otherwise the code's message. UTF-8; bytes that are not UTF-8 come
        back as surrogate escapes, so text.encode("utf-8",
        "surrogateescape") == bytes."""
        return _text(self.bytes)

    def __repr__(self):
        return "Result(field=%r, code=%d, text=%r, fault=%d, status=%r)" % (
            self.field, self.code, self.text, self.fault, self.status)


def library_version():
    """The version of the loaded libzimraxfileio, e.g. "1.0.0.0"."""
    return _native.lib.zimrax_version().decode("ascii")


class SweepReport:
    """What remove_abandoned_temp_files did: .removed files, .kept_recent
    (unlocked but modified within the minimum age)."""

    __slots__ = ("removed", "kept_recent")

    def __init__(self, removed, kept_recent):
        self.removed = removed
        self.kept_recent = kept_recent

    def __repr__(self):
        return "SweepReport(removed=%d, kept_recent=%d)" % (self.removed, self.kept_recent)


def remove_abandoned_temp_files(directory, min_age_seconds=0):
    """Removes the hidden temporary files that saves killed part-way left in
    `directory`: those whose writer is gone (live saves, in any process,
    keep theirs) and which were last modified at least `min_age_seconds`
    ago. Never touches any other entry. Raises OSError when the directory
    cannot be read, ValueError for a negative age."""
    if min_age_seconds < 0:
        raise ValueError("zimrax: min_age_seconds cannot be negative")
    report = _native.CSweepReport()
    _check(_native.lib.zimrax_remove_abandoned_temp_files(_directory(directory), int(min_age_seconds),
                                                           _ctypes.byref(report)))
    if report.error_number != 0:
        raise OSError(report.error_number, _os.strerror(report.error_number), _os.fsdecode(_directory(directory)))
    return SweepReport(report.removed, report.kept_recent)


def save(body, field, directory, conflict="error"):
    """Stores the file of the file-upload field `field` of `body` (bytes or
    any bytes-like object) in `directory` under the file name the browser
    sent. `conflict` is "error", "overwrite" or "makeunique", in any case."""
    pointer, length, keep = _buffer(body)
    c_result = _native.CResult()
    _check(_native.lib.zimrax_save(pointer, length, _name(field), _directory(directory), _conflict(conflict),
                                   _ctypes.byref(c_result)))
    try:
        return Result(c_result)
    finally:
        _native.lib.zimrax_result_free(_ctypes.byref(c_result))
        del keep


def value(body, field):
    """The value of the field `field` of `body`; for a file-upload field, the
    file name the browser sent."""
    pointer, length, keep = _buffer(body)
    c_result = _native.CResult()
    _check(_native.lib.zimrax_value(pointer, length, _name(field), _ctypes.byref(c_result)))
    try:
        return Result(c_result)
    finally:
        _native.lib.zimrax_result_free(_ctypes.byref(c_result))
        del keep


class Outcome:
    """What Upload.finish returns: a Result per field, in the order given,
    and the names of the sections the body held (at most 200)."""

    def __init__(self, files, values, sections, more_sections):
        self.files = files
        self.values = values
        self.sections = sections
        self.more_sections = more_sections

    def file(self, name):
        """The Result of the file field `name`."""
        return next(r for r in self.files if r.field == name)

    def value(self, name):
        """The Result of the value field `name`."""
        return next(r for r in self.values if r.field == name)

    def __repr__(self):
        return "Outcome(files=%r, values=%r, sections=%r)" % (self.files, self.values, self.sections)


class Upload:
    """One request body fed in pieces of any size. The file fields in
    `files` are written to `directory` as their data arrives and published
    by finish(); the fields in `values` are read, each up to
    DEFAULT_MAX_VALUE_BYTES unless given as a (name, max_bytes) pair.
    `conflict`, when known before the body, refuses a taken name under
    "error" before any byte is written.

    As a context manager it aborts on leaving unless finished: an upload
    that fails part way leaves nothing behind. Use one Upload from one
    thread at a time."""

    def __init__(self, directory=None, files=(), values=(), conflict=None, max_first_line=0):
        file_names = [_name(f) for f in files]
        wanted_values = []
        for item in values:
            name, limit = (item, DEFAULT_MAX_VALUE_BYTES) if isinstance(item, (str, bytes)) else item
            wanted_values.append(_native.CValueField(_name(name), int(limit)))
        if file_names and directory is None:
            raise ValueError("zimrax: file fields need a directory")
        options = _native.CStreamOptions()
        options.directory = _directory(directory) if directory is not None else None
        options.file_fields = (_ctypes.c_char_p * max(1, len(file_names)))(*file_names)
        options.file_field_count = len(file_names)
        options.value_fields = (_native.CValueField * max(1, len(wanted_values)))(*wanted_values)
        options.value_field_count = len(wanted_values)
        options.policy = _conflict(conflict, allow_unset=True)
        options.max_first_line = max_first_line
        self._handle = _ctypes.c_void_p()
        _check(_native.lib.zimrax_stream_new(_ctypes.byref(options), _ctypes.byref(self._handle)))
        self._ended = False

    def feed(self, data):
        """Takes the next piece of the body (bytes-like, any length)."""
        pointer, length, keep = _buffer(data)
        _check(_native.lib.zimrax_stream_feed(self._live(), pointer, length))
        del keep

    def discard(self, field):
        """Drops the file field `field`: whatever was written for it is
        removed, and it ends with status "discarded"."""
        _check(_native.lib.zimrax_stream_discard(self._live(), _name(field)))

    def finish(self, conflict=None):
        """Ends the body, publishes the file fields in order and returns the
        Outcome. `conflict` applies when none was given to the constructor
        ("error" when neither was)."""
        outcome = _ctypes.c_void_p()
        policy = _conflict(conflict, allow_unset=True)
        handle = self._live()
        self._ended = True
        _check(_native.lib.zimrax_stream_finish(handle, policy, _ctypes.byref(outcome)))
        try:
            lib = _native.lib
            files = [Result(lib.zimrax_outcome_file(outcome, i).contents)
                     for i in range(lib.zimrax_outcome_file_count(outcome))]
            values = [Result(lib.zimrax_outcome_value(outcome, i).contents)
                      for i in range(lib.zimrax_outcome_value_count(outcome))]
            sections = []
            for i in range(lib.zimrax_outcome_section_count(outcome)):
                length = _ctypes.c_size_t()
                address = lib.zimrax_outcome_section(outcome, i, _ctypes.byref(length))
                sections.append(_text(_ctypes.string_at(address, length.value)))
            more = bool(lib.zimrax_outcome_more_sections(outcome))
            return Outcome(files, values, sections, more)
        finally:
            _native.lib.zimrax_outcome_free(outcome)
            self.close()

    def abort(self):
        """Ends the body without publishing anything; nothing is left behind."""
        if self._handle:
            _native.lib.zimrax_stream_abort(self._handle)
        self._ended = True

    def close(self):
        """Aborts unless finished, and releases the stream."""
        if self._handle:
            _native.lib.zimrax_stream_free(self._handle)
            self._handle = _ctypes.c_void_p()
        self._ended = True

    def _live(self):
        if self._ended or not self._handle:
            raise StateError("zimrax: the upload has already ended")
        return self._handle

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __del__(self):
        handle = getattr(self, "_handle", None)
        if handle:
            _native.lib.zimrax_stream_free(handle)


from ._parts import Part, Parts, parts  # noqa: E402  (walking every part)
# Shown as zimrax.Part and so on, like the rest of the public names.
Part.__module__ = Parts.__module__ = parts.__module__ = __name__
