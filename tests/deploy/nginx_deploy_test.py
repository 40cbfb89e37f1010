"""zmfile serve behind Debian's nginx, configured as the README says
(contrib/nginx/zmfile.conf), under the sub-path /files-drop/.

- A 256 MiB upload streams through nginx (zmfile has written most of the
  first half while the client still holds the second) and is stored byte
  for byte; it downloads back through nginx byte for byte.
- Through the proxy, the Origin and Host rules of --public-url hold, and
  --trust-proxy logs the client's address (127.0.0.3), not nginx's nor one
  the client forged.

Exits 77 (skipped) when nginx is not installed. Environment: ZMFILE_BINARY,
the zmfile to test.
"""

import base64
import hashlib
import json
import os
import pathlib
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import nginx_fixture  # noqa: E402

ZMFILE = os.environ.get("ZMFILE_BINARY", "")
SUB_PATH = "/files-drop/"
LARGE_SIZE = 256 * 1024 * 1024
CHUNK = 1024 * 1024
SKIP = 77


def process_written_bytes(pid):
    """Bytes the process has passed to write() and its kin so far."""
    for line in pathlib.Path(f"/proc/{pid}/io").read_text().splitlines():
        if line.startswith("wchar:"):
            return int(line.split()[1])
    raise AssertionError(f"no wchar in /proc/{pid}/io")


def read_answer(sock):
    """Reads until the peer closes (the requests say Connection: close);
    returns (status, headers lower-cased, body)."""
    data = bytearray()
    while True:
        piece = sock.recv(65536)
        if not piece:
            break
        data += piece
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    match = re.match(r"HTTP/1\.[01] (\d{3})", lines[0]) if lines and lines[0] else None
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return (int(match.group(1)) if match else 0), headers, body


