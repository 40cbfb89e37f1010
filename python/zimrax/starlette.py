"""Uploads in Starlette and FastAPI: the request's body stream goes straight
into a zimrax.Upload, so file data is written once, to its destination,
as it arrives; nothing is spooled to memory or to a temporary file.

    from fastapi import FastAPI, Request
    import zimrax.starlette

    app = FastAPI()

    @app.post("/upload")
    async def upload(request: Request):
        outcome = await zimrax.starlette.receive_upload(
            request, "/srv/uploads", files=["doc"], values=["title"], conflict="makeunique")
        return {"stored": outcome.file("doc").stored_name, "title": outcome.value("title").text}

The component's work (creating, writing and publishing files) runs in one
worker thread per request, off the event loop, while the loop reads the
next pieces; a bounded buffer between them holds the loop back when the
disk is slower than the network. The worker threads count against a
limiter of their own (MAX_UPLOAD_THREADS), not anyio's default one.

A request that cannot be an upload raises a BadUpload before anything is
stored: it is a Starlette HTTPException too, so an application that does
not catch it answers with its status (400, 413 or 415) and message.
"""
# Imported under private names: the module's public names are __all__.
import email.message as _email_message
import email.utils as _email_utils

import anyio as _anyio
from anyio.lowlevel import RunVar as _RunVar
from starlette.exceptions import HTTPException as _HTTPException

import zimrax as _zimrax
from zimrax._disk_worker import DiskWorker as _DiskWorker

__all__ = ["BadUpload", "NotMultipart", "MalformedBody", "BodyTooLarge", "receive_upload", "DEFAULT_MAX_BODY",
           "DEFAULT_MAX_PENDING_BYTES", "SMALL_BODY_BYTES", "MAX_UPLOAD_THREADS"]

# The largest body receive_upload reads unless told otherwise.
DEFAULT_MAX_BODY = 1 << 30
# The most bytes of one body waiting for the worker thread.
DEFAULT_MAX_PENDING_BYTES = 4 << 20
# A body shorter than this is read whole before one thread stores it.
SMALL_BODY_BYTES = 64 << 10
# The most uploads whose disk work runs at once (in each event loop); more
# wait, each holding at most max_pending_bytes. A limiter of their own, so
# that uploads from slow clients, whose threads wait on the network, never
# take the threads of anyio's default limiter (FastAPI's sync endpoints).
MAX_UPLOAD_THREADS = 64
_upload_limiter = _RunVar("zimrax_upload_limiter")


class BadUpload(_zimrax.Error, _HTTPException):
    """A request that cannot be an upload; status_code is the HTTP answer
    that fits and detail (also str()) says why. Nothing was stored."""

    status = 400

    def __init__(self, detail):
        _zimrax.Error.__init__(self, detail)
        _HTTPException.__init__(self, status_code=self.status, detail=detail)

    def __str__(self):
        return self.detail


class NotMultipart(BadUpload):
    """The request is not multipart/form-data, or its body is compressed."""

    status = 415


class MalformedBody(BadUpload):
    """No boundary, a first line other than its delimiter, or a body that
    ends before its closing delimiter."""


class BodyTooLarge(BadUpload):
    """The body is longer than max_body (by Content-Length or as read)."""

    status = 413


async def receive_upload(request, directory=None, files=(), values=(), *, conflict=None,
                         max_body=DEFAULT_MAX_BODY, max_value_bytes=_zimrax.DEFAULT_MAX_VALUE_BYTES,
                         max_first_line=0, max_pending_bytes=DEFAULT_MAX_PENDING_BYTES):
    """Reads the body of `request` (a Starlette Request) into an Upload that
    stores the file fields `files` in `directory` and reads the fields
    `values`, and returns its zimrax.Outcome.

    A value field named alone keeps up to `max_value_bytes` (a longer one
    ends with status "limit_exceeded"); a (name, max_bytes) pair sets its
    own cap. `conflict` is the policy for taken names ("error" when None),
    known before the body, so under "error" a taken name is refused before
    any byte is written. `max_body` (None for no limit) bounds the body;
    `max_first_line` is the Upload's cap on the first line (0: its default).

    Raises BadUpload (nothing stored) for a request that is not an upload,
    and lets the body stream's own exceptions (a client that went away)
    through, after aborting: nothing is left behind either way."""
    # Arguments the Upload would refuse are refused before the body is read.
    _zimrax._conflict(conflict, allow_unset=True)
    if files and directory is None:
        raise ValueError("zimrax: file fields need a directory")
    framing = _Framing(_boundary_of(request.headers, max_body))
    wanted_values = [(item, max_value_bytes) if isinstance(item, (str, bytes)) else item for item in values]

    def make_upload():
        return _zimrax.Upload(directory, files=files, values=wanted_values, conflict=conflict,
                             max_first_line=max_first_line)

    pieces = _checked_pieces(request.stream(), framing, max_body)
    # A small body is gathered first and handed to a thread whole: one
    # hand-off, no worker to coordinate. A larger one streams.
    head, held = [], 0
    async for piece in pieces:
        head.append(piece)
        held += len(piece)
        if held >= SMALL_BODY_BYTES:
            break
    else:
        return await _anyio.to_thread.run_sync(_store_whole, make_upload, head, limiter=_limiter())

    worker = _DiskWorker(make_upload, max_pending_bytes, _limiter())
    async with _anyio.create_task_group() as group:
        group.start_soon(worker.run)
        try:
            for piece in head:
                await worker.put(piece)
            del head
            async for piece in pieces:
                await worker.put(piece)
        except BaseException:
            worker.cancel()
            raise
        worker.end()
    return worker.outcome


