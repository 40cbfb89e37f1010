"""Downloads by table: each request's exact status, Content-Range,
Content-Length and body bytes from zmfile serve, and the same request to
Debian's nginx serving the same folder as static files, whose answer must be
equal but for the differences listed in NGINX_DIFFERS, each with its reason.

Environment: ZMFILE_BINARY. The nginx half is skipped without nginx.
"""

import datetime
import email.utils
import pathlib
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "deploy"))
import nginx_fixture  # noqa: E402
from zmfile_process import ZMFILE, ZmfileServer, exchange  # noqa: E402

SIZE = 1000
DATA = random.Random(27).randbytes(SIZE)
WHOLE = (0, SIZE)

# (label, method, file, request headers, status, body bytes as a slice of
# the file or None for none, Content-Range or None). In header values
# {etag} and {date} stand for the server's own ETag and Last-Modified, and
# {stale} for a date an hour before.
TABLE = [
    ("whole", "GET", "data.bin", [], 200, WHOLE, None),
    ("head", "HEAD", "data.bin", [], 200, None, None),
    ("first byte", "GET", "data.bin", [("Range", "bytes=0-0")], 206, (0, 1), "bytes 0-0/1000"),
    ("first hundred", "GET", "data.bin", [("Range", "bytes=0-99")], 206, (0, 100), "bytes 0-99/1000"),
    ("last byte", "GET", "data.bin", [("Range", "bytes=999-999")], 206, (999, 1000), "bytes 999-999/1000"),
    ("suffix", "GET", "data.bin", [("Range", "bytes=-100")], 206, (900, 1000), "bytes 900-999/1000"),
    ("suffix past the start", "GET", "data.bin", [("Range", "bytes=-5000")], 206, WHOLE, "bytes 0-999/1000"),
    ("open-ended", "GET", "data.bin", [("Range", "bytes=900-")], 206, (900, 1000), "bytes 900-999/1000"),
    ("end past the end", "GET", "data.bin", [("Range", "bytes=900-5000")], 206, (900, 1000), "bytes 900-999/1000"),
    ("start at the end", "GET", "data.bin", [("Range", "bytes=1000-")], 416, None, "bytes */1000"),
    ("start past the end", "GET", "data.bin", [("Range", "bytes=5000-6000")], 416, None, "bytes */1000"),
    ("zero-length suffix", "GET", "data.bin", [("Range", "bytes=-0")], 416, None, "bytes */1000"),
    ("syntax error", "GET", "data.bin", [("Range", "bytes=abc")], 200, WHOLE, None),
    ("reversed range", "GET", "data.bin", [("Range", "bytes=500-400")], 200, WHOLE, None),
    ("other unit", "GET", "data.bin", [("Range", "items=0-1")], 200, WHOLE, None),
    ("several ranges", "GET", "data.bin", [("Range", "bytes=0-1,5-6")], 200, WHOLE, None),
    ("several, one satisfiable", "GET", "data.bin", [("Range", "bytes=0-1,5000-6000")], 206, (0, 2),
     "bytes 0-1/1000"),
    ("if-range tag matching", "GET", "data.bin", [("Range", "bytes=10-19"), ("If-Range", "{etag}")], 206, (10, 20),
     "bytes 10-19/1000"),
    ("if-range tag stale", "GET", "data.bin", [("Range", "bytes=10-19"), ("If-Range", '"stale"')], 200, WHOLE, None),
    ("if-range date matching", "GET", "data.bin", [("Range", "bytes=10-19"), ("If-Range", "{date}")], 206, (10, 20),
     "bytes 10-19/1000"),
    ("if-range date stale", "GET", "data.bin", [("Range", "bytes=10-19"), ("If-Range", "{stale}")], 200, WHOLE,
     None),
    ("if-none-match tag", "GET", "data.bin", [("If-None-Match", "{etag}")], 304, None, None),
    ("if-none-match star", "GET", "data.bin", [("If-None-Match", "*")], 304, None, None),
    ("if-none-match list", "GET", "data.bin", [("If-None-Match", '"x", {etag}')], 304, None, None),
    ("if-none-match other", "GET", "data.bin", [("If-None-Match", '"x", "y"')], 200, WHOLE, None),
    ("if-none-match on head", "HEAD", "data.bin", [("If-None-Match", "{etag}")], 304, None, None),
    ("if-modified-since same", "GET", "data.bin", [("If-Modified-Since", "{date}")], 304, None, None),
    ("if-modified-since stale", "GET", "data.bin", [("If-Modified-Since", "{stale}")], 200, WHOLE, None),
    ("if-match other", "GET", "data.bin", [("If-Match", '"x"')], 412, None, None),
    ("if-unmodified-since stale", "GET", "data.bin", [("If-Unmodified-Since", "{stale}")], 412, None, None),
    ("head with a range", "HEAD", "data.bin", [("Range", "bytes=0-9")], 200, None, None),
    ("empty file", "GET", "empty.bin", [], 200, (0, 0), None),
    ("empty file with a range", "GET", "empty.bin", [("Range", "bytes=0-")], 200, (0, 0), None),
]

