"""zimrax.starlette.receive_upload against the whole-body operations, and
its refusals. The body reaches a Starlette Request through an ASGI receive
that hands it out in pieces of random sizes (or cuts it off). Each test runs
both ways a body is stored: whole in one thread (small bodies) and streamed
to the worker thread, whose hand-over and full-buffer wait are exercised."""
import os
import random
import threading

import anyio
import pytest
from starlette.requests import ClientDisconnect, Request

import zimrax
import zimrax.starlette as zs

BOUNDARY = b"----zimraxTestBoundary7MA4YWxk"


def section(name, data, filename=None):
    disposition = b'Content-Disposition: form-data; name="' + name + b'"'
    if filename is not None:
        disposition += b'; filename="' + filename + b'"\r\nContent-Type: application/octet-stream'
    return b"--" + BOUNDARY + b"\r\n" + disposition + b"\r\n\r\n" + data + b"\r\n"


def close():
    return b"--" + BOUNDARY + b"--\r\n"


def tricky_bytes(rng, size):
    """Random data laced with CR LF, dashes and near-delimiters."""
    pieces = [b"\r\n", b"--", b"\r\n--", b"\r\n--" + BOUNDARY[:-1], BOUNDARY, b"\r\n\r\n", b'"']
    out = bytearray()
    while len(out) < size:
        out += rng.choice(pieces) if rng.random() < 0.3 else rng.randbytes(rng.randrange(1, 40))
    return bytes(out[:size])


def random_body(rng):
    sections = []
    for _ in range(rng.randrange(0, 4)):
        kind = rng.randrange(4)
        if kind == 0:
            sections.append(section(b"upload1", tricky_bytes(rng, rng.randrange(0, 3000)),
                                    rng.choice([b"a.bin", b"C:\\dir\\b.txt", b"", b"x"])))
        elif kind == 1:
            sections.append(section(b"comment", tricky_bytes(rng, rng.randrange(0, 200))))
        elif kind == 2:
            sections.append(section(b"other", tricky_bytes(rng, rng.randrange(0, 500)), b"o.bin"))
        else:
            sections.append(section(b"comment", b"", b"named.txt"))
    return b"".join(sections) + close()


def make_request(body, pieces=None, content_type=None, headers=(), disconnect_after=None):
    """A Request whose receive hands out `body` in `pieces` (sizes), or in
    random pieces when None; after `disconnect_after` bytes the client goes away."""
    content_type = content_type if content_type is not None else b"multipart/form-data; boundary=" + BOUNDARY
    raw_headers = [(b"content-type", content_type)] + list(headers)
    scope = {"type": "http", "method": "POST", "path": "/", "headers": raw_headers, "query_string": b""}
    sizes = list(pieces) if pieces is not None else []
    state = {"offset": 0, "calls": 0}

    async def receive():
        state["calls"] += 1
        offset = state["offset"]
        if disconnect_after is not None and offset >= disconnect_after:
            return {"type": "http.disconnect"}
        size = sizes.pop(0) if sizes else random.randrange(1, 4096)
        piece = body[offset:offset + size]
        state["offset"] = offset + len(piece)
        return {"type": "http.request", "body": piece, "more_body": state["offset"] < len(body)}

    return Request(scope, receive), state


@pytest.fixture(params=["streamed", "whole"])
def path(request, monkeypatch):
    """Which way receive_upload stores: every body streamed, or every body
    of these tests read whole first."""
    monkeypatch.setattr(zs, "SMALL_BODY_BYTES", 1 if request.param == "streamed" else 1 << 30)
    return request.param


def receive(request, directory, **options):
    async def main():
        with anyio.fail_after(30):
            return await zs.receive_upload(request, str(directory), **options)
    return anyio.run(main)


@pytest.mark.parametrize("seed", range(40))
def test_streamed_through_starlette_equals_the_whole_body_operations(tmp_path, seed, path):
    rng = random.Random(seed)
    random.seed(seed)
    body = random_body(rng)
    streamed, whole = tmp_path / "streamed", tmp_path / "whole"
    streamed.mkdir()
    whole.mkdir()
    # A buffer of a few hundred bytes makes the loop wait for the worker often.
    request, _ = make_request(body)
    outcome = receive(request, streamed, files=["upload1", "other"], values=["comment"], conflict="makeunique",
                      max_pending_bytes=rng.choice([1, 300, 1 << 20]))
    for field in ("upload1", "other"):
        expected = zimrax.save(body, field, str(whole), conflict="makeunique")
        got = outcome.file(field)
        assert (got.code, got.fault, got.text, got.stored_name) == \
            (expected.code, expected.fault, expected.text, expected.stored_name), field
    expected_value = zimrax.value(body, "comment")
    got_value = outcome.value("comment")
    assert (got_value.code, got_value.fault, got_value.bytes) == \
        (expected_value.code, expected_value.fault, expected_value.bytes)
    assert sorted(os.listdir(streamed)) == sorted(os.listdir(whole))
    for name in os.listdir(whole):
        assert (streamed / name).read_bytes() == (whole / name).read_bytes()


GOOD_BODY = section(b"comment", b"hello") + section(b"upload1", b"data\r\n--" + BOUNDARY[:-2], b"f.bin") + close()

