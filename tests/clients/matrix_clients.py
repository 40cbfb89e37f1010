"""The clients of the client matrix: each uploads one file, as its own
documentation shows, and returns (status, answer text). Each one's
`tool` is what it needs on the machine; `quote` is how it writes a double
quote in a file name: "percent" (%22, as HTML forms do) or "backslash"."""

import http.client
import json
import os
import pathlib
import re
import shutil
import subprocess
import urllib.parse

BOUNDARY = "matrixBoundary0c7d2e9f"
PIECE = 256 * 1024
HERE = os.path.dirname(os.path.abspath(__file__))


def form_head(field, name):
    quoted = name.replace('"', "%22").encode()
    return (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"{field}\"; filename=\"".encode() + quoted +
            b"\"\r\nContent-Type: application/octet-stream\r\n\r\n")


FORM_TAIL = f"\r\n--{BOUNDARY}--\r\n".encode()
FORM_TYPE = f"multipart/form-data; boundary={BOUNDARY}"


def form_pieces(path, name, field="upload1"):
    """The form as a browser writes it, in pieces, read as it goes."""
    yield form_head(field, name)
    with open(path, "rb") as file:
        while piece := file.read(PIECE):
            yield piece
    yield FORM_TAIL


def run(args, timeout=300):
    done = subprocess.run(args, capture_output=True, timeout=timeout)
    if done.returncode not in (0, 8):  # wget: 8 for an error answer
        raise AssertionError(f"{args[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return done


def curl(extra):
    def upload(url, path, name, work):
        escaped = name.replace("\\", "\\\\").replace('"', '\\"')
        out = os.path.join(work, "curl-answer")
        done = run(["curl", "-sS", "--max-time", "300", "-o", out, "-w", "%{http_code}", *extra,
                    "-H", "Accept: application/json", "-F", f'upload1=@{path};filename="{escaped}"', url])
        return int(done.stdout), pathlib.Path(out).read_bytes().decode()
    return upload


def wget(url, path, name, work):
    body = os.path.join(work, "wget-body")
    with open(body, "wb") as out:
        for piece in form_pieces(path, name):
            out.write(piece)
    answer = os.path.join(work, "wget-answer")
    done = run(["wget", "-q", "-S", "--content-on-error", "-O", answer, "--tries=1", "--timeout=300",
                f"--header=Content-Type: {FORM_TYPE}", "--header=Accept: application/json",
                f"--post-file={body}", url])
    statuses = re.findall(r"HTTP/1\.[01] (\d{3})", done.stderr.decode(errors="replace"))
    return int(statuses[-1]), pathlib.Path(answer).read_bytes().decode()


def requests_files(url, path, name, work):
    import requests
    with open(path, "rb") as file:
        answer = requests.post(url, files={"upload1": (name, file)}, headers={"Accept": "application/json"},
                               timeout=300)
    return answer.status_code, answer.text


def requests_generator(url, path, name, work):
    import requests
    answer = requests.post(url, data=form_pieces(path, name), timeout=300,
                           headers={"Accept": "application/json", "Content-Type": FORM_TYPE})
    return answer.status_code, answer.text


def http_client(url, path, name, work):
    parts = urllib.parse.urlsplit(url)
    length = len(form_head("upload1", name)) + os.path.getsize(path) + len(FORM_TAIL)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=300)
    connection.request("POST", parts.path, body=form_pieces(path, name),
                       headers={"Content-Type": FORM_TYPE, "Content-Length": str(length),
                                "Accept": "application/json"})
    answer = connection.getresponse()
    result = answer.status, answer.read().decode()
    connection.close()
    return result


def go(mode):
    def upload(url, path, name, work):
        done = run([os.environ["GO_UPLOAD"], mode, url, "upload1", path, name])
        status, _, body = done.stdout.decode().partition("\n")
        return int(status), body
    return upload


def node(mode):
    def upload(url, path, name, work):
        target = url[:-len("upload")] if mode == "chromium" else url
        args = [mode, target, path, name] if mode == "chromium" else [mode, target, "upload1", path, name]
        done = run(["node", os.path.join(HERE, "node_upload.mjs"), *args])
        answer = json.loads(done.stdout)
        return answer["status"], answer["body"]
    return upload


def have_python(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def have_playwright():
    root = os.path.dirname(os.path.dirname(HERE))
    return (os.path.isdir(os.path.join(root, "node_modules", "playwright-core")) and
            os.access(os.environ.get("ZIMRAX_CHROMIUM", "/usr/bin/chromium"), os.X_OK))


# (label, upload, quote style, JSON answer, what it needs, whether it is there)
CLIENTS = [
    ("curl -F", curl([]), "percent", True, "curl", lambda: shutil.which("curl")),
    ("curl -F chunked", curl(["-H", "Transfer-Encoding: chunked"]), "percent", True, "curl",
     lambda: shutil.which("curl")),
    ("curl -F --http1.0", curl(["--http1.0"]), "percent", True, "curl", lambda: shutil.which("curl")),
    ("wget --post-file", wget, "percent", True, "wget", lambda: shutil.which("wget")),
    ("requests files=", requests_files, "percent", True, "python3-requests", lambda: have_python("requests")),
    ("requests generator", requests_generator, "percent", True, "python3-requests",
     lambda: have_python("requests")),
    ("http.client", http_client, "percent", True, "python3", lambda: True),
    ("Go Content-Length", go("length"), "backslash", True, "golang-go", lambda: os.environ.get("GO_UPLOAD")),
    ("Go io.Pipe", go("pipe"), "backslash", True, "golang-go", lambda: os.environ.get("GO_UPLOAD")),
    ("Node fetch FormData", node("formdata"), "percent", True, "node", lambda: shutil.which("node")),
    ("Node fetch stream", node("stream"), "percent", True, "node", lambda: shutil.which("node")),
    ("Chromium form", node("chromium"), "percent", False, "playwright-core and chromium", have_playwright),
]
