"""The contenders of bench/serve_compare and what it reads of their processes.

Each contender is an HTTP upload server on a free port of 127.0.0.1 storing
into its own directory; Server starts one and reads its port from its first
lines of output ("open http://127.0.0.1:PORT/" or "listening PORT").
"""
import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = ROOT / "build" / "release"
MIB = 1 << 20

ZMFILE = "zmfile serve"
ZMFILE_DURABLE = "zmfile serve, fsync"
OLD_ZMFILE = "old zmfile serve"
C_SINK = "C sink"
NODE_SINK = "node sink"
GO = "Go net/http"
# The sinks store each raw body: the file plus the form's framing.
RAW_BODY_SINKS = (C_SINK, NODE_SINK)


def proc_status(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])  # KiB
    return -1


def proc_cpu_seconds(pid):
    """User and system CPU time of the process (all its threads) so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_write_bytes(pid):
    with open(f"/proc/{pid}/io") as io:
        for line in io:
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    return -1


def load_average():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


class Server:
    """One contender's server process, started in a fresh directory."""

    def __init__(self, name, command, work):
        self.name = name
        self.dir = Path(tempfile.mkdtemp(prefix="store-", dir=work))
        self.log = open(self.dir.parent / f"{self.dir.name}.log", "w+")
        argv = [part.replace("{DIR}", str(self.dir)) for part in command]
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.port = None
        deadline = time.time() + 20
        while time.time() < deadline and self.port is None:
            line = self.process.stdout.readline()
            if not line:
                break
            match = re.search(r"open http://127\.0\.0\.1:(\d+)/|listening (\d+)", line)
            if match:
                self.port = int(match.group(1) or match.group(2))
        if self.port is None:
            self.stop()
            raise RuntimeError(f"{name} did not start")
        # The server's later output goes unread: drain it on the side.
        self.drain = subprocess.Popen(["cat"], stdin=self.process.stdout, stdout=self.log)

    @property
    def pid(self):
        return self.process.pid

    def url(self, path="/upload"):
        return f"http://127.0.0.1:{self.port}{path}"

    def clear(self):
        for entry in self.dir.iterdir():
            entry.unlink()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def build_go_server(out_dir):
    """Builds bench/peers/go_upload_server.go (standard library only, nothing
    fetched) into out_dir, its caches beside it. None without Go."""
    go = shutil.which("go")
    if go is None:
        print("no go (golang-go): the Go contender is left out", file=sys.stderr)
        return None
    go_dir = out_dir / "go"
    binary = go_dir / "go_upload_server"
    env = dict(os.environ, GOPATH=str(go_dir / "gopath"), GOCACHE=str(go_dir / "gocache"), GOPROXY="off",
               GOTOOLCHAIN="local", GO111MODULE="on")
    env.pop("GOFLAGS", None)
    subprocess.run([go, "build", "-o", str(binary), str(BENCH / "peers" / "go_upload_server.go")], env=env,
                   check=True)
    return binary


_hook_receivers = []


def start_hook_receiver():
    """Starts bench/peers/noop_hook_receiver.py for the run; returns its port."""
    process = subprocess.Popen([sys.executable, str(BENCH / "peers" / "noop_hook_receiver.py")],
                               stdout=subprocess.PIPE, text=True)
    _hook_receivers.append(process)
    atexit.register(process.terminate)
    line = process.stdout.readline()
    match = re.match(r"listening (\d+)", line)
    if not match:
        sys.exit("the no-op hook receiver did not start")
    return int(match.group(1))


def contenders(args, out_dir):
    """(name, argv) of each server, the argv's {DIR} its store."""
    zmfile = BUILD / "zmfile"
    c_sink = BUILD / "bench" / "c_sink_server"
    if not c_sink.exists():
        sys.exit(f"{c_sink} is missing: cmake --build build/release --target c_sink_server zmfile")
    serve = ["serve", "--host", "127.0.0.1", "--port", "0", "--dir", "{DIR}", "--conflict", "makeunique"]
    # The concurrent uploads all come from 127.0.0.1: above the default
    # limit of 16 connections per address.
    options = ["--max-body", str(4 << 30), "--max-per-address", "64"]
    found = [
        # --no-fsync: none of the other servers syncs either.
        (ZMFILE, [str(zmfile)] + serve + options + ["--no-fsync"]),
        # The default: each file synced, then its directory, before the answer.
        (ZMFILE_DURABLE, [str(zmfile)] + serve + options),
    ]
    if getattr(args, "hooks", False):
        receiver = start_hook_receiver()
        found.append((ZMFILE + " --hook-post HTTP no-op",
                      [str(zmfile)] + serve + options + ["--no-fsync", "--hook-post", f"http://127.0.0.1:{receiver}/"]))
        found.append((ZMFILE + " --hook-post command true",
                      [str(zmfile)] + serve + options + ["--no-fsync", "--hook-post", shutil.which("true")]))
    if getattr(args, "digest", False):
        found.append((ZMFILE + " --digest sha256", [str(zmfile)] + serve + options + ["--no-fsync", "--digest", "sha256"]))
    if args.old_zmfile:
        # The earlier server refuses bodies past 2147483647 bytes.
        found.append((OLD_ZMFILE, [args.old_zmfile] + serve + ["--max-body", "2147483647"]))
    found.append((C_SINK, [str(c_sink), "{DIR}"]))
    node = shutil.which("node")
    found.append((NODE_SINK, [node, str(BENCH / "peers" / "raw_sink_server.js"), "{DIR}"]))
    found.append(("node busboy", [node, str(BENCH / "peers" / "busboy_server.js"), "{DIR}"]))
    if not args.contender or GO in args.contender:
        go_server = build_go_server(out_dir)
        if go_server is not None:
            found.append((GO, [str(go_server), "{DIR}"]))
    if args.contender:
        found = [entry for entry in found if entry[0] in args.contender]
    return found


def write_random_file(path, size):
    with open(path, "wb") as out:
        left = size
        block = os.urandom(MIB)
        while left > 0:
            # Each MiB differs: rotate the block by the offset.
            shift = (left // MIB) % len(block)
            piece = (block[shift:] + block[:shift])[: min(MIB, left)]
            out.write(piece)
            left -= len(piece)


def curl_upload(url, file_path, name, max_time=600, extra=()):
    result = subprocess.run(
        ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "--max-time", str(max_time),
         *extra, "-H", "Accept: application/json", "-F", f"upload1=@{file_path};filename={name}", url],
        capture_output=True, text=True)
    fields = result.stdout.split()
    return (int(fields[0]), float(fields[1])) if len(fields) == 2 else (0, 0.0)


def stored_bytes(directory):
    return sum(entry.stat().st_size for entry in directory.iterdir() if not entry.name.startswith("."))


def stored_whole(name, stored, size):
    """True when a contender stored the upload of `size` bytes whole."""
    return stored == size or (name in RAW_BODY_SINKS and stored > size)
