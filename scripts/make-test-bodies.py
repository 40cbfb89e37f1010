#!/usr/bin/env python3
"""Writes the multipart bodies that the hardening tests and the fuzz seed
corpora start from, into tests/hardening/bodies/:

  curl_*.bin   real client bodies: what `curl -F` sends, captured by a
               one-shot HTTP listener on 127.0.0.1;
  edge_*.bin   hand-made bodies for the edge cases of the scanning rules.

Then frames every body for each fuzz target into fuzz/corpus/<target>/.
The output is committed; run this again only to refresh it.
"""
import os
import pathlib
import random
import shutil
import socket
import subprocess
import tempfile
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
BODIES = ROOT / "tests" / "hardening" / "bodies"
CORPUS = ROOT / "fuzz" / "corpus"
DISPOSITION = b'Content-Disposition: form-data; name="'

# curl form arguments per captured body; "@name" files come from FILES.
CURL_FORMS = {
    "curl_text_and_file": ["title=Q3", "doc=@q3.csv"],
    "curl_client_path": ["upload1=@photo.bin;filename=C:\\Photos\\2024\\photo.jpg;type=image/jpeg"],
    "curl_empty_file": ["note=hello", "empty=@empty.txt"],
    "curl_plain_fields": ["a=1", "b=", "comment=<comment.txt", "last=x"],
    "curl_two_files_same_name": ["files=@first.txt", "files=@second.txt"],
    "curl_parent_reference": ["doc=@q3.csv;filename=../../etc/passwd"],
    "curl_no_extension": ["readme=@first.txt;filename=readme", "dot=@second.txt;filename=.profile"],
    "curl_boundary_in_data": ["blob=@binary.bin", "after=tail"],
}


def client_files(directory):
    rng = random.Random(20240611)
    files = {
        "q3.csv": b"1,2\r\n3,4",
        "photo.bin": bytes(rng.randrange(256) for _ in range(300)),
        "empty.txt": b"",
        "comment.txt": b"line1\r\nline2\r\n\r\nline4",
        "first.txt": b"first file\n",
        "second.txt": b"second file\r\n",
        # Bytes that look like a delimiter line and a blank line inside data.
        "binary.bin": b"\r\n--\r\n\r\n\x00\"filename=\"\r\n--------------------------x\r\n" + bytes(range(256)),
    }
    for name, data in files.items():
        (directory / name).write_bytes(data)


