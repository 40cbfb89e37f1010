#!/usr/bin/env python3
"""Clients of the scale-out test: concurrent uploads through the proxy, each
checked against the files the two mounts show afterwards.

  scale_out_clients.py same-name URL DIR_A DIR_B COUNT POLICY PARALLEL
  scale_out_clients.py large URL DIR_A DIR_B COUNT MIB PARALLEL
  scale_out_clients.py slow URL NAME SIZE_MIB PAUSE_FILE  (sends half, waits
      until PAUSE_FILE exists, sends the rest; prints the status)

Every check prints what it saw; a failed one exits 1.
"""
import concurrent.futures
import hashlib
import http.client
import json
import os
import sys
import time
import urllib.parse

BOUNDARY = "----zmfile-scale-out-boundary"
TIMEOUT = 120


def form_parts(name, policy):
    head = (
        f"--{BOUNDARY}\r\n"
        f'Content-Disposition: form-data; name="conflict"\r\n\r\n{policy}\r\n'
        f"--{BOUNDARY}\r\n"
        f'Content-Disposition: form-data; name="upload1"; filename="{name}"\r\n'
        "Content-Type: application/octet-stream\r\n\r\n"
    ).encode()
    tail = f"\r\n--{BOUNDARY}--\r\n".encode()
    return head, tail


def post(url, name, policy, chunks, length):
    """POSTs a form whose file is the concatenation of `chunks` (`length`
    bytes). Returns (status, parsed JSON answer or None)."""
    parsed = urllib.parse.urlsplit(url)
    head, tail = form_parts(name, policy)
    connection = http.client.HTTPConnection(parsed.hostname, parsed.port, timeout=TIMEOUT)
    try:
        connection.putrequest("POST", parsed.path.rstrip("/") + "/upload", skip_host=True)
        # The Host the servers know (their --public-url) also on a request
        # sent to one server directly.
        connection.putheader("Host", os.environ.get("SCALE_OUT_HOST") or parsed.netloc)
        connection.putheader("Content-Type", f"multipart/form-data; boundary={BOUNDARY}")
        connection.putheader("Accept", "application/json")
        connection.putheader("Content-Length", str(len(head) + length + len(tail)))
        connection.endheaders()
        connection.send(head)
        for chunk in chunks:
            connection.send(chunk)
        connection.send(tail)
        response = connection.getresponse()
        body = response.read()
        try:
            return response.status, json.loads(body)
        except ValueError:
            return response.status, None
    finally:
        connection.close()


def content_of(index, size):
    """Distinct bytes for upload `index`: its number, then random bytes."""
    prefix = f"upload {index}\n".encode()
    return prefix + os.urandom(max(0, size - len(prefix)))


def stored_name(answer):
    # The answer's Result is the stored path; the name is its last part.
    result = (answer or {}).get("Result") or ""
    return os.path.basename(result)


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while True:
            block = file.read(1 << 20)
            if not block:
                return digest.hexdigest()
            digest.update(block)


failures = []


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message, flush=True)
    if not condition:
        failures.append(message)


def files_in(directory):
    return sorted(name for name in os.listdir(directory))


