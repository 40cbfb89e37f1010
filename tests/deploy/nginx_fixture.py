"""Debian's nginx in front of zmfile serve, for the tests.

The site is contrib/nginx/zmfile.conf, the file the README shows, with the
test's listen address, upstream servers and sub-path put in. It sits in a
main configuration whose pid file, logs and temporary directories all lie in
one directory, so a test needs no root and leaves nothing outside it. nginx
runs in the foreground (daemon off) as a child, and is stopped by its pid.

As a program it writes that configuration and execs nginx, so that a caller
in another language (the browser test) holds nginx's own pid:

  nginx_fixture.py --dir DIR --listen 127.0.0.1:PORT --upstream 127.0.0.1:PORT --sub-path /sub/
"""

import argparse
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
TEMPLATE = SOURCE_DIR / "contrib" / "nginx" / "zmfile.conf"

# What the template holds for the three things a deployment changes.
_LISTEN = "    listen 80;\n"
_UPSTREAM = "    server 127.0.0.1:8080;\n"
_SUB_PATH = "/files-drop/"

_TEMP_DIRS = ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")


def find_nginx():
    """Returns the path of nginx (PATH, then /usr/sbin), or None."""
    found = shutil.which("nginx")
    if found:
        return found
    return "/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else None


def free_port():
    """A port free on 127.0.0.1 right now (the kernel picks it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def render_site(template, listen, upstreams, sub_path):
    """The site block of `template` listening on `listen` ("ADDRESS:PORT"),
    proxying to `upstreams` ("ADDRESS:PORT" each) under `sub_path` ("/x/").
    Raises ValueError when the template no longer has what is replaced, so
    that a change to it cannot quietly leave the test on other settings."""
    if not (sub_path.startswith("/") and sub_path.endswith("/")):
        raise ValueError(f"sub-path {sub_path!r} must start and end with /")
    for marker in (_LISTEN, _UPSTREAM):
        if template.count(marker) != 1:
            raise ValueError(f"{TEMPLATE} must hold {marker.strip()!r} exactly once")
    if _SUB_PATH not in template:
        raise ValueError(f"{TEMPLATE} no longer holds the sub-path {_SUB_PATH}")
    site = template.replace(_LISTEN, f"    listen {listen};\n")
    site = site.replace(_UPSTREAM, "".join(f"    server {upstream};\n" for upstream in upstreams))
    # The exact-match redirect names the sub-path without its final slash.
    return site.replace(_SUB_PATH.rstrip("/"), sub_path.rstrip("/"))


def write_config(directory, listen, upstreams, sub_path):
    """Writes DIRECTORY/nginx.conf (and site.conf beside it); returns its path."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "site.conf").write_text(render_site(TEMPLATE.read_text(), listen, upstreams, sub_path))
    return _write_main(directory)


def write_static_config(directory, listen, files_dir, workers="1"):
    """Writes DIRECTORY/nginx.conf for nginx serving the files of
    `files_dir` itself at /files/NAME on `listen`, as a static file server
    does: sendfile on, the access log on, nginx's own ETag and ranges;
    `workers` is its worker_processes ("auto": one per core)."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "site.conf").write_text(
        "server {\n"
        f"    listen {listen};\n"
        "    sendfile on;\n"
        "    default_type application/octet-stream;\n"
        f"    location /files/ {{\n        alias {pathlib.Path(files_dir).resolve()}/;\n    }}\n"
        "}\n")
    return _write_main(directory, workers)


def _write_main(directory, workers="1"):
    """The main configuration around DIRECTORY/site.conf; returns its path."""
    for name in _TEMP_DIRS:
        (directory / f"{name}_temp").mkdir(parents=True, exist_ok=True)
    temp_paths = "".join(f"    {name}_temp_path {directory / (name + '_temp')};\n" for name in _TEMP_DIRS)
    # As root, the workers would otherwise run as nobody, who cannot enter a
    # private temporary directory.
    user = "user root;\n" if os.geteuid() == 0 else ""
    main = (f"{user}"
            f"worker_processes {workers};\n"
            f"pid {directory / 'nginx.pid'};\n"
            f"error_log {directory / 'error.log'} info;\n"
            "events {\n    worker_connections 256;\n}\n"
            "http {\n"
            f"    access_log {directory / 'access.log'};\n"
            f"{temp_paths}"
            f"    include {directory / 'site.conf'};\n"
            "}\n")
    config = directory / "nginx.conf"
    config.write_text(main)
    return config


def nginx_command(nginx, directory):
    config = pathlib.Path(directory) / "nginx.conf"
    return [nginx, "-p", str(directory), "-c", str(config), "-g", "daemon off;"]


def wait_listening(port, seconds, process=None):
    """True once 127.0.0.1:`port` accepts a connection, within `seconds`;
    False at once if `process` ends first."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def _children(pid):
    try:
        text = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except OSError:
        return []
    return [int(child) for child in text.split()]


def stop_pid(process, seconds=10):
    """Stops a child nginx (or any child) by its pid: SIGTERM, then after
    `seconds` SIGKILL to it and to its worker processes. Returns the exit
    status, or None when it had to be killed."""
    if process.poll() is not None:
        return process.returncode
    workers = _children(process.pid)
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        for pid in workers + [process.pid]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        process.wait()
        return None


class Nginx:
    """nginx on 127.0.0.1:`port` in front of `upstreams` under `sub_path`,
    its files in `directory`. start() returns False (and error_text() says
    why) when it did not come up within 10 s."""

    def __init__(self, nginx, directory, port, upstreams, sub_path):
        self.directory = pathlib.Path(directory)
        self.port = port
        self.sub_path = sub_path
        write_config(self.directory, f"127.0.0.1:{port}", upstreams, sub_path)
        self._command = nginx_command(nginx, self.directory)
        self._stderr = open(self.directory / "stderr.log", "wb")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(self._command, stdin=subprocess.DEVNULL, stdout=self._stderr,
                                        stderr=self._stderr)
        return wait_listening(self.port, 10, self.process)

    def stop(self):
        status = stop_pid(self.process) if self.process else 0
        self._stderr.close()
        return status

    def url(self, path=""):
        return f"http://127.0.0.1:{self.port}{self.sub_path}{path}"

    def error_text(self):
        parts = []
        for name in ("stderr.log", "error.log"):
            try:
                parts.append((self.directory / name).read_text(errors="replace"))
            except OSError:
                pass
        return "".join(parts)

    def temp_entries(self):
        """Every file under nginx's temporary directories."""
        return sorted(str(path.relative_to(self.directory))
                      for name in _TEMP_DIRS for path in (self.directory / f"{name}_temp").rglob("*")
                      if path.is_file())


def main():
    parser = argparse.ArgumentParser(description="Write a test nginx configuration and exec nginx on it")
    parser.add_argument("--dir", required=True)
    parser.add_argument("--listen", required=True)
    parser.add_argument("--upstream", action="append", required=True)
    parser.add_argument("--sub-path", required=True)
    args = parser.parse_args()
    nginx = find_nginx()
    if nginx is None:
        print("nginx_fixture: nginx is not installed", file=sys.stderr)
        return 77
    write_config(args.dir, args.listen, args.upstream, args.sub_path)
    os.execv(nginx, nginx_command(nginx, args.dir))


if __name__ == "__main__":
    sys.exit(main())