# (label, body, request options, receive_upload options, exception, HTTP status)
REFUSALS = [
    ("not multipart", GOOD_BODY, {"content_type": b"application/x-www-form-urlencoded"}, {}, zs.NotMultipart, 415),
    ("no content type", GOOD_BODY, {"content_type": b""}, {}, zs.NotMultipart, 415),
    ("compressed", GOOD_BODY, {"headers": [(b"content-encoding", b"gzip")]}, {}, zs.NotMultipart, 415),
    ("no boundary", GOOD_BODY, {"content_type": b"multipart/form-data"}, {}, zs.MalformedBody, 400),
    ("another boundary", GOOD_BODY, {"content_type": b"multipart/form-data; boundary=other"}, {},
     zs.MalformedBody, 400),
    ("bad content length", GOOD_BODY, {"headers": [(b"content-length", b"12x")]}, {}, zs.MalformedBody, 400),
    ("declared too large", GOOD_BODY, {"headers": [(b"content-length", b"%d" % len(GOOD_BODY))]},
     {"max_body": len(GOOD_BODY) - 1}, zs.BodyTooLarge, 413),
    ("streams past the limit", GOOD_BODY, {"pieces": [40] * 100}, {"max_body": len(GOOD_BODY) - 1},
     zs.BodyTooLarge, 413),
    ("cut short in the file", GOOD_BODY[:-20], {}, {}, zs.MalformedBody, 400),
    ("cut short by a byte", GOOD_BODY[:-3], {}, {}, zs.MalformedBody, 400),
    ("empty body", b"", {}, {}, zs.MalformedBody, 400),
]


@pytest.mark.parametrize("label,body,request_options,options,exception,status", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_a_body_that_is_no_upload_is_refused_and_leaves_nothing(tmp_path, label, body, request_options, options,
                                                                 exception, status, path):
    request, state = make_request(body, **request_options)
    with pytest.raises(exception) as raised:
        receive(request, tmp_path, files=["upload1"], values=["comment"], **options)
    assert raised.value.status_code == status and str(raised.value) == raised.value.detail != ""
    assert isinstance(raised.value, zimrax.Error)
    assert os.listdir(tmp_path) == []
    if label == "declared too large":
        assert state["calls"] == 0  # refused before reading


def test_a_client_that_goes_away_leaves_nothing(tmp_path, path):
    request, _ = make_request(GOOD_BODY, pieces=[30] * 100, disconnect_after=len(GOOD_BODY) - 10)
    with pytest.raises(ClientDisconnect):
        receive(request, tmp_path, files=["upload1"])
    assert os.listdir(tmp_path) == []


def test_limits_and_policy_come_out_in_the_results(tmp_path, path):
    (tmp_path / "f.bin").write_bytes(b"old")
    body = section(b"comment", b"x" * 11) + section(b"title", b"ok") + section(b"upload1", b"new", b"f.bin") + close()
    request, _ = make_request(body, pieces=[7] * 1000)
    outcome = receive(request, tmp_path, files=["upload1"], values=["comment", ("title", 2)], max_value_bytes=10)
    assert outcome.value("comment").status == "limit_exceeded"
    assert outcome.value("title").ok and outcome.value("title").text == "ok"
    assert outcome.file("upload1").code == 106  # "error" by default: the old file stays
    assert (tmp_path / "f.bin").read_bytes() == b"old"
    for bad in ({"conflict": "sometimes"}, {"directory": None}):
        request, state = make_request(body)
        with pytest.raises(ValueError):
            anyio.run(lambda: zs.receive_upload(request, **({"directory": str(tmp_path)} | bad), files=["upload1"]))
        assert state["calls"] == 0


class FailingUpload:
    """An Upload stand-in whose third feed fails, as a full disk would."""

    def __init__(self):
        self.fed, self.aborted = 0, False

    def feed(self, piece):
        self.fed += 1
        if self.fed == 3:
            raise OSError(28, "No space left on device")

    def finish(self):
        raise AssertionError("finished after a failed feed")

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.aborted = True


@pytest.mark.parametrize("max_pending_bytes", [1, 1 << 20])
def test_a_failing_worker_ends_the_request_with_its_error(max_pending_bytes):
    from zimrax._disk_worker import DiskWorker
    upload = FailingUpload()
    worker = DiskWorker(lambda: upload, max_pending_bytes)

    async def main():
        with anyio.fail_after(30):
            async with anyio.create_task_group() as group:
                group.start_soon(worker.run)
                try:
                    for _ in range(1000):
                        await worker.put(b"x" * 100)
                        await anyio.sleep(0)
                except BaseException:
                    worker.cancel()
                    raise
                worker.end()

    with pytest.raises(OSError):
        anyio.run(main)
    assert upload.fed == 3 and upload.aborted


def test_uploads_do_not_wait_for_threads_of_anyios_default_limiter(tmp_path, path):
    # Every thread of the default limiter (FastAPI's sync endpoints) busy:
    # an upload still goes through.
    request, _ = make_request(GOOD_BODY, pieces=[50] * 100)
    release = threading.Event()

    async def main():
        anyio.to_thread.current_default_thread_limiter().total_tokens = 1
        with anyio.fail_after(30):
            async with anyio.create_task_group() as group:
                group.start_soon(anyio.to_thread.run_sync, release.wait)
                await anyio.sleep(0.05)
                try:
                    return await zs.receive_upload(request, str(tmp_path), files=["upload1"], values=["comment"])
                finally:
                    release.set()

    outcome = anyio.run(main)
    assert outcome.file("upload1").ok and outcome.value("comment").text == "hello"
