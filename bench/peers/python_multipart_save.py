#!/usr/bin/python3
"""Peer: Debian's python3-multipart (MultipartParser, the streaming layer).

Usage: python_multipart_save.py MANIFEST OUT_DIR FIELD CHUNK_BYTES
Reads each body of the manifest in chunks, feeds the parser and streams the
file field's bytes to OUT_DIR under the browser's file name (less any client
directory). One process serves every body of the manifest.
"""
import os
import sys

from multipart.multipart import MultipartParser, parse_options_header


def save_one(body_path, boundary, field, out_dir, chunk_bytes):
    """Stores the first file part named `field`; returns its stored name."""
    state = {"header_field": b"", "header_value": b"", "headers": {}, "out": None, "stored": None}

    def on_part_begin():
        state["headers"] = {}

    def on_header_field(data, start, end):
        state["header_field"] += data[start:end]

    def on_header_value(data, start, end):
        state["header_value"] += data[start:end]

    def on_header_end():
        state["headers"][state["header_field"].lower()] = state["header_value"]
        state["header_field"] = b""
        state["header_value"] = b""

    def on_headers_finished():
        _, options = parse_options_header(state["headers"].get(b"content-disposition", b""))
        file_name = options.get(b"filename")
        if state["stored"] is None and options.get(b"name") == field and file_name:
            name = os.path.basename(file_name.decode("latin-1").replace("\\", "/"))
            state["out"] = open(os.path.join(out_dir, name), "xb")
            state["stored"] = name

    def on_part_data(data, start, end):
        if state["out"] is not None:
            state["out"].write(memoryview(data)[start:end])

    def on_part_end():
        if state["out"] is not None:
            state["out"].close()
            state["out"] = None

    parser = MultipartParser(boundary, {
        "on_part_begin": on_part_begin, "on_header_field": on_header_field,
        "on_header_value": on_header_value, "on_header_end": on_header_end,
        "on_headers_finished": on_headers_finished, "on_part_data": on_part_data,
        "on_part_end": on_part_end,
    })
    with open(body_path, "rb", buffering=0) as body:
        while True:
            chunk = body.read(chunk_bytes)
            if not chunk:
                break
            parser.write(chunk)
    parser.finalize()
    if state["stored"] is None:
        raise RuntimeError(f"{body_path}: no file field {field.decode()}")
    return state["stored"]


def main(argv):
    if len(argv) != 5:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    manifest, out_dir, field, chunk_bytes = argv[1], argv[2], argv[3].encode(), int(argv[4])
    count = 0
    with open(manifest, encoding="utf-8") as lines:
        for line in lines:
            if line.strip():
                body_path, boundary = line.rstrip("\n").split("\t")[:2]
                save_one(body_path, boundary.encode(), field, out_dir, chunk_bytes)
                count += 1
    print(count)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
