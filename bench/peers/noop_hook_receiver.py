#!/usr/bin/python3
"""A post-hook receiver that does nothing: answers every POST with 204.

bench/serve_compare --hooks points zmfile serve's --hook-post at it, to
measure what a notice per stored file costs the server. Prints
"listening PORT" once it accepts, on 127.0.0.1 only.
"""
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class NoOp(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


server = ThreadingHTTPServer(("127.0.0.1", 0), NoOp)
print(f"listening {server.server_address[1]}", flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    sys.exit(0)
