#!/usr/bin/python3
"""Uploads from Python: zimrax.starlette against FastAPI's UploadFile on a
uvicorn server, and the component against python-multipart in process.

1. uvicorn (h11, asyncio; bench/peers/python_upload_server.py), one fresh
   server process per run, contenders in alternation:
   drain (reads the body, stores nothing: the floor), fastapi (UploadFile
   copied into the folder), zimrax (zimrax.starlette.receive_upload) and
   zimrax-hops (the component fed with a thread hop per piece).
   - one large upload (1 GiB of random data) sent by curl from the file;
   - 10 KiB uploads, each under its own name, from wrk with 8 connections
     for a fixed time (bench/peers/wrk_upload.lua).
   Per run: throughput, the server's write_bytes and cancelled_write_bytes
   (/proc/PID/io; a temporary file deleted before write-back shows in both),
   its peak resident set (VmHWM) and CPU time.
2. In process, one 256 MiB body each of random bytes, CR LF pairs and
   near-boundaries (bench/compare's bodies), read in 64 KiB pieces and the
   file stored: python-multipart's MultipartParser
   (bench/peers/python_multipart_save.py) against a zimrax.Upload. On the CR LF
   and near-boundary bodies python-multipart runs on a smaller body of the
   same kind (--probe-mib), where a full one would take minutes.

Every stored file is checked against the data sent. Nothing is synced
(no fsync), for any contender; the page cache is flushed (sync) before
each run. The load average is printed with each part, since the machine
may be shared.

    bench/python_uploads.py            # about 5 minutes
    bench/python_uploads.py --quick    # a check of the script, under a minute
"""
import argparse
import hashlib
import importlib.machinery
import importlib.util
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
PEERS = BENCH / "peers"
SERVER = PEERS / "python_upload_server.py"
SYSTEM_PYTHON = "/usr/bin/python3"
MIB = 1 << 20
SMALL_FILE_BYTES = 10 * 1024  # what bench/peers/wrk_upload.lua sends
SERVER_CONTENDERS = ["drain", "fastapi", "zimrax", "zimrax-hops"]
PIECE = 64 * 1024

sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(PEERS))
import zimrax  # noqa: E402
from python_multipart_save import save_one as python_multipart_save  # noqa: E402


def load_compare():
    """bench/compare's body generators (the script has no .py name)."""
    loader = importlib.machinery.SourceFileLoader("bench_compare", str(BENCH / "compare"))
    module_spec = importlib.util.spec_from_loader("bench_compare", loader)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules["bench_compare"] = module  # dataclasses look their module up
    loader.exec_module(module)
    return module


compare = load_compare()


