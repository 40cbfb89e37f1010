"""zimrax.parts against the one-field calls: saving (reading) the first part
of each name gives what zimrax.save (zimrax.value) gives on the whole body,
fed in pieces of every size; chunks() hands out exactly the stored bytes;
a restart voids the parts handed out; a late decision is refused."""

import io
import os
import random

import pytest

import zimrax


def field(name, value, delimiter=b"--B"):
    return delimiter + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\n\r\n' + value + b"\r\n"


def file_field(name, filename, data, delimiter=b"--B", content_type=b"text/plain"):
    return (delimiter + b'\r\nContent-Disposition: form-data; name="' + name + b'"; filename="' + filename +
            b'"\r\nContent-Type: ' + content_type + b"\r\nX-Extra: yes\r\n\r\n" + data + b"\r\n")


def random_data(rng, size):
    return bytes(rng.choice(b"ab\r\n-B\0") for _ in range(size))


def bodies():
    rng = random.Random(7)
    yield field(b"title", b"Q3") + file_field(b"doc", b"C:\\dir\\report.pdf", random_data(rng, 5000)) + b"--B--\r\n"
    yield (file_field(b"f", b"same.txt", b"one\r\n--") + file_field(b"g", b"same.txt", b"two") +
           file_field(b"f", b"other.txt", b"three") + field(b"v", b"") + field(b"v", b"x") + b"--B--\r\n")
    yield file_field(b"bad", b"..", b"x") + file_field(b"empty", b"", b"y") + field(b"cut", b"no end")
    yield b"--B\r\nContent-Disposition: form-data; name=\"h\"; filename=\"h.txt\"\r\nno blank line"
    for seed in range(12):
        rng = random.Random(seed)
        body = b""
        for _ in range(rng.randint(1, 5)):
            name = rng.choice([b"a", b"b", b"f"])
            if rng.random() < 0.5:
                body += file_field(name, rng.choice([b"a.txt", b"b.bin", b"a.txt"]), random_data(rng, rng.randint(0, 3000)))
            else:
                body += field(name, random_data(rng, rng.randint(0, 100)))
        yield body + (b"--B--\r\n" if rng.random() < 0.7 else b"")


def pieces(body, seed):
    rng = random.Random(seed)
    at = 0
    while at < len(body):
        size = rng.choice([1, 2, 7, 300, 70000])
        yield body[at:at + size]
        at += size


def first_of_each_name(walk, action, **kwargs):
    seen = set()
    for part in walk:
        if part.name not in seen:
            seen.add(part.name)
            getattr(part, action)(**kwargs)
    return [p for p in walk.parts if p.status != "skipped" or p.result is not None]


@pytest.mark.parametrize("index,body", list(enumerate(bodies())))
@pytest.mark.parametrize("conflict", ["error", "makeunique"])
def test_saving_the_first_part_of_each_name_is_save(tmp_path, index, body, conflict):
    walked, whole = tmp_path / "walked", tmp_path / "whole"
    walked.mkdir()
    whole.mkdir()
    (walked / "a.txt").write_bytes(b"before")
    (whole / "a.txt").write_bytes(b"before")
    walk = zimrax.parts(pieces(body, index), directory=walked, conflict=conflict)
    for part in first_of_each_name(walk, "save"):
        want = zimrax.save(body, part.name, whole, conflict=conflict)
        assert (part.result.code, part.result.fault, part.result.bytes) == (want.code, want.fault, want.bytes), part
    assert walk.status == "ok"
    assert {p.name: p.read_bytes() for p in walked.iterdir()} == {p.name: p.read_bytes() for p in whole.iterdir()}


@pytest.mark.parametrize("index,body", list(enumerate(bodies())))
def test_reading_the_first_part_of_each_name_is_value(index, body):
    walk = zimrax.parts(io.BytesIO(body), chunk_size=index + 1)
    seen = set()
    for part in walk:
        if part.name in seen:
            continue
        seen.add(part.name)
        want = zimrax.value(body, part.name)
        got = part.read(1 << 20)
        if want.ok:
            assert got == want.bytes
    for part in walk.parts:
        if part.result is not None:
            want = zimrax.value(body, part.name)
            assert (part.result.code, part.result.fault, part.result.bytes) == (want.code, want.fault, want.bytes)


def test_chunks_are_the_stored_file(tmp_path):
    body = next(bodies())
    zimrax.save(body, "doc", tmp_path)
    walk = zimrax.parts(pieces(body, 3))
    got = {}
    for part in walk:
        got[part.name] = (part.filename, part.content_type, part.headers, b"".join(part.chunks()))
    assert got["doc"] == ("C:\\dir\\report.pdf", "text/plain", ["X-Extra: yes"], (tmp_path / "report.pdf").read_bytes())
    assert got["title"] == (None, "", [], b"Q3")


def test_a_value_over_its_cap_is_refused():
    walk = zimrax.parts([field(b"v", b"0123456789") + b"--B--\r\n"])
    for part in walk:
        with pytest.raises(ValueError):
            part.read(4)
    assert walk.parts[0].status == "limit_exceeded"


def test_a_restart_voids_the_parts_handed_out():
    # An empty first line: the delimiter is one NUL byte, assumed absent until one comes.
    body = (b'\r\nContent-Disposition: form-data; name="a"\r\n\r\nfirst\0'
            b'Content-Disposition: form-data; name="b"\r\n\r\nsecond')
    walk = zimrax.parts([body[i:i + 1] for i in range(len(body))])
    handed_out = list(walk)
    assert any(part.voided for part in handed_out)
    assert all(not part.voided for part in walk.parts)


def test_a_part_is_decided_before_the_next_one():
    body = field(b"a", b"1") + field(b"b", b"2") + b"--B--\r\n"
    walk = iter(zimrax.parts([body]))
    first = next(walk)
    next(walk)
    with pytest.raises(zimrax.StateError):
        first.save("/tmp")
