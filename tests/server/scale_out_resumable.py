#!/usr/bin/env python3
"""Resumable (tus 1.0.0) clients of the scale-out test: an upload whose
server dies mid-PATCH resumed through the proxy on the other server, and two
PATCHes racing on one upload through the two servers.

  scale_out_resumable.py killed PUBLIC_URL URL_A URL_B DIR_A DIR_B NAME MIB SIGNALS
      Creates NAME through PUBLIC_URL and PATCHes it there: half at once,
      then the rest slowly. Writes SIGNALS/upload-id and SIGNALS/half-sent,
      then waits for SIGNALS/killed (the test kills the server holding the
      upload), asking both servers for the offset meanwhile. Then resumes
      through PUBLIC_URL: HEAD for the offset, PATCH of the rest.
  scale_out_resumable.py chunks PUBLIC_URL URL_A URL_B DIR_A DIR_B NAME MIB
      NAME PATCHed a MiB at a time through PUBLIC_URL, which alternates
      between the servers: each PATCH must be taken at the offset the last
      answer gave, and the file stored byte for byte. Then the same for an
      upload created without a length, which its first PATCH declares.
  scale_out_resumable.py race PUBLIC_URL URL_A URL_B DIR_A DIR_B NAME MIB
      One PATCH through server A holds the upload half-sent while another,
      with other bytes, goes through server B; then the same the other way.
      The refused client then retries at once, as tus-js-client does.

URL_A and URL_B reach the servers directly; every request carries the Host
of PUBLIC_URL, which the servers check. Every check prints what it saw; a
failed one exits 1.
"""
import base64
import hashlib
import http.client
import os
import sys
import threading
import time
import urllib.parse

TIMEOUT = 60
MIB = 1 << 20

failures = []


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message, flush=True)
    if not condition:
        failures.append(message)


