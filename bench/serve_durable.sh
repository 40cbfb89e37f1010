#!/usr/bin/env bash
# Durable small uploads: wrk POSTs 10 KiB files (each under its own name)
# to `zmfile serve` with its default fsync, over 16 and then 64 connections
# on loopback, for each zmfile binary given, alternating runs. Prints the
# rate of every run and the median per binary and connection count.
#
#   bench/serve_durable.sh [--seconds S] [--rounds R] ZMFILE [ZMFILE...]
#
# Each binary's zmfile-serve.so must sit beside it. The uploads go to a
# fresh directory under $TMPDIR (or /tmp), removed after each run: its file
# system decides what a sync costs.
set -euo pipefail
seconds=10
rounds=3
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    *) break ;;
  esac
done
[[ $# -ge 1 ]] || { echo "usage: $0 [--seconds S] [--rounds R] ZMFILE [ZMFILE...]" >&2; exit 2; }
script="$(cd "$(dirname "$0")" && pwd)/peers/wrk_upload.lua"
work="$(mktemp -d "${TMPDIR:-/tmp}/serve-durable.XXXXXX")"
server_pid=""
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Starts ZMFILE serve on a free loopback port; sets server_pid and port.
start_server() {
  local zmfile="$1" dir="$work/store"
  rm -rf "$dir" && mkdir -p "$dir"
  "$zmfile" serve --host 127.0.0.1 --port 0 --dir "$dir" --max-per-address 128 >"$work/out" 2>"$work/err" &
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port="$(sed -n 's|.*open http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/out" | head -1)"
    [[ -n "$port" ]] && return 0
    sleep 0.1
  done
  echo "$zmfile did not start" >&2
  exit 1
}

stop_server() {
  kill "$server_pid" && wait "$server_pid" || echo "server exited with $?: $(tail -3 "$work/err")" >&2
  server_pid=""
}

declare -A rates
for round in $(seq "$rounds"); do
  for connections in 16 64; do
    for zmfile in "$@"; do
      start_server "$zmfile"
      wrk_out="$(timeout $((seconds + 60)) wrk -t 2 -c "$connections" -d "${seconds}s" --timeout 10s -s "$script" \
        "http://127.0.0.1:$port/upload" 2>&1 || true)"
      rate="$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$wrk_out")"
      if [[ -z "$rate" ]]; then
        alive="$(kill -0 "$server_pid" 2>/dev/null && echo running || echo gone)"
        echo "no rate from wrk (server $alive): $(head -2 <<<"$wrk_out"); server log: $(tail -2 "$work/out" | tr "\n" " ")" >&2
      fi
      non2xx="$(grep -c -E ' /upload [013-9][0-9]{2} in=' "$work/out" || true)"
      stop_server
      echo "round $round  $connections connections  $zmfile  ${rate:-0} uploads/s  (answers not 2xx: $non2xx)"
      [[ -n "$rate" ]] && rates["$zmfile $connections"]+="$rate "  # a failed run is left out
    done
  done
done
echo "medians of up to $rounds runs of $seconds s:"
for connections in 16 64; do
  for zmfile in "$@"; do
    median="$(tr ' ' '\n' <<<"${rates["$zmfile $connections"]}" | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')"
    echo "  $connections connections  $zmfile  $median uploads/s"
  done
done