def connect(port, source="127.0.0.1"):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(60)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def multipart(boundary, filename):
    head = (f"--{boundary}\r\n"
            f'Content-Disposition: form-data; name="upload1"; filename="{filename}"\r\n'
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()
    return head, tail


def upload_request(path, host, length, boundary, extra_headers=()):
    lines = [f"POST {path} HTTP/1.1", f"Host: {host}", "Accept: application/json",
             f"Content-Type: multipart/form-data; boundary={boundary}", f"Content-Length: {length}",
             "Connection: close", *extra_headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


class NginxDeployTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-nginx-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.uploads = cls.root / "uploads"
        (cls.root / "nginx").mkdir()
        cls.nginx_port = nginx_fixture.free_port()
        cls.public_origin = f"http://127.0.0.1:{cls.nginx_port}"
        cls.public_host = f"127.0.0.1:{cls.nginx_port}"
        # A zmfile serve without either option refuses to start, and the
        # class fails: the checks below never skip.
        guard_args = ["--public-url", cls.public_origin + SUB_PATH, "--trust-proxy"]

        # zmfile serve as the README runs it behind nginx.
        cls.server_log_path = cls.root / "zmfile.log"
        cls.server_log = open(cls.server_log_path, "wb")
        cls.addClassCleanup(cls.server_log.close)
        cls.server = subprocess.Popen(
            [ZMFILE, "serve", "--host", "127.0.0.1", "--port", "0", "--dir", str(cls.uploads), "--max-body", "1G",
             "--max-per-address", "512", *guard_args],
            stdin=subprocess.DEVNULL, stdout=cls.server_log, stderr=subprocess.STDOUT)
        cls.addClassCleanup(cls._stop_server)
        cls.server_port = cls._wait_for_server_port()

        cls.nginx = nginx_fixture.Nginx(nginx_fixture.find_nginx(), cls.root / "nginx", cls.nginx_port,
                                        [f"127.0.0.1:{cls.server_port}"], SUB_PATH)
        cls.addClassCleanup(cls.nginx.stop)
        if not cls.nginx.start():
            raise AssertionError(f"nginx did not start:\n{cls.nginx.error_text()}")

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

    @classmethod
    def _stop_server(cls):
        # SIGTERM, as systemd stops it: a clean stop exits 0 (unittest
        # reports a failing class cleanup as an error).
        status = nginx_fixture.stop_pid(cls.server, seconds=15)
        if status != 0:
            raise AssertionError(f"zmfile serve exit status {status}:\n{cls.server_log_path.read_text(errors='replace')}")

    def server_log_text(self):
        return self.server_log_path.read_text(errors="replace")

    def small_upload(self, name, host=None, origin=None, source="127.0.0.1"):
        """POSTs a small file through nginx; returns (status, body)."""
        boundary = "zmfileNginxSmall7f3a"
        head, tail = multipart(boundary, name)
        body = head + b"small upload through nginx\n" + tail
        extra = [f"Origin: {origin}"] if origin else []
        with connect(self.nginx_port, source) as sock:
            sock.sendall(upload_request(SUB_PATH + "upload", host or self.public_host, len(body), boundary, extra)
                         + body)
            status, _, answer = read_answer(sock)
        return status, answer

    def test_chunked_client_body_passes_through_nginx(self):
        # With request buffering off, nginx hands a chunked client body on
        # chunked; zmfile decodes it. Odd chunk sizes, a chunk extension
        # and a trailer, as a client may send them.
        boundary = "zmfileNginxChunked41c"
        head, tail = multipart(boundary, "chunked-through-nginx.bin")
        data = os.urandom(3 * CHUNK + 12345)
        body = head + data + tail
        framed = bytearray()
        sizes = (1, 4093, 65536, 1 << 20)
        at = 0
        for index in range(1 << 20):
            if at >= len(body):
                break
            size = min(sizes[index % len(sizes)], len(body) - at)
            framed += b"%x%s\r\n" % (size, b";ext=1" if index % 2 else b"") + body[at:at + size] + b"\r\n"
            at += size
        framed += b"0\r\nX-Trailer: yes\r\n\r\n"
        lines = [f"POST {SUB_PATH}upload HTTP/1.1", f"Host: {self.public_host}", "Accept: application/json",
                 f"Content-Type: multipart/form-data; boundary={boundary}", "Transfer-Encoding: chunked",
                 "Connection: close"]
        with connect(self.nginx_port) as sock:
            sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + bytes(framed))
            status, _, answer = read_answer(sock)
        self.assertEqual(status, 200, answer)
        self.assertEqual(json.loads(answer)["Result"], "chunked-through-nginx.bin")
        self.assertEqual((self.uploads / "chunked-through-nginx.bin").read_bytes(), data)

    def test_large_upload_streams_through_nginx_and_downloads_back(self):
        boundary = "zmfileNginxLarge0b9e4d2c"
        head, tail = multipart(boundary, "large.bin")
        sent = hashlib.sha256()
        written_before = process_written_bytes(self.server.pid)
        with connect(self.nginx_port) as sock:
            sock.sendall(upload_request(SUB_PATH + "upload", self.public_host, len(head) + LARGE_SIZE + len(tail),
                                        boundary) + head)
            for offset in range(0, LARGE_SIZE, CHUNK):
                if offset == LARGE_SIZE // 2:
                    # Half sent, the rest held back: had nginx spooled the
                    # body, zmfile would not have seen a byte of it yet.
                    deadline = time.monotonic() + 30
                    written = 0
                    while time.monotonic() < deadline:
                        written = process_written_bytes(self.server.pid) - written_before
                        if written >= LARGE_SIZE // 4:
                            break
                        time.sleep(0.05)
                    self.assertGreaterEqual(written, LARGE_SIZE // 4,
                                            "zmfile serve stored little of the first half while the client "
                                            "held the rest: nginx is buffering the request body")
                chunk = os.urandom(CHUNK)
                sent.update(chunk)
                sock.sendall(chunk)
            sock.sendall(tail)
            status, _, answer = read_answer(sock)
        self.assertEqual(status, 200, answer)
        self.assertEqual(json.loads(answer)["ErrorCode"], 0, answer)
        self.assertEqual(json.loads(answer)["Result"], "large.bin", answer)

        stored = hashlib.sha256()
        with open(self.uploads / "large.bin", "rb") as file:
            while piece := file.read(CHUNK):
                stored.update(piece)
        self.assertEqual(stored.hexdigest(), sent.hexdigest(), "stored bytes differ from the uploaded ones")

        # Back through nginx, under the sub-path.
        with connect(self.nginx_port) as sock:
            sock.sendall(f"GET {SUB_PATH}files/large.bin HTTP/1.1\r\nHost: {self.public_host}\r\n"
                         "Connection: close\r\n\r\n".encode())
            received = hashlib.sha256()
            head_bytes = bytearray()
            length = 0
            while b"\r\n\r\n" not in head_bytes:
                piece = sock.recv(65536)
                self.assertTrue(piece, "the download ended inside its head")
                head_bytes += piece
            head_part, _, rest = bytes(head_bytes).partition(b"\r\n\r\n")
            self.assertRegex(head_part.split(b"\r\n")[0].decode(), r"^HTTP/1\.1 200 ")
            received.update(rest)
            length += len(rest)
            while piece := sock.recv(CHUNK):
                received.update(piece)
                length += len(piece)
        self.assertEqual(length, LARGE_SIZE)
        self.assertEqual(received.hexdigest(), sent.hexdigest(), "downloaded bytes differ from the uploaded ones")

        # nginx says so when it writes a body to a temporary file (which it
        # unlinks at once, so the directory would not show it).
        errors = self.nginx.error_text()
        self.assertNotIn("buffered to a temporary file", errors)
        self.assertEqual(self.nginx.temp_entries(), [])

    def test_body_over_client_max_body_size_is_refused_by_nginx(self):
        # 1g in the block is 1G of --max-body: one byte more never reaches zmfile.
        boundary = "zmfileNginxTooLarge"
        with connect(self.nginx_port) as sock:
            sock.sendall(upload_request(SUB_PATH + "upload", self.public_host, (1 << 30) + 1, boundary))
            head = bytearray()
            while b"\r\n\r\n" not in head:
                piece = sock.recv(65536)
                if not piece:
                    break
                head += piece
        self.assertRegex(bytes(head).split(b"\r\n")[0].decode(), r"^HTTP/1\.1 413 ")
        self.assertNotRegex(self.server_log_text(), r"POST /upload 413 ")

    def test_readme_shows_the_tested_configuration(self):
        readme = (nginx_fixture.SOURCE_DIR / "README.md").read_text()
        match = re.search(r"### Behind nginx\n.*?```nginx\n(.*?)```\n", readme, re.S)
        self.assertIsNotNone(match, "README.md has no nginx block under \"Behind nginx\"")
        self.assertEqual(match.group(1), nginx_fixture.TEMPLATE.read_text(),
                         "README.md's nginx block differs from contrib/nginx/zmfile.conf")

    def test_origin_and_host_rules_hold_through_nginx(self):
        foreign = "http://uploads.attacker.example"
        # (what, file name, Host sent to nginx, Origin, status)
        cases = [
            ("the public origin", "origin-public.txt", None, self.public_origin, 200),
            ("no Origin (not a browser)", "origin-none.txt", None, None, 200),
            ("a foreign origin", "origin-foreign.txt", None, foreign, 403),
            ("the public host on another port", "origin-port.txt", None, "http://127.0.0.1:1", 403),
            ("the public origin over https", "origin-scheme.txt", None, "https" + self.public_origin[4:], 403),
            ("a foreign Host", "host-foreign.txt", "uploads.attacker.example", self.public_origin, 421),
            ("a foreign Host, no Origin", "host-foreign-none.txt", "uploads.attacker.example:80", None, 421),
        ]
        for what, name, host, origin, status in cases:
            with self.subTest(what):
                got, answer = self.small_upload(name, host=host, origin=origin)
                self.assertEqual(got, status, answer)
                self.assertEqual((self.uploads / name).exists(), status == 200)

    def test_log_shows_the_client_behind_nginx(self):
        probe = f"probe-{os.getpid()}-{time.monotonic_ns()}"
        with connect(self.nginx_port, "127.0.0.3") as sock:
            # A client's own X-Forwarded-For is replaced by nginx, not trusted.
            sock.sendall(f"GET {SUB_PATH}files/{probe} HTTP/1.1\r\nHost: {self.public_host}\r\n"
                         "X-Forwarded-For: 10.9.9.9\r\nConnection: close\r\n\r\n".encode())
            status, _, _ = read_answer(sock)
        self.assertEqual(status, 404)
        line = ""
        deadline = time.monotonic() + 5
        while not line and time.monotonic() < deadline:
            line = next((text for text in self.server_log_text().splitlines() if probe in text), "")
            time.sleep(0.05)
        self.assertTrue(line, f"no log line for the probe:\n{self.server_log_text()}")
        self.assertRegex(line, r" client=127\.0\.0\.3( |$)")
        self.assertNotIn("10.9.9.9", line)


def readme_serve_command():
    """The zmfile serve command the README gives under "Behind nginx", as
    words (continuation lines joined)."""
    readme = (nginx_fixture.SOURCE_DIR / "README.md").read_text()
    section = readme.split("### Behind nginx\n", 1)[1].split("\n### ", 1)[0]
    match = re.search(r"```sh\n(zmfile serve .*?)```\n", section, re.S)
    if match is None:
        raise AssertionError("README.md has no zmfile serve block under \"Behind nginx\"")
    return shlex.split(match.group(1).replace("\\\n", " "))


class NginxReadmeRecipeTest(unittest.TestCase):
    """The recipe exactly as the README shows it: its zmfile serve command
    (only the port made free and the password file put in place) behind the
    unchanged site. It is closed: nobody uploads through it without a
    user's right password."""

    USER, PASSWORD = "ann", "nginx-test-secret"

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-nginx-recipe-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        (cls.root / "nginx").mkdir()
        hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=cls.PASSWORD, capture_output=True,
                                text=True, check=True, timeout=30).stdout.strip()
        (cls.root / "users.htpasswd").write_text(f"{cls.USER}:{hashed}\n")
        words = readme_serve_command()
        cls.command = words
        substituted = [ZMFILE] + ["0" if word == "8080" else word for word in words[1:]]
        cls.server_log_path = cls.root / "zmfile.log"
        with open(cls.server_log_path, "wb") as log:
            cls.server = subprocess.Popen(substituted, cwd=cls.root, stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=subprocess.STDOUT)
        cls.addClassCleanup(nginx_fixture.stop_pid, cls.server, 15)
        deadline = time.monotonic() + 15
        port = None
        while port is None and time.monotonic() < deadline and cls.server.poll() is None:
            match = re.search(r"open http://127\.0\.0\.1:(\d+)/ \(Ctrl-C", cls.server_log_path.read_text(errors="replace"))
            port = int(match.group(1)) if match else None
            time.sleep(0.05)
        if port is None:
            raise AssertionError(f"{substituted} did not start:\n{cls.server_log_path.read_text(errors='replace')}")
        cls.nginx_port = nginx_fixture.free_port()
        cls.nginx = nginx_fixture.Nginx(nginx_fixture.find_nginx(), cls.root / "nginx", cls.nginx_port,
                                        [f"127.0.0.1:{port}"], SUB_PATH)
        cls.addClassCleanup(cls.nginx.stop)
        if not cls.nginx.start():
            raise AssertionError(f"nginx did not start:\n{cls.nginx.error_text()}")

    def request(self, method, path, credentials=None, body=b"", extra=()):
        headers = list(extra)
        if credentials is not None:
            headers.append("Authorization: Basic " + base64.b64encode(":".join(credentials).encode()).decode())
        # The public URL's host (https, so no port means 443), as nginx
        # passes on the Host the client sent.
        lines = [f"{method} {SUB_PATH}{path} HTTP/1.1", "Host: files.example.org", "Connection: close",
                 f"Content-Length: {len(body)}", *headers]
        with connect(self.nginx_port) as sock:
            sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
            return read_answer(sock)

    def upload(self, name, credentials):
        boundary = "zmfileNginxRecipe"
        head, tail = multipart(boundary, name)
        return self.request("POST", "upload", credentials, head + b"through the recipe\n" + tail,
                            [f"Content-Type: multipart/form-data; boundary={boundary}", "Accept: application/json"])

    def test_the_site_block_gives_the_readme_command(self):
        conf = nginx_fixture.TEMPLATE.read_text()
        commented = re.search(r"^#   (zmfile serve .*?)\n#\n", conf, re.S | re.M)
        self.assertIsNotNone(commented, "contrib/nginx/zmfile.conf no longer shows how to start zmfile serve")
        self.assertEqual(shlex.split(commented.group(1).replace("\\\n#", " ")), self.command)
        self.assertIn("--htpasswd", self.command, "the README's recipe starts an open server")

    def test_anonymous_and_wrong_password_uploads_are_refused_with_401(self):
        for what, credentials in [("no credentials", None), ("wrong password", (self.USER, "wrong")),
                                  ("unknown user", ("mallory", self.PASSWORD))]:
            with self.subTest(what):
                name = f"refused-{what.replace(' ', '-')}.txt"
                status, headers, answer = self.upload(name, credentials)
                self.assertEqual(status, 401, answer)
                self.assertTrue(headers.get("www-authenticate", "").startswith("Basic "), headers)
                self.assertFalse((self.root / "uploads" / name).exists())
        status, _, _ = self.request("GET", "files")
        self.assertEqual(status, 401, "the listing is open")

    def test_a_user_with_the_right_password_stores_a_file(self):
        status, _, answer = self.upload("recipe.txt", (self.USER, self.PASSWORD))
        self.assertEqual(status, 200, answer)
        self.assertEqual(json.loads(answer)["Result"], "recipe.txt")
        self.assertEqual((self.root / "uploads" / "recipe.txt").read_bytes(), b"through the recipe\n")
        self.assertRegex(self.server_log_path.read_text(errors="replace"), r'POST /upload 200 .*user="ann"')


def main():
    if not ZMFILE or not os.access(ZMFILE, os.X_OK):
        print("nginx_deploy_test: ZMFILE_BINARY must name the zmfile to test", file=sys.stderr)
        return 2
    if nginx_fixture.find_nginx() is None:
        print("nginx_deploy_test: SKIP: nginx is not installed (scripts/setup.sh installs it)")
        return SKIP
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
