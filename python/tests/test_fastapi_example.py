"""examples/fastapi_upload.py through Starlette's TestClient, and served by
a real uvicorn process on loopback, driven by curl."""
import json
import os
import runpy
import socket
import subprocess
import sys
import time
import urllib.request

import pytest
from starlette.testclient import TestClient

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(PYTHON_DIR, "examples", "fastapi_upload.py")


@pytest.fixture
def client(tmp_path):
    make_app = runpy.run_path(EXAMPLE)["make_app"]
    return TestClient(make_app(str(tmp_path), max_body=1 << 20)), tmp_path


def test_testclient_upload_is_stored_and_answered(client):
    client, directory = client
    data = bytes(range(256)) * 64 + b"\r\n--"
    response = client.post("/", data={"comment": "first"}, files={"upload1": ("C:\\scans\\page.bin", data)})
    assert response.status_code == 200
    assert response.json() == {
        "files": [{"field": "upload1", "ErrorCode": 0, "Status": "done", "Fault": 0, "Result": "page.bin",
                   "StoredName": "page.bin"}],
        "values": [{"field": "comment", "ErrorCode": 0, "Status": "done", "Fault": 0, "Result": "first"}]}
    assert (directory / "page.bin").read_bytes() == data
    # The same name again is made unique; a form without the file is a 400 with its code.
    again = client.post("/", files={"upload1": ("page.bin", b"two")})
    assert again.json()["files"][0]["StoredName"] == "page(1).bin"
    missing = client.post("/", files={"other": ("x.bin", b"x")})
    assert missing.status_code == 400 and missing.json()["files"][0]["ErrorCode"] != 0


@pytest.mark.parametrize("headers,content,status", [
    ({"Content-Type": "text/plain"}, b"hello", 415),
    ({"Content-Type": "multipart/form-data"}, b"--x\r\n", 400),
    ({"Content-Type": "multipart/form-data; boundary=x"}, b"--x\r\nContent-Disposition: form-data; name=\"a\"", 400),
    ({"Content-Type": "multipart/form-data; boundary=x"}, b"--x\r\n" + b"a" * (1 << 20), 413),
])
def test_testclient_bad_bodies_get_their_status(client, headers, content, status):
    client, directory = client
    response = client.post("/", content=content, headers=headers)
    assert response.status_code == status
    assert response.json()["detail"]
    assert os.listdir(directory) == []


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def serves_the_example(port):
    """Whether the example answers on the port (not another program that
    took it between the probe and uvicorn's bind)."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/openapi.json" % port, timeout=2) as answer:
            return json.load(answer)["info"]["title"] == "zimrax upload example"
    except (OSError, ValueError, KeyError):
        return False


@pytest.fixture
def server(tmp_path):
    uploads = tmp_path / "uploads"
    for _ in range(3):  # the port may be taken between the probe and uvicorn's bind
        port = free_port()
        process = subprocess.Popen([sys.executable, EXAMPLE, "--dir", str(uploads), "--port", str(port)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while process.poll() is None and time.monotonic() < deadline and not serves_the_example(port):
            time.sleep(0.05)
        if process.poll() is None and serves_the_example(port):
            break
        process.kill()
        process.wait()
    else:
        pytest.fail("uvicorn did not start: %s" % process.stderr.read().decode(errors="replace"))
    yield "http://127.0.0.1:%d/" % port, uploads, tmp_path
    process.terminate()
    process.wait(timeout=10)


def curl(*arguments):
    done = subprocess.run(["curl", "-sS", "--max-time", "30", "-w", "\n%{http_code}", *arguments],
                          capture_output=True, check=True)
    body, _, status = done.stdout.rpartition(b"\n")
    return int(status), json.loads(body)


def test_uvicorn_process_stores_curl_uploads(server):
    url, uploads, scratch = server
    # Several MiB, so the body reaches the app in many pieces.
    data = os.urandom(3 << 20) + b"\r\n--------------------------\r\n"
    (scratch / "photo.jpg").write_bytes(data)
    status, answer = curl("-F", "upload1=@%s" % (scratch / "photo.jpg"), "-F", "comment=hi", url)
    assert status == 200
    assert answer["files"][0]["StoredName"] == "photo.jpg" and answer["values"][0]["Result"] == "hi"
    assert (uploads / "photo.jpg").read_bytes() == data
    status, answer = curl("-F", "upload1=@%s" % (scratch / "photo.jpg"), "-F", "comment=again", url)
    assert status == 200 and answer["files"][0]["StoredName"] == "photo(1).jpg"
    status, answer = curl("-H", "Content-Type: text/plain", "--data-binary", "x", url)
    assert status == 415 and "multipart/form-data" in answer["detail"]
    assert sorted(os.listdir(uploads)) == ["photo(1).jpg", "photo.jpg"]