def same_name(url, dir_a, dir_b, count, policy, parallel):
    name = f"same-{policy}.bin"
    contents = [content_of(i, 1024 + (i * 37) % 3000) for i in range(count)]
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        answers = list(pool.map(lambda i: post(url, name, policy, [contents[i]], len(contents[i])), range(count)))
    statuses = {}
    for status, _ in answers:
        statuses[status] = statuses.get(status, 0) + 1
    print(f"      {count} uploads of {name} under {policy}: statuses {statuses}", flush=True)
    stored = {stored_name(answer): i for i, (status, answer) in enumerate(answers) if status == 200}
    stem = name[: -len(".bin")]
    on_a = [entry for entry in files_in(dir_a) if entry.startswith(stem)]
    on_b = [entry for entry in files_in(dir_b) if entry.startswith(stem)]
    if policy == "makeunique":
        check(statuses == {200: count}, f"every one of {count} answered 200")
        check(len(stored) == count, f"{len(stored)} distinct stored names answered (want {count})")
    else:
        check(statuses == {200: 1, 409: count - 1}, f"exactly one 200 and {count - 1} answered 409")
        refused = [answer for status, answer in answers if status == 409]
        check(all((a or {}).get("ErrorCode") == 106 for a in refused), "every 409 carries ErrorCode 106")
    check(sorted(stored) == on_a, f"the files on mount A are exactly the {len(stored)} answered 200 ({len(on_a)} there)")
    check(on_a == on_b, "both mounts list the same files")
    mismatched = 0
    for position, (entry, index) in enumerate(sorted(stored.items())):
        directory = dir_a if position % 2 == 0 else dir_b
        if sha256_of_file(os.path.join(directory, entry)) != hashlib.sha256(contents[index]).hexdigest():
            mismatched += 1
    check(mismatched == 0, f"each stored file is byte-identical to its upload ({mismatched} differ)")
    for entry in on_a:
        os.unlink(os.path.join(dir_a, entry))


def large(url, dir_a, dir_b, count, mib, parallel):
    size = mib << 20
    piece = 1 << 20

    def one(index):
        # Distinct content, made a MiB at a time so that memory stays small.
        seed = os.urandom(32)
        chunks = (hashlib.sha256(seed + i.to_bytes(4, "big")).digest() * (piece // 32) for i in range(mib))
        digest = hashlib.sha256()

        def counted():
            for chunk in chunks:
                digest.update(chunk)
                yield chunk

        status, answer = post(url, f"large-{index}.bin", "error", counted(), size)
        return status, stored_name(answer), digest.hexdigest()

    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        results = list(pool.map(one, range(count)))
    seconds = time.monotonic() - started
    print(f"      {count} uploads of {mib} MiB in {seconds:.1f} s ({count * mib / seconds:.0f} MiB/s)", flush=True)
    check(all(status == 200 for status, _, _ in results), f"all {count} answered 200")
    bad = 0
    for index, (status, entry, digest) in enumerate(results):
        directory = dir_a if index % 2 == 0 else dir_b
        path = os.path.join(directory, entry or f"large-{index}.bin")
        if status != 200 or not os.path.isfile(path) or os.path.getsize(path) != size or sha256_of_file(path) != digest:
            bad += 1
    check(bad == 0, f"each {mib} MiB file is complete and byte-identical ({bad} not)")
    for index in range(count):
        try:
            os.unlink(os.path.join(dir_a, f"large-{index}.bin"))
        except FileNotFoundError:
            pass


def slow(url, name, size_mib, pause_file):
    """One upload sent half, then held until `pause_file` appears (bounded
    by TIMEOUT), then finished. Prints the status ("dropped" when the
    connection broke) and the SHA-256 of its content."""
    half = os.urandom(size_mib << 19)
    rest = os.urandom(size_mib << 19)
    digest = hashlib.sha256(half + rest).hexdigest()

    def chunks():
        yield half
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(pause_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        yield rest

    try:
        status, _ = post(url, name, "error", chunks(), len(half) + len(rest))
    except (OSError, http.client.HTTPException) as error:
        status = f"dropped ({type(error).__name__})"
    print(f"{status} {digest}", flush=True)


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "same-name":
        url, dir_a, dir_b, count, policy, parallel = args
        same_name(url, dir_a, dir_b, int(count), policy, int(parallel))
    elif command == "large":
        url, dir_a, dir_b, count, mib, parallel = args
        large(url, dir_a, dir_b, int(count), int(mib), int(parallel))
    elif command == "slow":
        url, name, size_mib, pause_file = args
        slow(url, name, int(size_mib), pause_file)
        return 0
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
