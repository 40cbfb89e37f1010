"""examples/wsgi_upload.py served on loopback, with a real request."""
import http.client
import json
import os
import runpy
import socket
import threading
import time
from wsgiref.simple_server import make_server

import pytest

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "wsgi_upload.py")


@pytest.fixture
def server(tmp_path):
    example = runpy.run_path(EXAMPLE)
    make_app = example["make_app"]

    class QuietHandler(example["ContinueHandler"]):
        def log_message(self, *args):
            pass

    # Small pieces, so that even this body reaches the stream in several.
    app = make_app(str(tmp_path), file_fields=("upload1",), value_fields=("comment",), piece_size=7)
    httpd = make_server("127.0.0.1", 0, app, handler_class=QuietHandler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield httpd.server_port, tmp_path
    httpd.shutdown()
    httpd.server_close()
    thread.join()


def post(port, body, content_type="multipart/form-data; boundary=XyZ"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("POST", "/", body=body, headers={"Content-Type": content_type})
    response = connection.getresponse()
    answer = (response.status, json.loads(response.read()))
    connection.close()
    return answer


def body_with(filename, data, comment):
    return (b"--XyZ\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\n" + comment + b"\r\n"
            b"--XyZ\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"" + filename + b"\"\r\n"
            b"Content-Type: application/octet-stream\r\n\r\n" + data + b"\r\n--XyZ--\r\n")


def test_post_stores_the_file_and_answers_json(server):
    port, directory = server
    data = bytes(range(256)) * 40 + b"\r\n--XyY"  # a near delimiter inside the data
    status, answer = post(port, body_with(b"C:\\scans\\page.bin", data, b"first page"))
    assert status == 200
    assert answer["files"] == [{"field": "upload1", "ErrorCode": 0, "Status": "done", "Fault": 0,
                                "Result": "page.bin", "StoredName": "page.bin"}]
    assert answer["values"] == [{"field": "comment", "ErrorCode": 0, "Status": "done", "Fault": 0,
                                 "Result": "first page"}]
    assert (directory / "page.bin").read_bytes() == data

    # The same name again is made unique; a missing file field is a 400 with its code.
    status, answer = post(port, body_with(b"page.bin", b"two", b""))
    assert status == 200 and answer["files"][0]["StoredName"] == "page(1).bin"
    assert (directory / "page(1).bin").read_bytes() == b"two"
    status, answer = post(port, b"--XyZ\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\nx\r\n--XyZ--\r\n")
    assert status == 400 and answer["files"][0]["ErrorCode"] == 102
    status, answer = post(port, b"a=b", content_type="application/x-www-form-urlencoded")
    assert status == 415
    assert sorted(p.name for p in directory.iterdir()) == ["page(1).bin", "page.bin"]


def test_an_absent_optional_comment_is_no_error(server):
    port, directory = server
    body = (b"--XyZ\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"alone.txt\"\r\n\r\n"
            b"just the file\r\n--XyZ--\r\n")
    status, answer = post(port, body)
    assert status == 200, answer
    assert answer["values"][0]["Absent"] is True and answer["values"][0]["ErrorCode"] in (101, 102)
    assert (directory / "alone.txt").read_bytes() == b"just the file"


def test_expect_100_continue_is_answered_before_the_body(server):
    port, directory = server
    body = body_with(b"later.bin", b"x" * 5000, b"")
    with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
        client.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                       b"Content-Type: multipart/form-data; boundary=XyZ\r\n"
                       b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n")
        started = time.monotonic()
        interim = client.recv(64)
        assert interim.startswith(b"HTTP/1.1 100 Continue\r\n\r\n"), interim
        assert time.monotonic() - started < 5
        client.sendall(body)
        answer = b""
        while chunk := client.recv(65536):
            answer += chunk
    assert b" 200 " in answer.split(b"\r\n", 1)[0], answer
    assert (directory / "later.bin").read_bytes() == b"x" * 5000


def test_the_default_port_is_not_the_quick_start_port():
    source = open(EXAMPLE, encoding="utf-8").read()
    assert "default=8080" not in source and "8080/" not in source
