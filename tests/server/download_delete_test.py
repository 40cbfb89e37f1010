"""Downloads and deletes under way: a file replaced by "overwrite" or deleted
mid-download is still sent whole (the old bytes), a client that hangs up
mid-download costs the server nothing, two deletes of one name
cannot both succeed, a reader that takes nothing is cut off by
--send-timeout, a download holds its place under --max-per-address, TLS
downloads copy the same bytes, and DELETE is refused without --allow-delete,
cross-site, under a rebound Host and without credentials.

Environment: ZMFILE_BINARY.
"""

import base64
import json
import pathlib
import random
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from zmfile_process import ZMFILE, ZmfileServer, connect, exchange, read_head  # noqa: E402

BIG = 16 << 20
OLD = random.Random(1).randbytes(BIG)
NEW = random.Random(2).randbytes(BIG // 2)


def start_download(port, name, receive_buffer=16384):
    """A GET whose answer is left unread; returns (socket, status, headers, body bytes read so far)."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(30)
    sock.connect(("127.0.0.1", port))
    sock.sendall(f"GET /files/{name} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
    status, headers, rest = read_head(sock)
    return sock, status, headers, rest


def finish_download(sock, so_far):
    data = bytearray(so_far)
    while piece := sock.recv(1 << 20):
        data += piece
    sock.close()
    return bytes(data)


def overwrite_upload(port, name, data):
    boundary = "zimraxBoundaryDl27"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"conflict\"\r\n\r\noverwrite\r\n"
            f"--{boundary}\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode() + data + f"\r\n--{boundary}--\r\n".encode()
    status, _, answer = exchange(port, "POST", "/upload", [("Accept", "application/json"),
                                 ("Content-Type", f"multipart/form-data; boundary={boundary}")], body)
    return status, json.loads(answer)


class ServerCase(unittest.TestCase):
    """A fresh folder and a server with `ARGS` for every test."""
    ARGS = ("--allow-delete", "--client-conflict", "makeunique,overwrite", "--max-per-address", "64")

    def setUp(self):
        self.root = tempfile.TemporaryDirectory(prefix="download-delete-")
        self.files = pathlib.Path(self.root.name) / "files"
        self.files.mkdir()
        self.server = self.start_server(self.ARGS)

    def start_server(self, args):
        server = ZmfileServer(self.files, pathlib.Path(self.root.name) / f"server{len(args)}.log", args)
        self.assertTrue(server.start(), server.log())
        # The server lived through the test and stops cleanly (under the
        # sanitizers: with no error and no leak).
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0, server.log()))
        return server

    def tearDown(self):
        self.root.cleanup()


class DuringDownloadTest(ServerCase):
    def test_overwrite_and_delete_mid_download_leave_the_download_whole(self):
        port = self.server.port
        for change in ("overwrite", "delete"):
            with self.subTest(change):
                (self.files / "big.bin").write_bytes(OLD)
                sock, status, headers, rest = start_download(port, "big.bin")
                self.assertEqual((status, headers["content-length"]), (200, str(BIG)))
                if change == "overwrite":
                    status, answer = overwrite_upload(port, "big.bin", NEW)
                    self.assertEqual((status, answer["Result"], answer.get("Replaced")), (200, "big.bin", True))
                else:
                    self.assertEqual(exchange(port, "DELETE", "/files/big.bin")[0], 204)
                body = finish_download(sock, rest)
                self.assertEqual(len(body), BIG)
                self.assertTrue(body == OLD, "the download mixed the old file with the new")
                after = exchange(port, "GET", "/files/big.bin")
                self.assertEqual(after[0], 200 if change == "overwrite" else 404)
                if change == "overwrite":
                    self.assertTrue(after[2] == NEW)

    def test_a_client_that_hangs_up_mid_download_leaves_the_server_serving(self):
        (self.files / "big.bin").write_bytes(OLD)
        for _ in range(3):
            sock, status, _, _ = start_download(self.server.port, "big.bin")
            self.assertEqual(status, 200)
            # A FIN first (the server's side goes to CLOSE_WAIT), then the
            # reset of a close with unread bytes: the server's next write
            # meets a broken pipe, which must not be a signal that ends it.
            sock.shutdown(socket.SHUT_WR)
            time.sleep(0.1)
            sock.close()
            time.sleep(0.2)
        self.assertIsNone(self.server.process.poll(), self.server.log())
        self.assertEqual(exchange(self.server.port, "GET", "/config")[0], 200)

    def test_two_deletes_of_one_name_succeed_once(self):
        for round_number in range(20):
            (self.files / "twice.txt").write_bytes(b"x")
            statuses = []
            gate = threading.Barrier(2)

            def delete():
                gate.wait()
                statuses.append(exchange(self.server.port, "DELETE", "/files/twice.txt")[0])

            threads = [threading.Thread(target=delete) for _ in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual(sorted(statuses), [204, 404], f"round {round_number}")

    def test_hidden_and_non_regular_names_are_not_deleted(self):
        (self.files / ".zmfile-0123456789abcdef").write_bytes(b"partial")
        (self.files / ".env").write_bytes(b"secret")
        (self.files / "folder").mkdir()
        for name in (".zmfile-0123456789abcdef", ".env", "folder", "missing"):
            with self.subTest(name):
                self.assertEqual(exchange(self.server.port, "DELETE", f"/files/{name}")[0], 404)
                self.assertEqual(exchange(self.server.port, "GET", f"/files/{name}")[0], 404)
        self.assertTrue((self.files / ".env").exists() and (self.files / "folder").is_dir())


class LimitsTest(ServerCase):
    ARGS = ("--send-timeout", "2", "--max-per-address", "1")

    def test_a_reader_that_takes_nothing_is_cut_off_and_holds_its_place_meanwhile(self):
        (self.files / "big.bin").write_bytes(OLD)
        started = time.monotonic()
        sock, status, _, rest = start_download(self.server.port, "big.bin", receive_buffer=4096)
        self.assertEqual(status, 200)
        # The stalled download still counts toward the per-address limit.
        self.assertEqual(exchange(self.server.port, "GET", "/config")[0], 503)
        deadline = started + 20
        while "took no answer bytes" not in self.server.log() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIn("took no answer bytes for 2 s", self.server.log())
        self.assertGreater(time.monotonic() - started, 1.5)
        try:
            received = len(finish_download(sock, rest))
        except ConnectionResetError:
            received = -1
        self.assertLess(received, BIG)
        self.assertEqual(exchange(self.server.port, "GET", "/config")[0], 200)


class TlsDownloadTest(ServerCase):
    ARGS = ()

    def test_tls_downloads_copy_the_same_bytes(self):
        cert, key = (pathlib.Path(self.root.name) / name for name in ("cert.pem", "key.pem"))
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                               "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=127.0.0.1"],
                              capture_output=True, timeout=60)
        self.assertEqual(made.returncode, 0, made.stderr)
        server = self.start_server(("--tls-cert", str(cert), "--tls-key", str(key)))
        (self.files / "big.bin").write_bytes(OLD)
        context = ssl.create_default_context(cafile=str(cert))
        context.check_hostname = False
        for headers, expected in (([], OLD), ([("Range", "bytes=100000-")], OLD[100000:])):
            with self.subTest(headers=headers), connect(server.port) as raw:
                with context.wrap_socket(raw) as sock:
                    lines = [f"GET /files/big.bin HTTP/1.1", f"Host: 127.0.0.1:{server.port}", "Connection: close"]
                    lines += [f"{name}: {value}" for name, value in headers]
                    sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
                    status, answer, rest = read_head(sock)
                    self.assertEqual(status, 206 if headers else 200)
                    body = finish_download(sock, rest)
                    self.assertTrue(body == expected)


class DeleteRefusedTest(ServerCase):
    ARGS = ()

    def test_without_allow_delete_the_file_stays(self):
        (self.files / "kept.txt").write_bytes(b"x")
        status, headers, _ = exchange(self.server.port, "DELETE", "/files/kept.txt")
        self.assertEqual((status, headers.get("allow")), (405, "GET, HEAD"))
        self.assertFalse(json.loads(exchange(self.server.port, "GET", "/config")[2])["delete"])
        self.assertTrue((self.files / "kept.txt").exists())

    def test_cross_site_rebound_and_unauthenticated_deletes_are_refused(self):
        (self.files / "kept.txt").write_bytes(b"x")
        password_hash = subprocess.run(["openssl", "passwd", "-6", "right"], capture_output=True, text=True,
                                       timeout=30).stdout.strip()
        users = pathlib.Path(self.root.name) / "users"
        users.write_text(f"ann:{password_hash}\n")
        server = self.start_server(("--allow-delete", "--htpasswd", str(users)))
        good = "Basic " + base64.b64encode(b"ann:right").decode()
        bad = "Basic " + base64.b64encode(b"ann:wrong").decode()
        cases = [
            ("cross-site origin", [("Authorization", good), ("Origin", "http://evil.example")], 403),
            ("cross-site fetch", [("Authorization", good), ("Sec-Fetch-Site", "cross-site")], 403),
            ("no credentials", [], 401),
            ("wrong password", [("Authorization", bad)], 401),
        ]
        for label, headers, status in cases:
            with self.subTest(label):
                self.assertEqual(exchange(server.port, "DELETE", "/files/kept.txt", headers)[0], status)
                self.assertTrue((self.files / "kept.txt").exists())
        with connect(server.port) as sock:  # a rebound DNS name: the Host is not the server's
            sock.sendall(b"DELETE /files/kept.txt HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n"
                         b"Authorization: " + good.encode() + b"\r\n\r\n")
            self.assertEqual(read_head(sock)[0], 421)
        self.assertTrue((self.files / "kept.txt").exists())
        self.assertEqual(exchange(server.port, "DELETE", "/files/kept.txt", [("Authorization", good)])[0], 204)
        self.assertFalse((self.files / "kept.txt").exists())

    def test_allow_delete_off_loopback_needs_htpasswd(self):
        run = subprocess.run([ZMFILE, "serve", "--dir", str(self.files), "--port", "0", "--host", "0.0.0.0",
                              "--public-url", "http://files.example.org:8080/", "--no-auth", "--allow-delete"],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 2)
        self.assertRegex(run.stderr, re.compile(r"--allow-delete .*without --htpasswd"))


if __name__ == "__main__":
    if not ZMFILE:
        sys.exit("download_delete_test: ZMFILE_BINARY must name the zmfile to test")
    unittest.main()
