"""Walking every part of a multipart/form-data body, over the C pull
interface (zimrax_parts_* in zimrax/zimrax_c.h).

    walk = zimrax.parts(request_body_file, directory="/srv/uploads", conflict="makeunique")
    for part in walk:
        if part.filename is not None:
            part.save()                      # stored; part.result once the walk ends
        elif part.name == "comment":
            comment = part.read(4096)        # the value, at once
        else:
            for chunk in part.chunks():      # the data, piece by piece
                ...
    for part in walk.parts:                  # every part, with its .result
        ...

A part that is neither saved, read nor iterated is skipped. The framing is
the component's own: the body's first line is the delimiter. A body whose
first line is empty has a one-NUL-byte delimiter and starts over when a NUL
comes: the parts handed out before are then marked .voided and come again.
"""

import collections
import ctypes
import os

from . import _native

_EVENT_NONE, _EVENT_PART, _EVENT_DATA, _EVENT_RESTART = 0, 1, 2, 3
_SKIP, _STORE, _READ, _TAP = 0, 1, 2, 3
_STATUSES = {0: "done", 1: "limit_exceeded", 3: "skipped", 4: "header_too_long"}
_CONFLICTS = {None: -1, "error": 0, "overwrite": 1, "makeunique": 2}


class _Options(ctypes.Structure):
    _fields_ = [("directory", ctypes.c_char_p), ("max_parts", ctypes.c_size_t),
                ("max_header_bytes", ctypes.c_size_t), ("max_first_line", ctypes.c_size_t)]


class _Event(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("index", ctypes.c_size_t),
                ("name", ctypes.c_void_p), ("name_length", ctypes.c_size_t),
                ("has_file_name", ctypes.c_int), ("file_name", ctypes.c_void_p), ("file_name_length", ctypes.c_size_t),
                ("content_type", ctypes.c_char_p),
                ("header_lines", ctypes.POINTER(ctypes.c_char_p)), ("header_line_count", ctypes.c_size_t),
                ("data_found", ctypes.c_int),
                ("data", ctypes.c_void_p), ("data_length", ctypes.c_size_t)]


def _declare(lib):
    handle, size = ctypes.c_void_p, ctypes.c_size_t
    lib.zimrax_parts_new.argtypes = [ctypes.POINTER(_Options), ctypes.POINTER(handle)]
    lib.zimrax_parts_feed.argtypes = [handle, ctypes.c_char_p, size]
    lib.zimrax_parts_next.argtypes = [handle, ctypes.POINTER(_Event)]
    lib.zimrax_parts_end.argtypes = [handle]
    lib.zimrax_parts_decide.argtypes = [handle, size, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, size, ctypes.c_int]
    lib.zimrax_parts_finish.argtypes = [handle, ctypes.c_int, ctypes.POINTER(handle)]
    lib.zimrax_parts_free.argtypes = [handle]
    lib.zimrax_parts_free.restype = None
    lib.zimrax_parts_outcome_status.argtypes = [handle]
    lib.zimrax_parts_outcome_count.argtypes = [handle]
    lib.zimrax_parts_outcome_count.restype = size
    lib.zimrax_parts_outcome_part.argtypes = [handle, size]
    lib.zimrax_parts_outcome_part.restype = ctypes.POINTER(_native.CResult)
    lib.zimrax_parts_outcome_free.argtypes = [handle]
    lib.zimrax_parts_outcome_free.restype = None
    for name in ("new", "feed", "end", "next", "decide", "finish"):
        getattr(lib, "zimrax_parts_" + name).restype = ctypes.c_int
    return lib


_lib = _declare(_native.lib)


def _check(call, state_message="zimrax: the walk has ended"):
    from . import _check as check_call  # the package's one mapping of call results
    check_call(call, state_message)


def _directory(directory):
    encoded = os.fsencode(directory)
    if b"\0" in encoded:
        raise ValueError("zimrax: a directory cannot hold a NUL byte")
    return encoded


def _conflict(conflict):
    key = None if conflict is None else str(conflict).lower()
    if key not in _CONFLICTS:
        raise ValueError("zimrax: conflict must be 'error', 'overwrite' or 'makeunique', not %r" % (conflict,))
    return _CONFLICTS[key]