async def _checked_pieces(stream, framing, max_body):
    """The pieces of the body stream, each past the limit and framing checks."""
    received = 0
    async for piece in stream:
        received += len(piece)
        if max_body is not None and received > max_body:
            raise BodyTooLarge("The body is larger than the limit of %d bytes." % max_body)
        framing.see(piece)
        yield piece
    framing.check_complete()


def _limiter():
    """The upload threads' CapacityLimiter of the running event loop."""
    try:
        return _upload_limiter.get()
    except LookupError:
        limiter = _anyio.CapacityLimiter(MAX_UPLOAD_THREADS)
        _upload_limiter.set(limiter)
        return limiter


def _store_whole(make_upload, pieces):
    with make_upload() as upload:
        for piece in pieces:
            upload.feed(piece)
        return upload.finish()


def _boundary_of(headers, max_body):
    """The boundary the Content-Type names, once the headers pass."""
    media_type, parameters = _parse_content_type(headers.get("content-type", ""))
    if media_type != "multipart/form-data":
        raise NotMultipart("Uploads must be sent as multipart/form-data, not %s." % (media_type or "no Content-Type"))
    coding = headers.get("content-encoding", "").strip().lower()
    if coding not in ("", "identity"):
        raise NotMultipart("Compressed request bodies (Content-Encoding: %s) are not accepted." % coding)
    length = headers.get("content-length")
    if length is not None:
        if not length.strip().isdigit():
            raise MalformedBody("The Content-Length header is not a number.")
        if max_body is not None and int(length) > max_body:
            raise BodyTooLarge("The body of %s bytes is larger than the limit of %d bytes." % (length.strip(),
                                                                                            max_body))
    boundary = parameters.get("boundary", "")
    if not boundary:
        raise MalformedBody("The multipart/form-data Content-Type names no boundary.")
    try:
        return boundary.encode("latin-1")
    except UnicodeEncodeError:
        raise MalformedBody("The boundary is not made of single bytes.") from None


def _parse_content_type(value):
    """("type/subtype" in lower case, {"boundary": its value unquoted, if any})."""
    header = _email_message.Message()
    header["content-type"] = value
    boundary = header.get_param("boundary", header="content-type")
    boundary = _email_utils.collapse_rfc2231_value(boundary) if boundary is not None else ""
    return value.partition(";")[0].strip().lower(), {"boundary": boundary}


class _Framing:
    """Watches the ends of the body as it passes: it must start with the
    delimiter line of the declared boundary and end with the closing
    delimiter (a CR LF after it allowed), or be the closing delimiter alone
    (a form without fields). The component takes the body's first line as
    the delimiter whatever it is; a mismatch here is a body the client did
    not mean, and a missing end is a body cut short, whose files would be
    stored truncated."""

    def __init__(self, boundary):
        self._first_line = b"--" + boundary + b"\r\n"
        self._empty_form = b"--" + boundary + b"--"
        self._closing = b"\r\n" + self._empty_form
        self._head = b""
        self._tail = b""
        self._keep = len(self._closing) + 2

    def see(self, piece):
        if len(self._head) < len(self._first_line):
            self._head += piece[:len(self._first_line) - len(self._head)]
            if not (self._first_line.startswith(self._head) or self._empty_form.startswith(self._head)):
                raise MalformedBody("The body's first line is not the delimiter of the boundary its Content-Type "
                                    "names.")
        self._tail = (self._tail + piece[-self._keep:])[-self._keep:]

    def check_complete(self):
        if self._head == self._first_line:
            if self._tail.endswith(self._closing) or self._tail.endswith(self._closing + b"\r\n"):
                return
            raise MalformedBody("The form ends before its closing delimiter line: the body is incomplete.")
        if self._tail not in (self._empty_form, self._empty_form + b"\r\n"):
            raise MalformedBody("The body ends before its first delimiter line.")