def capture(form):
    """Runs curl -F ... against a one-shot listener; returns the raw body."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(10)
    port = listener.getsockname()[1]
    result = {}

    def serve():
        connection, _ = listener.accept()
        connection.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            data += connection.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        headers = {}
        for line in head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            headers[key.strip().lower()] = value.strip()
        if headers.get(b"expect", b"").lower() == b"100-continue":
            connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        length = int(headers[b"content-length"])
        while len(body) < length:
            body += connection.recv(65536)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        connection.close()
        result["body"] = body

    thread = threading.Thread(target=serve)
    thread.start()
    arguments = ["curl", "-sS", "--max-time", "10", "-o", "/dev/null"]
    for field in form:
        arguments += ["-F", field]
    subprocess.run(arguments + [f"http://127.0.0.1:{port}/upload"], check=True, cwd=client_dir)
    thread.join(15)
    listener.close()
    return result["body"]


def section(boundary, name, data, filename=None, content_type=None):
    head = b"--" + boundary + b"\r\n" + DISPOSITION + name + b'"'
    if filename is not None:
        head += b'; filename="' + filename + b'"'
    head += b"\r\n"
    if content_type is not None:
        head += b"Content-Type: " + content_type + b"\r\n"
    return head + b"\r\n" + data + b"\r\n"


def edge_bodies():
    b = b"AaB03x"
    close = b"--" + b + b"--\r\n"
    worked = (ROOT / "samples" / "worked_example.txt").read_bytes()
    return {
        "edge_worked_example": worked,
        "edge_no_close_delimiter": section(b, b"title", b"Q3") + section(b, b"doc", b"1,2", b"q3.csv")[:-2],
        "edge_only_delimiters": b"--" + b + b"\r\n" + close,
        "edge_long_names": section(b, b"n" * 120, b"exactly 120") + section(b, b"m" * 121, b"121 bytes") + close,
        "edge_empty_name_and_value": section(b, b"", b"nameless") + section(b, b"v", b"") + close,
        "edge_short_filenames": section(b, b"one", b"x", b"a") + section(b, b"none", b"y", b"")
        + section(b, b"two", b"z", b"ab") + close,
        "edge_filename_on_later_line": b"--" + b + b"\r\n" + DISPOSITION + b'late"\r\nX-Note: filename="a.txt"\r\n\r\n'
        + b'data filename="b.txt"\r\n' + close,
        "edge_no_crlf": DISPOSITION + b'a"; filename="f.txt"\n\nbody without any carriage return\n',
        "edge_leading_crlf": b"\r\n" + section(b, b"a", b"value") + close,
        "edge_lf_only": (section(b, b"a", b"value", b"f.txt") + close).replace(b"\r\n", b"\n"),
        "edge_unclosed_name": b"--" + b + b"\r\n" + DISPOSITION + b"open\r\n\r\nno quote follows\r\n",
        "edge_unclosed_filename": b"--" + b + b"\r\n" + DISPOSITION + b'f"; filename="never closed\r\n\r\ndata',
        "edge_delimiter_in_value": section(b, b"v", b"before--" + b + b"after") + close,
        "edge_ends_at_delimiter": section(b, b"f", b"data", b"f.bin") + b"--" + b,
        "edge_bad_stored_names": section(b, b"dot", b"1", b"C:\\dir\\.") + section(b, b"dots", b"2", b"..")
        + section(b, b"trail", b"3", b"dir/") + section(b, b"nul", b"4", b"a\x00b") + close,
        "edge_makeunique_names": section(b, b"tar", b"t", b"archive.tar.gz") + section(b, b"dotend", b"d", b"notes.")
        + section(b, b"mixed", b"m", b"C:\\x/y\\z.txt") + close,
    }


def frame_corpus(bodies):
    """Writes fuzz inputs: for every body, each field name it holds and one it lacks."""
    for target in ("form_field_value", "file_save", "find_bytes"):
        shutil.rmtree(CORPUS / target, ignore_errors=True)
        (CORPUS / target).mkdir(parents=True)
    for stem, body in sorted(bodies.items()):
        names = []
        start = 0
        while (at := body.find(DISPOSITION, start)) >= 0:
            end = body.find(b'"', at + len(DISPOSITION))
            if end < 0:
                break
            name = body[at + len(DISPOSITION):end]
            if len(name) < 256 and name not in names:
                names.append(name)
            start = end
        names.append(b"absent")
        for index, name in enumerate(names):
            framed = bytes([len(name)]) + name + body
            (CORPUS / "form_field_value" / f"{stem}_{index}").write_bytes(framed)
            for flags in (0x00, 0x4A, 0x52, 0x09, 0x1A):
                (CORPUS / "file_save" / f"{stem}_{index}_{flags:02x}").write_bytes(bytes([flags]) + framed)
        boundary = body.split(b"\r\n", 1)[0][:255]
        if boundary:
            pattern = boundary + b"\r\n"
            for mode in (0, 1):
                head = bytes([mode, 0, 0, len(pattern), 0]) + pattern
                (CORPUS / "find_bytes" / f"{stem}_{mode}").write_bytes(head + body[:2048])


if __name__ == "__main__":
    BODIES.mkdir(parents=True, exist_ok=True)
    client_dir = pathlib.Path(tempfile.mkdtemp(prefix="zimrax-curl-"))
    try:
        client_files(client_dir)
        bodies = {stem: capture(form) for stem, form in CURL_FORMS.items()}
    finally:
        shutil.rmtree(client_dir)
    bodies.update(edge_bodies())
    for old in BODIES.glob("*.bin"):
        old.unlink()
    for stem, body in bodies.items():
        (BODIES / f"{stem}.bin").write_bytes(body)
    frame_corpus(bodies)
    print(f"{len(bodies)} bodies; corpus in {CORPUS.relative_to(ROOT)}")