class Part:
    """One part: .index, .name, .filename (None without one), .content_type,
    .headers (the other header lines), and after the walk .result (a
    zimrax.Result for a saved or read part, else None) and .status."""

    def __init__(self, walk, event):
        def text(address, length):
            return ctypes.string_at(address, length).decode("utf-8", "surrogateescape") if length else ""
        self._walk = walk
        self._decided = False
        self.index = event.index
        self.name = text(event.name, event.name_length)
        self.filename = text(event.file_name, event.file_name_length) if event.has_file_name else None
        self.content_type = event.content_type.decode("utf-8", "surrogateescape")
        self.headers = [event.header_lines[i].decode("utf-8", "surrogateescape")
                        for i in range(event.header_line_count)]
        self.result = None
        self.status = "skipped"
        self.voided = False

    def save(self, directory=None, conflict=None):
        """Stores the part as zimrax.save stores a file field, in
        `directory` (the walk's when None), under `conflict` (the walk's when
        None). Published when the walk ends; see .result."""
        self._decide(_STORE, directory=directory, conflict=conflict)
        return self

    def read(self, max_bytes=64 * 1024):
        """The part's value as bytes, as zimrax.value reads it (a file part's
        is its file name). Raises ValueError past `max_bytes`."""
        if self.filename is not None:
            self._decide(_READ, max_bytes=max_bytes)
            value = self.filename.encode("utf-8", "surrogateescape")
        else:
            self._decide(_READ, max_bytes=max_bytes, tap=True)
            value = b"".join(self._walk._data_of(self.index))
        if len(value) > max_bytes:
            raise ValueError("zimrax: the value of %r is longer than %d bytes" % (self.name, max_bytes))
        return value

    def chunks(self):
        """The part's data, piece by piece, as it arrives."""
        self._decide(_TAP)
        return self._walk._data_of(self.index)

    def _decide(self, action, directory=None, conflict=None, max_bytes=0, tap=False):
        message = "zimrax: part %d can no longer be decided: decide it before taking the next part" % self.index
        if self._decided:
            raise ValueError("zimrax: part %d was already decided" % self.index)
        self._decided = True
        where = None if directory is None else _directory(directory)
        _check(_lib.zimrax_parts_decide(self._walk._handle, self.index, action, where, _conflict(conflict),
                                        max_bytes, 1 if tap else 0), message)

    def __repr__(self):
        return "Part(index=%d, name=%r, filename=%r, content_type=%r)" % (
            self.index, self.name, self.filename, self.content_type)


class Parts:
    """The iterator zimrax.parts returns; .parts lists every part handed
    out and .status ("ok", "too_many_parts", "first_line_too_long") once
    the iteration has ended."""

    def __init__(self, source, directory=None, conflict="error", chunk_size=64 * 1024, max_parts=0,
                 max_header_bytes=0, max_first_line=0):
        if hasattr(source, "read"):
            self._read = lambda: source.read(chunk_size)
        else:
            pieces = iter(source)
            self._read = lambda: next(pieces, b"")
        self._conflict = _conflict(conflict)
        self._pending = collections.deque()
        self._body_ended = False
        self._ended = False
        self.parts = []
        self.status = None
        options = _Options(_directory(directory) if directory is not None else None, max_parts, max_header_bytes,
                           max_first_line)
        self._handle = ctypes.c_void_p()
        _check(_lib.zimrax_parts_new(ctypes.byref(options), ctypes.byref(self._handle)))

    def __iter__(self):
        try:
            while True:
                event = self._next()
                if event is None:
                    break
                if event[0] == _EVENT_PART:
                    self.parts.append(event[1])
                    yield event[1]
                elif event[0] == _EVENT_RESTART:
                    for part in self.parts:
                        part.voided = True
                    self.parts = []
            self._finish()
        finally:
            self.close()

    def _data_of(self, index):
        """The DATA events of part `index`, up to the next event of another."""
        while True:
            event = self._next()
            if event is None:
                return
            if event[0] != _EVENT_DATA or event[1] != index:
                self._pending.appendleft(event)
                return
            yield event[2]

    def _next(self):
        """The next event as a tuple, feeding the source as needed; None at its end."""
        if self._pending:
            return self._pending.popleft()
        event = _Event()
        while not self._ended:
            _check(_lib.zimrax_parts_next(self._handle, ctypes.byref(event)))
            if event.kind == _EVENT_PART:
                return (_EVENT_PART, Part(self, event))
            if event.kind == _EVENT_DATA:
                return (_EVENT_DATA, event.index, ctypes.string_at(event.data, event.data_length))
            if event.kind == _EVENT_RESTART:
                return (_EVENT_RESTART,)
            if self._body_ended:
                self._ended = True
                return None
            piece = self._read()
            if not piece:
                # The last data and the parts whose headers never ended come now.
                self._body_ended = True
                _check(_lib.zimrax_parts_end(self._handle))
                continue
            piece = bytes(piece)
            _check(_lib.zimrax_parts_feed(self._handle, piece, len(piece)))
        return None

    def _finish(self):
        from . import Result
        outcome = ctypes.c_void_p()
        _check(_lib.zimrax_parts_finish(self._handle, self._conflict, ctypes.byref(outcome)))
        try:
            self.status = ("ok", "too_many_parts", "first_line_too_long")[_lib.zimrax_parts_outcome_status(outcome)]
            for i in range(min(len(self.parts), _lib.zimrax_parts_outcome_count(outcome))):
                c_result = _lib.zimrax_parts_outcome_part(outcome, i).contents
                part = self.parts[i]
                part.status = _STATUSES.get(c_result.status, "done")
                if part.status in ("done", "limit_exceeded"):
                    part.result = Result(c_result)
        finally:
            _lib.zimrax_parts_outcome_free(outcome)

    def close(self):
        """Ends the walk without publishing anything unless it finished."""
        if self._handle:
            _lib.zimrax_parts_free(self._handle)
            self._handle = ctypes.c_void_p()

    def __del__(self):
        if getattr(self, "_handle", None):
            _lib.zimrax_parts_free(self._handle)


def parts(source, directory=None, conflict="error", chunk_size=64 * 1024, max_parts=0, max_header_bytes=0,
          max_first_line=0):
    """Walks every part of the body read from `source` (a binary file
    object, read `chunk_size` bytes at a time, or an iterable of bytes).
    Saved parts go to `directory` under `conflict` unless their save()
    names others; 0 for a limit is the library's default (1000 parts, 16 KiB
    of headers per part, 8 KiB of first line)."""
    return Parts(source, directory, conflict, chunk_size, max_parts, max_header_bytes, max_first_line)