def load_note():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        while chunk := data.read(4 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


class Server:
    """One python_upload_server.py process; its counters from /proc."""

    def __init__(self, app, directory):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen([SYSTEM_PYTHON, str(SERVER), app, str(directory)], stdout=subprocess.PIPE,
                                        stderr=self.log)
        port = self.process.stdout.readline().strip()
        if not port:
            raise RuntimeError("%s server did not start: %s" % (app, self.errors()))
        self.url = "http://127.0.0.1:%d/" % int(port)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", int(port)), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("%s server did not start: %s" % (app, self.errors()))

    def errors(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def counters(self):
        pid = self.process.pid
        io = dict(line.split(": ") for line in Path("/proc/%d/io" % pid).read_text().splitlines())
        status = Path("/proc/%d/status" % pid).read_text()
        stat = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return {"write_bytes": int(io["write_bytes"]), "cancelled": int(io["cancelled_write_bytes"]),
                "hwm_kib": int(re.search(r"VmHWM:\s+(\d+)", status).group(1)),
                "cpu": (int(stat[11]) + int(stat[12])) / ticks}

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def delta(before, after):
    return {key: after[key] - before[key] for key in ("write_bytes", "cancelled", "cpu")} | {"hwm_kib": after["hwm_kib"]}


def large_upload_run(app, body, directory):
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    os.sync()
    server = Server(app, directory)
    try:
        before = server.counters()
        answer = subprocess.run(
            ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "-H", "Expect:", "-H",
             "Content-Type: multipart/form-data; boundary=" + body.boundary, "-X", "POST", "-T", str(body.path),
             server.url], capture_output=True, text=True, check=True).stdout.split()
        counters = delta(before, server.counters())
    finally:
        server.stop()
    if answer[0] != "200":
        raise RuntimeError("%s answered %s" % (app, answer[0]))
    if app != "drain":
        stored = directory / body.file_name
        if stored.stat().st_size != body.length or sha256_of(stored) != body.sha256:
            raise RuntimeError("%s stored other bytes than were sent" % app)
    shutil.rmtree(directory)
    return counters | {"seconds": float(answer[1]), "bytes": body.length, "files": 1}


def small_uploads_run(app, directory, seconds):
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    os.sync()
    server = Server(app, directory)
    try:
        before = server.counters()
        report = subprocess.run(["wrk", "-t1", "-c8", "-d%ds" % seconds, "-s", str(PEERS / "wrk_upload.lua"),
                                 server.url], capture_output=True, text=True, check=True).stdout
        counters = delta(before, server.counters())
    finally:
        server.stop()
    match = re.search(r"(\d+) requests in ([\d.]+)(m?s)", report)
    if not match or "Non-2xx" in report or "Socket errors" in report:
        raise RuntimeError("%s: wrk reported:\n%s" % (app, report))
    count, elapsed = int(match.group(1)), float(match.group(2)) / (1000 if match.group(3) == "ms" else 1)
    if app != "drain":
        sizes = [entry.stat().st_size for entry in os.scandir(directory)]
        # wrk stops counting at its deadline; requests then in flight may still be stored.
        if not count <= len(sizes) <= count + 8 or any(size != SMALL_FILE_BYTES for size in sizes):
            raise RuntimeError("%s stored %d files for %d answers" % (app, len(sizes), count))
    shutil.rmtree(directory)
    return counters | {"seconds": elapsed, "bytes": count * SMALL_FILE_BYTES, "files": count}


def zimrax_save(body_path, out_dir):
    with zimrax.Upload(str(out_dir), files=[compare.FIELD], conflict="makeunique") as upload:
        with open(body_path, "rb", buffering=0) as body:
            while piece := body.read(PIECE):
                upload.feed(piece)
        result = upload.finish().file(compare.FIELD)
    if not result.ok:
        raise RuntimeError("zimrax: %r" % result)
    return result.stored_name


def in_process_run(contender, body, out_dir):
    shutil.rmtree(out_dir, ignore_errors=True)
    out_dir.mkdir(parents=True)
    os.sync()
    cpu, wall = time.process_time(), time.perf_counter()
    if contender == "python-multipart":
        stored = python_multipart_save(str(body.path), body.boundary.encode(), compare.FIELD.encode(), str(out_dir),
                                       PIECE)
    else:
        stored = zimrax_save(body.path, out_dir)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    if sha256_of(out_dir / stored) != body.sha256:
        raise RuntimeError("%s stored other bytes than were sent" % contender)
    shutil.rmtree(out_dir)
    return {"seconds": wall, "cpu": cpu, "bytes": body.length, "files": 1}


def rate(run):
    return run["bytes"] / run["seconds"]


def spread(values, scale, digits):
    return "%.*f (%.*f-%.*f)" % (digits, statistics.median(values) / scale, digits, min(values) / scale, digits,
                                 max(values) / scale)


def server_table(title, runs, per_file):
    """Markdown rows for one server workload; runs[contender] = [run...]."""
    median = {name: statistics.median(rate(run) for run in runs[name]) for name in runs}
    lines = ["#### " + title, "",
             "| Contender | Runs | %s | x drain | x fastapi | written / data | cancelled / data | peak RSS MiB | "
             "CPU %s |" % ("files/s median (min-max)" if per_file else "MB/s median (min-max)",
                           "ms per file" if per_file else "s"),
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, name_runs in runs.items():
        data = sum(run["bytes"] for run in name_runs)
        written = sum(run["write_bytes"] for run in name_runs) / data
        cancelled = sum(run["cancelled"] for run in name_runs) / data
        files = sum(run["files"] for run in name_runs)
        if per_file:
            speed = spread([run["files"] / run["seconds"] for run in name_runs], 1, 0)
            cpu = "%.2f" % (sum(run["cpu"] for run in name_runs) / files * 1000)
        else:
            speed = spread([rate(run) for run in name_runs], 1e6, 0)
            cpu = "%.2f" % statistics.median(run["cpu"] for run in name_runs)
        lines.append("| %s | %d%s | %s | %.2f | %.2f | %.2f | %.2f | %.0f | %s |" % (
            name, len(name_runs), " (%d files)" % files if per_file else "", speed, median[name] / median["drain"],
            median[name] / median["fastapi"], written, cancelled,
            statistics.median(run["hwm_kib"] for run in name_runs) / 1024, cpu))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "python_uploads")
    parser.add_argument("--large-mib", type=int, default=1024, help="the large upload (default 1 GiB)")
    parser.add_argument("--large-runs", type=int, default=3)
    parser.add_argument("--small-seconds", type=int, default=5, help="each run of 10 KiB uploads")
    parser.add_argument("--small-runs", type=int, default=3)
    parser.add_argument("--body-mib", type=int, default=256, help="the in-process bodies")
    parser.add_argument("--probe-mib", type=int, default=4, help="python-multipart's CR LF and near-boundary bodies")
    parser.add_argument("--body-runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes and one run each")
    parser.add_argument("--parts", default="large,small,in-process",
                        help="which parts to run, comma-separated (default: all)")
    args = parser.parse_args()
    if args.quick:
        args.large_mib, args.large_runs, args.small_seconds, args.small_runs = 64, 1, 2, 1
        args.body_mib, args.probe_mib, args.body_runs = 16, 1, 1
    work = args.out / "work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    rng = random.Random(20261208)
    report = ["### Python uploads (bench/python_uploads.py, %s)" % time.strftime("%Y-%m-%d"), "",
              "Machine: %d cores, Python %s, %s." % (os.cpu_count(), sys.version.split()[0], load_note()), ""]

    parts = set(args.parts.split(","))
    if "large" in parts:
        report += large_part(args, work, rng) + [""]
    if "small" in parts:
        report += small_part(args, work) + [""]
    if "in-process" in parts:
        report += in_process_part(args, work, rng)
    shutil.rmtree(work)
    text = "\n".join(report) + "\n"
    (args.out / "results.md").write_text(text)
    print(text)


def large_part(args, work, rng):
    print("python_uploads: generating the %d MiB upload" % args.large_mib, flush=True)
    large = compare.large_workload(work, "random", "random bytes", args.large_mib, rng).bodies[0]
    runs = {name: [] for name in SERVER_CONTENDERS}
    for round_number in range(args.large_runs):
        for name in SERVER_CONTENDERS:
            runs[name].append(large_upload_run(name, large, work / "uploads"))
            print("  large %s run %d: %.0f MB/s" % (name, round_number + 1, rate(runs[name][-1]) / 1e6), flush=True)
    large.path.unlink()
    return server_table("uvicorn, one %d MiB upload (curl), %s" % (args.large_mib, load_note()), runs, False)


def small_part(args, work):
    runs = {name: [] for name in SERVER_CONTENDERS}
    for round_number in range(args.small_runs):
        for name in SERVER_CONTENDERS:
            runs[name].append(small_uploads_run(name, work / "uploads", args.small_seconds))
            print("  small %s run %d: %.0f files/s" % (name, round_number + 1,
                                                        runs[name][-1]["files"] / runs[name][-1]["seconds"]),
                  flush=True)
    return server_table("uvicorn, 10 KiB uploads (wrk, 8 connections, %d s per run), %s" % (
        args.small_seconds, load_note()), runs, True)


def in_process_part(args, work, rng):
    report = ["#### In process, 64 KiB pieces, %s" % load_note(), "",
              "| Body | Contender | Runs | GB/s median (min-max) | x python-multipart | CPU s (median) |",
              "|---|---|---:|---:|---:|---:|"]
    for kind, label in compare.LARGE_KINDS:
        print("python_uploads: in process, %s" % label, flush=True)
        full = compare.large_workload(work, kind, label, args.body_mib, rng).bodies[0]
        probe = full if kind == "random" else compare.large_workload(work, kind, label, args.probe_mib, rng).bodies[0]
        bodies = {"python-multipart": probe, "zimrax": full}
        body_runs = {name: [] for name in bodies}
        for _ in range(args.body_runs):
            for name, body in bodies.items():
                body_runs[name].append(in_process_run(name, body, work / "stored"))
        base = statistics.median(rate(run) for run in body_runs["python-multipart"])
        for name, body in bodies.items():
            rates = [rate(run) for run in body_runs[name]]
            report.append("| %s, %d MiB | %s | %d | %s | %.1f | %.2f |" % (
                label, body.length // MIB, name, len(rates), spread(rates, 1e9, 3), statistics.median(rates) / base,
                statistics.median(run["cpu"] for run in body_runs[name])))
        for body in {full.path, probe.path}:
            body.unlink()
    return report


if __name__ == "__main__":
    main()
