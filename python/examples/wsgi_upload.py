#!/usr/bin/env python3
"""An upload endpoint on the standard library's WSGI server: each POST body
streams from wsgi.input into a zimrax.Upload in pieces, so a large upload
never sits in memory, and the answer is JSON.

    python3 wsgi_upload.py --dir ./uploads --port 8000
    curl -F upload1=@photo.jpg -F comment=hi http://127.0.0.1:8000/
    # {"files": [{"field": "upload1", "ErrorCode": 0, "Result": "photo.jpg", ...}],
    #  "values": [{"field": "comment", "ErrorCode": 0, "Result": "hi", ...}]}

The file field is stored under the name the browser sent, made unique when
taken. The value fields are optional: one the form does not send comes back
with "Absent": true and its code (101 or 102), and is no error. The answer
is 200 when every file field succeeded and every value field sent was read,
else 400, with the same JSON.

Clients such as curl send "Expect: 100-continue" before a large body and
wait for the interim answer. The standard library's server answers as
HTTP/1.0 and never sends it, so ContinueHandler below does; under another
WSGI server (gunicorn, uWSGI, mod_wsgi) the server itself must answer it,
as those do.
"""
import argparse
import json
import os
import sys
from wsgiref.simple_server import WSGIRequestHandler, make_server

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import zimrax  # noqa: E402  (found beside this example when not installed)

PIECE_SIZE = 64 * 1024
MAX_BODY = 1 << 30
# The codes of a field the form does not have.
FIELD_NOT_FOUND = (101, 102)


class ContinueHandler(WSGIRequestHandler):
    """Answers "Expect: 100-continue" before the application reads the body."""

    def parse_request(self):
        if not super().parse_request():
            return False
        if self.request_version == "HTTP/1.1" and self.headers.get("Expect", "").lower() == "100-continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.wfile.flush()
        return True


def is_absent(result):
    """True for a value field the form did not send."""
    return result.status == "done" and result.fault == 0 and result.code in FIELD_NOT_FOUND


def field_json(result):
    """One field's outcome; bytes that are not UTF-8 come as ResultHex."""
    answer = {"field": result.field, "ErrorCode": result.code, "Status": result.status, "Fault": result.fault}
    if is_absent(result):
        answer["Absent"] = True
    try:
        answer["Result"] = result.bytes.decode("utf-8")
    except UnicodeDecodeError:
        answer["ResultHex"] = result.bytes.hex()
    if result.stored_name:
        answer["StoredName"] = result.stored_name
    return answer


def make_app(directory, file_fields=("upload1",), value_fields=("comment",), conflict="makeunique",
             piece_size=PIECE_SIZE):
    """A WSGI application that stores `file_fields` in `directory` and reads
    `value_fields` from each POST."""

    def respond(start_response, status, document):
        payload = json.dumps(document).encode("utf-8")
        start_response(status, [("Content-Type", "application/json"), ("Content-Length", str(len(payload)))])
        return [payload]

    def app(environ, start_response):
        if environ["REQUEST_METHOD"] != "POST":
            return respond(start_response, "405 Method Not Allowed", {"error": "POST a multipart/form-data body"})
        if not environ.get("CONTENT_TYPE", "").lower().startswith("multipart/form-data"):
            return respond(start_response, "415 Unsupported Media Type", {"error": "multipart/form-data only"})
        try:
            remaining = int(environ.get("CONTENT_LENGTH") or "")
        except ValueError:
            return respond(start_response, "411 Length Required", {"error": "Content-Length required"})
        if remaining < 0 or remaining > MAX_BODY:
            return respond(start_response, "413 Content Too Large", {"error": "body too large"})
        stream = environ["wsgi.input"]
        with zimrax.Upload(directory, files=file_fields, values=value_fields) as upload:
            while remaining > 0:
                piece = stream.read(min(piece_size, remaining))
                if not piece:
                    # The client went away: the context manager aborts.
                    return respond(start_response, "400 Bad Request", {"error": "body ended early"})
                upload.feed(piece)
                remaining -= len(piece)
            outcome = upload.finish(conflict=conflict)
        document = {"files": [field_json(r) for r in outcome.files], "values": [field_json(r) for r in outcome.values]}
        ok = all(r.ok for r in outcome.files) and all(r.ok or is_absent(r) for r in outcome.values)
        return respond(start_response, "200 OK" if ok else "400 Bad Request", document)

    return app


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", default="uploads", help="where uploaded files are stored")
    parser.add_argument("--host", default="127.0.0.1")
    # Not 8080, where the Quick start's zmfile serve listens.
    parser.add_argument("--port", type=int, default=8000)
    arguments = parser.parse_args()
    os.makedirs(arguments.dir, exist_ok=True)
    with make_server(arguments.host, arguments.port, make_app(arguments.dir), handler_class=ContinueHandler) as server:
        print("serving on http://%s:%d/, storing in %s" % (arguments.host, server.server_port, arguments.dir))
        server.serve_forever()


if __name__ == "__main__":
    main()