# What nginx answers otherwise, and why that is legitimate. Its ETag format
# is its own too ("mtime-size" in hex): each server is asked with its own
# validators, and ETags are never compared.
NGINX_DIFFERS = {
    "several ranges": "nginx answers several ranges with 206 multipart/byteranges; this server sends the whole "
                      "file with 200, which RFC 9110 allows",
    "head with a range": "RFC 9110 defines Range for GET only, so this server ignores it on HEAD; nginx answers "
                         "HEAD as it would GET, with 206",
    "syntax error": "nginx rejects a Range that does not parse with 416; this server ignores it and sends the "
                    "whole file, which RFC 9110 (section 14.2) also allows",
    "reversed range": "the same: last-pos before first-pos makes the range invalid, not unsatisfiable",
}
# Compared for 2xx and 304 only: error answers carry each server's own text.
BODY_COMPARED = (200, 206, 304)


def filled(value, etag, date):
    stale = email.utils.format_datetime(email.utils.parsedate_to_datetime(date) - datetime.timedelta(hours=1),
                                        usegmt=True)
    return value.replace("{etag}", etag).replace("{date}", date).replace("{stale}", stale)


def ask_all(port):
    """Every request of TABLE to the server on `port`: {label: (status, headers, body)}."""
    _, probe, _ = exchange(port, "HEAD", "/files/data.bin")
    etag, date = probe["etag"], probe["last-modified"]
    answers = {}
    for label, method, name, headers, *_ in TABLE:
        sent = [(key, filled(value, etag, date)) for key, value in headers]
        answers[label] = exchange(port, method, f"/files/{name}", sent)
    return answers


class DownloadTableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.TemporaryDirectory(prefix="download-table-")
        root = pathlib.Path(cls.root.name)
        cls.files = root / "files"
        cls.files.mkdir()
        (cls.files / "data.bin").write_bytes(DATA)
        (cls.files / "empty.bin").write_bytes(b"")
        cls.server = ZmfileServer(cls.files, root / "server.log")
        if not cls.server.start():
            raise RuntimeError("zmfile serve did not start: " + cls.server.log())
        cls.ours = ask_all(cls.server.port)

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        log = cls.server.log()
        cls.root.cleanup()
        if status != 0:
            raise AssertionError(f"zmfile serve stopped with {status}:\n{log}")

    def test_every_request_gets_its_exact_answer(self):
        for label, method, _, _, status, body, content_range in TABLE:
            with self.subTest(label):
                got_status, headers, got_body = self.ours[label]
                self.assertEqual(got_status, status)
                self.assertEqual(headers.get("content-range"), content_range)
                if body is not None:
                    self.assertEqual(got_body, DATA[body[0]:body[1]])
                    self.assertEqual(headers.get("content-length"), str(body[1] - body[0]))
                elif method == "HEAD" and status == 200:
                    self.assertEqual(headers.get("content-length"), str(SIZE))
                else:
                    self.assertEqual(got_body, b"")
                if status in (200, 206, 304):
                    self.assertRegex(headers.get("etag", ""), r'^"[0-9a-f]+-[0-9a-f]+-[0-9a-f]+"$')
                    self.assertTrue(headers.get("last-modified", "").endswith(" GMT"))
                if status in (200, 206):
                    self.assertEqual(headers.get("accept-ranges"), "bytes")
                    self.assertTrue(headers.get("content-disposition", "").startswith("attachment;"))
                    self.assertEqual(headers.get("x-content-type-options"), "nosniff")
                    self.assertIn("sandbox", headers.get("content-security-policy", ""))

    def test_nginx_serving_the_same_folder_answers_the_same(self):
        nginx = nginx_fixture.find_nginx()
        if nginx is None:
            self.skipTest("nginx is not installed")
        directory = pathlib.Path(self.root.name) / "nginx"
        port = nginx_fixture.free_port()
        nginx_fixture.write_static_config(directory, f"127.0.0.1:{port}", self.files)
        stderr = open(directory / "stderr.log", "wb")
        process = subprocess.Popen(nginx_fixture.nginx_command(nginx, directory), stdout=stderr, stderr=stderr)
        try:
            self.assertTrue(nginx_fixture.wait_listening(port, 10, process), (directory / "error.log").read_text())
            theirs = ask_all(port)
        finally:
            nginx_fixture.stop_pid(process)
            stderr.close()
        for label, *_ in TABLE:
            if label in NGINX_DIFFERS:
                # Listed differences must still be differences.
                self.assertNotEqual(self.ours[label][0], theirs[label][0], label)
                continue
            with self.subTest(label):
                our_status, our_headers, our_body = self.ours[label]
                their_status, their_headers, their_body = theirs[label]
                self.assertEqual(our_status, their_status)
                self.assertEqual(our_headers.get("content-range"), their_headers.get("content-range"))
                if our_status in BODY_COMPARED:
                    self.assertEqual(our_headers.get("content-length"), their_headers.get("content-length"))
                    self.assertEqual(our_body, their_body)


if __name__ == "__main__":
    if not ZMFILE:
        sys.exit("download_table_test: ZMFILE_BINARY must name the zmfile to test")
    unittest.main()