def content(seed, mib):
    """`mib` MiB of bytes, distinct for each seed, made a MiB at a time."""
    return b"".join(hashlib.sha256(seed + i.to_bytes(4, "big")).digest() * (MIB // 32) for i in range(mib))


class Target:
    """A server (or the proxy) reached at `url`, asked for `host`."""

    def __init__(self, url, host):
        parsed = urllib.parse.urlsplit(url)
        self.hostname, self.port, self.host = parsed.hostname, parsed.port, host

    def connect(self):
        return http.client.HTTPConnection(self.hostname, self.port, timeout=TIMEOUT)

    def request(self, method, path, headers=None, body=b""):
        """One request on its own connection: (status, headers dict, body)."""
        connection = self.connect()
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            for name, value in {"Host": self.host, "Tus-Resumable": "1.0.0", **(headers or {})}.items():
                connection.putheader(name, value)
            if method in ("PATCH", "POST"):
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def create(self, name, length, conflict="error", deferred=False):
        metadata = ",".join(f"{key} {base64.b64encode(value.encode()).decode()}"
                            for key, value in (("filename", name), ("conflict", conflict)))
        declared = {"Upload-Defer-Length": "1"} if deferred else {"Upload-Length": str(length)}
        status, headers, body = self.request("POST", "/resumable/", {**declared, "Upload-Metadata": metadata})
        self.last_refusal = f"{status} {body.decode(errors='replace').strip()}"
        return headers.get("location", "") if status == 201 else ""

    def offset(self, path):
        status, headers, _ = self.request("HEAD", path)
        return int(headers["upload-offset"]) if status == 200 and "upload-offset" in headers else None

    def patch(self, path, offset, data, extra=None):
        return self.request("PATCH", path, {"Upload-Offset": str(offset),
                                            "Content-Type": "application/offset+octet-stream", **(extra or {})},
                            data)

    def patch_status(self, path, offset, data):
        """The status of a PATCH, or the name of the error that broke it."""
        try:
            return self.patch(path, offset, data)[0]
        except (OSError, http.client.HTTPException) as error:
            return type(error).__name__

    def patch_in_steps(self, path, offset, pieces, length):
        """A PATCH of `length` bytes sent as `pieces` yields them (each may
        wait first). Returns the status, or the error that broke it."""
        connection = self.connect()
        try:
            connection.putrequest("PATCH", path, skip_host=True, skip_accept_encoding=True)
            for name, value in (("Host", self.host), ("Tus-Resumable", "1.0.0"), ("Upload-Offset", str(offset)),
                                ("Content-Type", "application/offset+octet-stream"),
                                ("Content-Length", str(length))):
                connection.putheader(name, value)
            connection.endheaders()
            for piece in pieces:
                connection.send(piece)
            response = connection.getresponse()
            response.read()
            return response.status
        except (OSError, http.client.HTTPException) as error:
            return type(error).__name__
        finally:
            connection.close()


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while block := file.read(MIB):
            digest.update(block)
    return digest.hexdigest()


def stored_once(dir_a, dir_b, name, data):
    """Checks that `name` (and no other name from it) is stored on both
    mounts, byte for byte `data`."""
    stem = os.path.splitext(name)[0]
    on_a = sorted(entry for entry in os.listdir(dir_a) if entry.startswith(stem))
    on_b = sorted(entry for entry in os.listdir(dir_b) if entry.startswith(stem))
    check(on_a == [name] and on_b == [name], f"{name} is stored once, under its own name (A {on_a}, B {on_b})")
    want = hashlib.sha256(data).hexdigest()
    for label, directory in (("A", dir_a), ("B", dir_b)):
        path = os.path.join(directory, name)
        check(os.path.isfile(path) and sha256_of_file(path) == want,
              f"  byte for byte the upload on mount {label} (sha256)")


def outcome_of(target, path):
    status, headers, _ = target.request("HEAD", path)
    return status, headers.get("upload-offset"), headers.get("zmfile-result-code"), headers.get("zmfile-stored-name")


def killed(public, direct, dir_a, dir_b, name, mib, signals):
    size = mib * MIB
    data = content(b"killed", mib)
    path = public.create(name, size)
    check(path.startswith("/resumable/"), f"creation through the proxy answered 201 with {path or 'no Location'}")
    if not path:
        return
    with open(os.path.join(signals, "upload-id"), "w") as out:
        out.write(path.rsplit("/", 1)[1])
    # Each server has looked at the new upload, as a client asking first would.
    check([server.offset(path) for server in direct] == [0, 0], "both servers answer HEAD with offset 0")

    half = size // 2
    killed_marker = os.path.join(signals, "killed")

    def pieces():
        yield data[:half]
        open(os.path.join(signals, "half-sent"), "w").close()
        # The rest a MiB at a time until the server dies under it.
        deadline = time.monotonic() + TIMEOUT
        for start in range(half, size, MIB):
            if time.monotonic() > deadline:
                return
            time.sleep(0.1)
            yield data[start:start + MIB]

    outcome = {}
    sender = threading.Thread(target=lambda: outcome.update(status=public.patch_in_steps(path, 0, pieces(), size)))
    sender.start()
    # Meanwhile both servers are asked for the offset, as a page polling
    # would: what a mount caches about the data file is then recent.
    deadline = time.monotonic() + TIMEOUT
    while not os.path.exists(killed_marker) and time.monotonic() < deadline:
        for server in direct:
            try:
                server.offset(path)
            except (OSError, http.client.HTTPException):
                pass
        time.sleep(0.05)
    sender.join(TIMEOUT)
    print(f"      the first PATCH ended with {outcome.get('status')}", flush=True)
    check(outcome.get("status") != 204, "the first PATCH did not complete")

    status, headers, body = public.request("HEAD", path)
    offset = int(headers["upload-offset"]) if status == 200 and "upload-offset" in headers else None
    check(offset is not None and 0 < offset < size,
          f"HEAD through the proxy answers the offset the dead server reached ({offset} of {size}; {status})")
    if offset is None:
        return
    status, headers, _ = public.patch(path, offset, data[offset:])
    check(status == 204 and headers.get("upload-offset") == str(size),
          f"the rest ({size - offset} bytes) PATCHed through the proxy: {status}, offset {headers.get('upload-offset')}")
    check(headers.get("zmfile-result-code") == "0" and headers.get("zmfile-stored-name") == name,
          f"  published as {headers.get('zmfile-stored-name')} with code {headers.get('zmfile-result-code')}")
    stored_once(dir_a, dir_b, name, data)
    check(outcome_of(public, path) == (200, str(size), "0", name), "  a later HEAD through the proxy tells the outcome")
    # Published, the upload takes no more data.
    check(public.patch_status(path, offset, data[offset:offset + MIB]) == 403,
          "  a repeated PATCH of the rest is refused (403)")


def race(public, first, second, dir_a, dir_b, name, mib, label):
    size = mib * MIB
    winner_data, loser_data = content(b"winner " + name.encode(), mib), content(b"loser " + name.encode(), mib)
    path = public.create(name, size)
    check(bool(path), f"{label}: creation through the proxy answered 201 ({path or public.last_refusal})")
    if not path:
        return
    go_on = threading.Event()

    def pieces():
        yield winner_data[:size // 2]
        go_on.wait(TIMEOUT)
        yield winner_data[size // 2:]

    outcome = {}
    holder = threading.Thread(target=lambda: outcome.update(status=first.patch_in_steps(path, 0, pieces(), size)))
    holder.start()
    # The holder's half is in the data file: its server holds the lock.
    data_file = os.path.join(dir_a, ".resumable-uploads", path.rsplit("/", 1)[1] + ".data")
    deadline = time.monotonic() + TIMEOUT
    while (not os.path.exists(data_file) or os.path.getsize(data_file) < size // 4) and time.monotonic() < deadline:
        time.sleep(0.05)
    # The racer sends 2 MiB, all of which the server reads after refusing:
    # a close with unread bytes could reset the connection before the
    # answer is read.
    try:
        refused_at_start = second.patch_status(path, 0, loser_data[:2 * MIB])
        offset_now = second.offset(path) or 0
        refused_at_offset = second.patch_status(path, offset_now, loser_data[offset_now:offset_now + 2 * MIB])
    finally:
        go_on.set()
        holder.join(TIMEOUT)
    check(refused_at_start == 423 and refused_at_offset == 423,
          f"{label}: the racing PATCH is refused with 423, at offset 0 and at the offset HEAD gave "
          f"({refused_at_start}, {refused_at_offset})")
    check(outcome.get("status") == 204, f"{label}: the holder's PATCH completes with 204 ({outcome.get('status')})")
    stored_once(dir_a, dir_b, name, winner_data)
    # At once, as the refused client retrying would: the other server's HEAD
    # tells the outcome, and PATCHes change nothing: the last (empty) one is
    # answered with the outcome, one with data is refused.
    told = outcome_of(second, path)
    status, headers, _ = second.patch(path, size, b"")
    late = second.patch_status(path, size // 2, loser_data[size // 2:][:2 * MIB])
    check(told == (200, str(size), "0", name), f"{label}: the other server's HEAD tells the outcome at once {told}")
    check(status == 204 and headers.get("zmfile-stored-name") == name,
          f"{label}: an empty PATCH at the end is answered 204 with the outcome ({status})")
    check(late == 403, f"{label}: a PATCH with data after the end is refused with 403 ({late})")
    stored_once(dir_a, dir_b, name, winner_data)


def chunks(public, dir_a, dir_b, name, mib, deferred):
    """An upload PATCHed a MiB at a time through the proxy, each PATCH at the
    offset the last answer gave: nginx sends each to the other server, which
    must see the data the first wrote a moment before. `deferred`: created
    without a length, which the first PATCH declares."""
    size = mib * MIB
    data = content(name.encode(), mib)
    path = public.create(name, size, deferred=deferred)
    check(bool(path), f"chunked upload of {name}: creation through the proxy answered 201")
    if not path:
        return
    offset, statuses = 0, []
    while offset < size and len(statuses) < 2 * mib:
        declared = {"Upload-Length": str(size)} if deferred and not statuses else {}
        status, headers, _ = public.patch(path, offset, data[offset:offset + MIB], declared)
        statuses.append(status)
        if status != 204:
            told = public.offset(path)
            print(f"      PATCH at {offset} answered {status}; HEAD then gives {told}", flush=True)
            offset = told or 0
            continue
        offset = int(headers.get("upload-offset", 0))
    check(statuses == [204] * mib, f"each of the {mib} chunks was taken at once ({statuses.count(204)} of "
                                   f"{len(statuses)} PATCHes answered 204)")
    stored_once(dir_a, dir_b, name, data)


def main():
    command, args = sys.argv[1], sys.argv[2:]
    public_url, url_a, url_b, dir_a, dir_b, name, mib = args[:7]
    host = urllib.parse.urlsplit(public_url).netloc
    public, server_a, server_b = (Target(url, host) for url in (public_url, url_a, url_b))
    if command == "killed":
        killed(public, (server_a, server_b), dir_a, dir_b, name, int(mib), args[7])
    elif command == "chunks":
        stem, extension = os.path.splitext(name)
        chunks(public, dir_a, dir_b, name, int(mib), False)
        chunks(public, dir_a, dir_b, f"{stem}-deferred{extension}", int(mib), True)
    elif command == "race":
        stem, extension = os.path.splitext(name)
        race(public, server_a, server_b, dir_a, dir_b, f"{stem}-ab{extension}", int(mib), "held on A, raced on B")
        race(public, server_b, server_a, dir_a, dir_b, f"{stem}-ba{extension}", int(mib), "held on B, raced on A")
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
