#!/usr/bin/env python3
"""An upload endpoint on FastAPI: each POST body streams from the request
into the directory through zimrax.starlette (no spooling, one write per
byte), and the answer is JSON.

    python3 fastapi_upload.py --dir ./uploads --port 8080
    curl -F upload1=@photo.jpg -F comment=hi http://127.0.0.1:8080/
    # {"files": [{"field": "upload1", "ErrorCode": 0, "Result": "photo.jpg", ...}],
    #  "values": [{"field": "comment", "ErrorCode": 0, "Result": "hi", ...}]}

The file field is stored under the name the browser sent, made unique when
taken. The answer is 200 when every field succeeded, else 400 with the
same JSON; a body that is not an upload gets 400, 413 or 415 and
{"detail": why}.
"""
import argparse
import os
import sys

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import zimrax.starlette  # noqa: E402  (found beside this example when not installed)

MAX_BODY = 1 << 30


def field_json(result):
    """One field's outcome; bytes that are not UTF-8 come as ResultHex."""
    answer = {"field": result.field, "ErrorCode": result.code, "Status": result.status, "Fault": result.fault}
    try:
        answer["Result"] = result.bytes.decode("utf-8")
    except UnicodeDecodeError:
        answer["ResultHex"] = result.bytes.hex()
    if result.stored_name:
        answer["StoredName"] = result.stored_name
    return answer


def make_app(directory, file_fields=("upload1",), value_fields=("comment",), conflict="makeunique",
             max_body=MAX_BODY, max_value_bytes=zimrax.DEFAULT_MAX_VALUE_BYTES):
    """A FastAPI application that stores `file_fields` in `directory` and
    reads `value_fields` from each POST to /."""
    app = FastAPI(title="zimrax upload example")

    @app.post("/")
    async def upload(request: Request):
        # BadUpload is a Starlette HTTPException: FastAPI answers it as
        # {"detail": ...} with its status.
        outcome = await zimrax.starlette.receive_upload(
            request, directory, files=file_fields, values=value_fields, conflict=conflict, max_body=max_body,
            max_value_bytes=max_value_bytes)
        document = {"files": [field_json(r) for r in outcome.files], "values": [field_json(r) for r in outcome.values]}
        ok = all(r.ok for r in outcome.files + outcome.values)
        return JSONResponse(document, status_code=200 if ok else 400)

    return app


def main():
    import uvicorn

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", default="uploads", help="where uploaded files are stored")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    arguments = parser.parse_args()
    os.makedirs(arguments.dir, exist_ok=True)
    uvicorn.run(make_app(arguments.dir), host=arguments.host, port=arguments.port, log_level="warning")


if __name__ == "__main__":
    main()
