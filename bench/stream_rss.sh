#!/usr/bin/env bash
# Peak resident set of `zmfile save --body -` fed a generated body through a
# pipe: the body streams, so memory must not grow with it.
#
#   bench/stream_rss.sh [BUILD_DIR] [GIB]      (defaults: build/release 4)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
gib="${2:-4}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

boundary="------------------------d74496d66958873e"
{
  printf -- '--%s\r\nContent-Disposition: form-data; name="upload1"; filename="big.bin"\r\n' "$boundary"
  printf 'Content-Type: application/octet-stream\r\n\r\n'
  head -c "$((gib << 30))" /dev/zero
  printf -- '\r\n--%s--\r\n' "$boundary"
} | /usr/bin/time -f '%M %e' -o "$work/time" "$build/zmfile" save --body - --field upload1 --dir "$work"
echo
read -r peak_kib seconds < "$work/time"
size=$(stat -c %s "$work/big.bin")
echo "stream_rss: stored $size bytes ($gib GiB) in ${seconds}s; peak resident set $((peak_kib / 1024)) MiB"
[[ "$size" -eq "$((gib << 30))" ]] || { echo "stream_rss: wrong size"; exit 1; }
