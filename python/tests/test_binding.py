"""The Python binding against the C++ behaviour: each call compared with
`zmfile value/save --json` on the same body, a stream fed one byte at a
time compared with the whole-body calls, and the worked example's
numbers."""
import base64
import json
import os
import subprocess

import pytest

import zimrax

SOURCE_DIR = os.environ.get("ZIMRAX_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
ZMFILE = os.environ.get("ZMFILE", os.path.join(SOURCE_DIR, "build", "release", "zmfile"))

with open(os.path.join(SOURCE_DIR, "samples", "worked_example.txt"), "rb") as sample:
    WORKED_EXAMPLE = sample.read()


def section(name, data, filename=None):
    disposition = b'Content-Disposition: form-data; name="' + name + b'"'
    if filename is not None:
        disposition += b'; filename="' + filename + b'"'
    return b"--B\r\n" + disposition + b"\r\n\r\n" + data + b"\r\n"


CLOSE = b"--B--\r\n"

# (label, body, fields asked for); every field goes through both operations.
BODIES = [
    ("worked example", WORKED_EXAMPLE, ["title", "doc", "year", ""]),
    ("cut short: 101", section(b"a", b"1"), ["a", "b"]),
    ("empty file name: 104", section(b"f", b"x", b"") + CLOSE, ["f"]),
    ("no line break: 103 and 105", b'--B Content-Disposition: form-data; name="a" v', ["a", "b"]),
    ("unclosed name: fault 9", b'--B\r\nContent-Disposition: form-data; name="a\r\n\r\nv\r\n' + CLOSE, ["a"]),
    ("bytes that are not UTF-8", section(b"f", b"d\x00\xff\r\n--C", b"r\xe9sum\xe9.txt") + section(b"v", b"\xfe\x00")
     + CLOSE, ["f", "v"]),
    ("client path and traversal", section(b"f", b"x", b"..\\..\\up.txt") + section(b"g", b"y", b"..") + CLOSE,
     ["f", "g"]),
]
CASES = [(label, body, field) for label, body, fields in BODIES for field in fields]
CASE_IDS = ["%s/%s" % (label, field or "(empty)") for label, _, field in CASES]


def zmfile(tmp_path, arguments, body):
    body_path = tmp_path / "body"
    body_path.write_bytes(body)
    completed = subprocess.run([ZMFILE] + arguments + ["--body", str(body_path), "--json"], capture_output=True,
                               check=False)
    body_path.unlink()
    answer = json.loads(completed.stdout)
    if answer.get("ResultBase64") is not None:
        result = base64.b64decode(answer["ResultBase64"])
    else:
        result = (answer["Result"] or "").encode("utf-8")
    fault = answer["Fault"]["Number"] if answer["Fault"] else 0
    return answer["ErrorCode"], answer["ErrorCodeType"], result, fault


def directory_contents(path):
    return {entry.name: entry.read_bytes() for entry in sorted(path.iterdir())}


def same_as_zmfile(result, expected):
    code, code_type, result_bytes, fault = expected
    assert (result.code, result.fault, result.bytes) == (code, fault, result_bytes)
    assert result.error_code_is_int32 == (code_type == "int32")
    assert result.text.encode("utf-8", "surrogateescape") == result.bytes


@pytest.mark.parametrize("label,body,field", CASES, ids=CASE_IDS)
def test_value_matches_zmfile(tmp_path, label, body, field):
    same_as_zmfile(zimrax.value(body, field), zmfile(tmp_path, ["value", "--field", field], body))


@pytest.mark.parametrize("label,body,field", CASES, ids=CASE_IDS)
def test_save_matches_zmfile(tmp_path, label, body, field):
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    ours.mkdir()
    theirs.mkdir()
    result = zimrax.save(body, field, ours, conflict="makeunique")
    same_as_zmfile(result, zmfile(tmp_path, ["save", "--field", field, "--dir", str(theirs), "--conflict",
                                             "makeunique"], body))
    assert directory_contents(ours) == directory_contents(theirs)
    assert result.stored_name == (result.text if result.ok else "")


@pytest.mark.parametrize("label,body,field", CASES, ids=CASE_IDS)
def test_stream_in_one_byte_pieces_matches_whole_body(tmp_path, label, body, field):
    streamed_dir, whole_dir = tmp_path / "streamed", tmp_path / "whole"
    streamed_dir.mkdir()
    whole_dir.mkdir()
    with zimrax.Upload(streamed_dir, files=[field], values=[field]) as upload:
        for i in range(len(body)):
            upload.feed(body[i:i + 1])
        outcome = upload.finish(conflict="makeunique")
    saved = zimrax.save(body, field, whole_dir, conflict="makeunique")
    read = zimrax.value(body, field)
    for streamed, whole in ((outcome.files[0], saved), (outcome.values[0], read)):
        assert streamed.status == "done"
        assert (streamed.code, streamed.fault, streamed.bytes, streamed.stored_name) == (
            whole.code, whole.fault, whole.bytes, whole.stored_name)
    assert directory_contents(streamed_dir) == directory_contents(whole_dir)


def test_worked_example(tmp_path):
    assert zimrax.value(WORKED_EXAMPLE, "title").text == "Q3"
    assert zimrax.value(WORKED_EXAMPLE, "doc").text == "C:\\Reports\\q3.csv"
    # One name saved under each policy in turn.
    steps = [("error", 0, "q3.csv", False), ("error", 106, "", False), ("MakeUnique", 0, "q3(1).csv", False),
             ("overwrite", 0, "q3.csv", True)]
    for conflict, code, stored_name, replaced in steps:
        result = zimrax.save(WORKED_EXAMPLE, "doc", str(tmp_path), conflict=conflict)
        assert (result.code, result.stored_name, result.replaced, result.ok) == (code, stored_name, replaced,
                                                                                code == 0), conflict
    assert zimrax.save(WORKED_EXAMPLE, "doc", tmp_path).text == "Error: File Already Exists."
    assert directory_contents(tmp_path) == {"q3(1).csv": b"1,2\r\n3,4", "q3.csv": b"1,2\r\n3,4"}
    assert zimrax.library_version().startswith("1.")


def test_upload_discard_limit_and_sections(tmp_path):
    with zimrax.Upload(tmp_path, files=["doc"], values=[("title", 1), "doc"], conflict="error") as upload:
        upload.feed(bytearray(WORKED_EXAMPLE[:150]))
        upload.discard("doc")
        upload.feed(memoryview(WORKED_EXAMPLE)[150:])
        outcome = upload.finish()
    assert outcome.file("doc").status == "discarded" and not outcome.file("doc").ok
    assert outcome.value("title").status == "limit_exceeded"
    assert outcome.value("doc").text == "C:\\Reports\\q3.csv"
    assert outcome.sections == ["title", "doc"] and not outcome.more_sections
    assert list(tmp_path.iterdir()) == []


def test_upload_ended_by_an_exception_leaves_nothing(tmp_path):
    with pytest.raises(KeyError):
        with zimrax.Upload(tmp_path, files=["doc"]) as upload:
            upload.feed(WORKED_EXAMPLE)
            raise KeyError("the client went away")
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(zimrax.StateError):
        upload.feed(b"more")


def test_ended_upload_and_bad_arguments_raise(tmp_path):
    upload = zimrax.Upload(tmp_path, files=["doc"])
    upload.feed(WORKED_EXAMPLE)
    assert upload.finish().file("doc").stored_name == "q3.csv"
    for call in (lambda: upload.feed(b"x"), lambda: upload.discard("doc"), upload.finish):
        with pytest.raises(zimrax.StateError):
            call()
    upload.abort()
    with pytest.raises(ValueError):
        zimrax.save(WORKED_EXAMPLE, "doc", tmp_path, conflict="rename")
    with pytest.raises(ValueError):
        zimrax.value(WORKED_EXAMPLE, "ti\0tle")
    with pytest.raises(ValueError):
        zimrax.Upload(None, files=["doc"])


def test_sweep_removes_only_abandoned_temporary_files(tmp_path):
    abandoned = tmp_path / ".zmfile-0123456789abcdef"
    kept = [tmp_path / ".zmfile-short", tmp_path / "stored.txt", tmp_path / ".zmfile-0123456789abcdeF"]
    for path in [abandoned] + kept:
        path.write_bytes(b"x")
    recent = zimrax.remove_abandoned_temp_files(tmp_path, min_age_seconds=3600)
    assert (recent.removed, recent.kept_recent) == (0, 1) and abandoned.exists()
    swept = zimrax.remove_abandoned_temp_files(str(tmp_path))
    assert (swept.removed, swept.kept_recent) == (1, 0)
    assert not abandoned.exists() and all(path.exists() for path in kept)
    with pytest.raises(FileNotFoundError):
        zimrax.remove_abandoned_temp_files(tmp_path / "missing")
    with pytest.raises(ValueError):
        zimrax.remove_abandoned_temp_files(tmp_path, min_age_seconds=-1)
