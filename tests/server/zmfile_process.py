"""zmfile serve as a child process on a free loopback port, for the Python
tests of downloads and deletes, with small raw HTTP helpers."""

import os
import pathlib
import re
import signal
import socket
import subprocess
import time

ZMFILE = os.environ.get("ZMFILE_BINARY", "")


class ZmfileServer:
    """zmfile serve --dir `files_dir` --port 0 plus `extra_args`; its output
    goes to `log_path`. start() returns False when it did not come up."""

    def __init__(self, files_dir, log_path, extra_args=()):
        self.log_path = pathlib.Path(log_path)
        self._command = [ZMFILE, "serve", "--dir", str(files_dir), "--port", "0", *extra_args]
        self.process = None
        self.port = None

    def start(self, seconds=15):
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(self._command, stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            match = re.search(r"open https?://127\.0\.0\.1:(\d+)/ \(Ctrl-C", self.log())
            if match:
                self.port = int(match.group(1))
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        """SIGINT, then SIGKILL after 10 s; returns the exit status (None when killed)."""
        status = None
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                status = self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        elif self.process is not None:
            status = self.process.returncode
        self._log.close()
        return status

    def log(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""


def connect(port, timeout=30):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def read_head(sock):
    """Reads up to the blank line; returns (status, {lower-case name: value}, bytes after the head)."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            raise ConnectionError(f"closed inside the head: {data!r}")
        data += piece
    head, rest = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, rest


def exchange(port, method, target, headers=(), body=b"", read_body=True):
    """One request on a fresh connection; returns (status, headers, body).
    The body is read by Content-Length (none for HEAD, 204 and 304)."""
    with connect(port) as sock:
        lines = [f"{method} {target} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Connection: close"]
        lines += [f"{name}: {value}" for name, value in headers]
        if body:
            lines.append(f"Content-Length: {len(body)}")
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        status, answer_headers, rest = read_head(sock)
        if not read_body or method == "HEAD" or status in (204, 304):
            return status, answer_headers, b""
        length = int(answer_headers.get("content-length", "0"))
        while len(rest) < length:
            piece = sock.recv(1 << 20)
            if not piece:
                break
            rest += piece
        return status, answer_headers, rest
