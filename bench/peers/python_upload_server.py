#!/usr/bin/python3
"""Peer of bench/python_uploads.py: one uvicorn process (h11 and asyncio, as
Debian's uvicorn runs without httptools and uvloop) serving one app on
127.0.0.1. Every app takes POST on any path.

Usage: python_upload_server.py APP DIR

Listens on a port of its own choosing and prints it as the first line of
its output once bound (no other process can take the port in between).

  drain        a bare ASGI app that reads the body and answers; it stores
               nothing: the floor of any upload on this server
  fastapi      FastAPI's UploadFile (python-multipart into a
               SpooledTemporaryFile), copied into DIR with shutil.copyfileobj
               in a sync endpoint (FastAPI runs it in its thread pool)
  zimrax       zimrax.starlette.receive_upload into DIR: the body stream fed to
               one worker thread per request
  zimrax-hops  the same component fed with one anyio.to_thread.run_sync per
               piece of the body, the design receive_upload is measured against
The file field is "upload1"; a taken name is made unique (zimrax) or
replaced (fastapi): the bench sends every file under its own name.
"""
import os
import shutil
import socket
import sys

import anyio
import uvicorn
from fastapi import FastAPI, File, Request, UploadFile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import zimrax  # noqa: E402
import zimrax.starlette  # noqa: E402


async def drain(scope, receive, send):
    more = True
    while more:
        message = await receive()
        more = message.get("more_body", False)
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"drained"})


def fastapi_app(directory):
    app = FastAPI()

    @app.post("/{path:path}")
    def upload(upload1: UploadFile = File(...)):
        name = os.path.basename(upload1.filename.replace("\\", "/"))
        with open(os.path.join(directory, name), "wb") as out:
            shutil.copyfileobj(upload1.file, out, 1 << 20)
        return {"stored": name}

    return app


def zimrax_app(directory):
    app = FastAPI()

    @app.post("/{path:path}")
    async def upload(request: Request):
        outcome = await zimrax.starlette.receive_upload(request, directory, files=["upload1"], conflict="makeunique",
                                                        max_body=None)
        return {"stored": outcome.file("upload1").stored_name}

    return app


def zimrax_hops_app(directory):
    app = FastAPI()

    @app.post("/{path:path}")
    async def upload(request: Request):
        with zimrax.Upload(directory, files=["upload1"], conflict="makeunique") as stream:
            async for piece in request.stream():
                await anyio.to_thread.run_sync(stream.feed, piece)
            outcome = await anyio.to_thread.run_sync(stream.finish)
        return {"stored": outcome.file("upload1").stored_name}

    return app


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[4], file=sys.stderr)
        return 2
    name, directory = argv[1], argv[2]
    apps = {"drain": lambda d: drain, "fastapi": fastapi_app, "zimrax": zimrax_app, "zimrax-hops": zimrax_hops_app}
    # IPPROTO_TCP named, as asyncio sets TCP_NODELAY only on sockets that say
    # so; without it every small answer waited out a delayed ACK (40 ms).
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.bind(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    config = uvicorn.Config(apps[name](directory), http="h11", loop="asyncio", lifespan="off", log_level="warning",
                            access_log=False)
    uvicorn.Server(config).run(sockets=[listener])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
