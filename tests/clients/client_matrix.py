"""The client matrix: HTTP clients nobody here wrote upload the same three
files to a real zmfile serve on loopback, directly and through the tested
nginx configuration (contrib/nginx/zmfile.conf), each the way its own
documentation shows (matrix_clients.py):

- an empty file;
- 1 MiB of random bytes named a"b.txt: clients that write the quote as %22
  (curl, urllib3, browsers, Node's FormData) have it stored as a%22b.txt,
  as sent; Go 1.19 writes it as \\", which the component reads as a name
  that ends in a backslash: 104, answered 400, nothing stored;
- 64 MiB of random bytes under a UTF-8 name.

Every stored file must be byte-identical, under the expected name, with the
expected status, and nothing else may be left in the directory. A client
whose tool is missing is skipped with a message (scripts/setup.sh installs
them all); nginx missing skips the second path the same way.

Environment: ZMFILE_BINARY, the zmfile to test; GO_UPLOAD, the built Go
client (tests/clients/go_upload), if any.
"""

import filecmp
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "deploy"))
import matrix_clients  # noqa: E402
import nginx_fixture  # noqa: E402

ZMFILE = os.environ.get("ZMFILE_BINARY", "")
SUB_PATH = "/files-drop/"
MIB = 1024 * 1024
FILES = [("empty.txt", 0), ('a"b.txt', MIB), ("Größe ✓ 64m.bin", 64 * MIB)]
BAD_FILE_NAME = 104


def expected_outcome(name, quote):
    """(HTTP status, stored name or None) for `name` sent by a client that
    writes quotes as `quote`."""
    if '"' not in name:
        return 200, name
    if quote == "percent":
        return 200, name.replace('"', "%22")
    return 400, None


class ClientMatrixTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-clients-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.uploads = cls.root / "uploads"
        cls.inputs = cls.root / "inputs"
        cls.work = cls.root / "work"
        cls.inputs.mkdir()
        cls.work.mkdir()
        cls.paths = {}
        for name, size in FILES:
            path = cls.inputs / f"input-{size}"
            path.write_bytes(os.urandom(size))
            cls.paths[name] = path

        nginx = nginx_fixture.find_nginx()
        cls.nginx_port = nginx_fixture.free_port() if nginx else None
        public = ["--public-url", f"http://127.0.0.1:{cls.nginx_port}{SUB_PATH}", "--trust-proxy"] if nginx else []
        cls.server_log_path = cls.root / "zmfile.log"
        cls.server_log = open(cls.server_log_path, "wb")
        cls.addClassCleanup(cls.server_log.close)
        cls.server = subprocess.Popen(
            [ZMFILE, "serve", "--host", "127.0.0.1", "--port", "0", "--dir", str(cls.uploads), "--max-body", "1G",
             "--no-fsync", "--conflict", "error", *public],
            stdin=subprocess.DEVNULL, stdout=cls.server_log, stderr=subprocess.STDOUT)
        cls.addClassCleanup(nginx_fixture.stop_pid, cls.server)
        cls.server_port = cls._wait_for_server_port()
        cls.bases = {"direct": f"http://127.0.0.1:{cls.server_port}/"}
        if nginx:
            (cls.root / "nginx").mkdir()
            cls.nginx = nginx_fixture.Nginx(nginx, cls.root / "nginx", cls.nginx_port,
                                            [f"127.0.0.1:{cls.server_port}"], SUB_PATH)
            cls.addClassCleanup(cls.nginx.stop)
            if not cls.nginx.start():
                raise AssertionError(f"nginx did not start:\n{cls.nginx.error_text()}")
            cls.bases["nginx"] = cls.nginx.url()
        else:
            print("client_matrix: nginx is not installed: the path through it is skipped", flush=True)

    @classmethod
    def _wait_for_server_port(cls):
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            match = re.search(r"open http://127\.0\.0\.1:(\d+)/ \(Ctrl-C", cls.server_log_path.read_text(errors="replace"))
            if match:
                return int(match.group(1))
            if cls.server.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"zmfile serve did not start:\n{cls.server_log_path.read_text(errors='replace')}")

    def run_client(self, label, upload, quote, json_answer, base):
        for name, size in FILES:
            with self.subTest(file=name):
                status, text = upload(base + "upload", str(self.paths[name]), name, str(self.work))
                want_status, want_name = expected_outcome(name, quote)
                self.assertEqual(status, want_status, text[:2000])
                if json_answer:
                    answer = json.loads(text)
                    if want_name is None:
                        self.assertEqual(answer["ErrorCode"], BAD_FILE_NAME, text)
                    else:
                        self.assertEqual(answer["ErrorCode"], 0, text)
                        self.assertEqual(answer["Result"], want_name, text)
                stored = sorted(p.name for p in self.uploads.iterdir())
                self.assertEqual(stored, [want_name] if want_name else [], f"{label}, {name}")
                if want_name:
                    self.assertTrue(filecmp.cmp(self.uploads / want_name, self.paths[name], shallow=False),
                                    f"{label} stored {name} with other bytes")
                    (self.uploads / want_name).unlink()

    def run_path(self, path_label):
        if path_label not in self.bases:
            self.skipTest(f"no {path_label} path")
        for label, upload, quote, json_answer, tool, available in matrix_clients.CLIENTS:
            with self.subTest(client=label, path=path_label):
                if not available():
                    print(f"client_matrix: {label} skipped: {tool} is not installed (scripts/setup.sh installs it)",
                          flush=True)
                    continue
                started = time.monotonic()
                try:
                    self.run_client(label, upload, quote, json_answer, self.bases[path_label])
                finally:
                    for leftover in self.uploads.iterdir():
                        leftover.unlink()
                print(f"client_matrix: {path_label:6} {label:22} {time.monotonic() - started:5.1f} s", flush=True)

    def test_direct(self):
        self.run_path("direct")

    def test_through_nginx(self):
        self.run_path("nginx")


if __name__ == "__main__":
    if not ZMFILE or not os.access(ZMFILE, os.X_OK):
        print("client_matrix: set ZMFILE_BINARY to the zmfile to test", file=sys.stderr)
        sys.exit(2)
    unittest.main(verbosity=2)
