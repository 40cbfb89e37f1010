#!/usr/bin/env bash
# What users and TLS cost zmfile serve: wrk POSTs 10 KiB uploads over 16
# keep-alive connections for SECONDS (default 5) to a server on 127.0.0.1,
# for each setting in turn, ROUNDS times (default 5; the settings alternate
# so that a change in the machine's load falls on all of them), and the
# median requests/s of each is printed. Settings: open, --htpasswd (bcrypt cost 10, right password: every
# request is checked, the cache answers all but the first of each
# connection's), the same with a wrong password (every request costs a
# bcrypt hash: the rate of 401s), and each of those over TLS. --no-fsync, so
# that the disk does not hide the cost. Prints a Markdown table.
#
# Usage: bench/serve_access_cost.sh [SECONDS [ROUNDS]]   (after building build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
rounds=${2:-5}
zmfile=build/release/zmfile
work=$(mktemp -d)
server_pid=
cleanup() {
  if [[ -n "$server_pid" ]]; then kill -INT "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

htpasswd -bcB -C 10 "$work/users" bench 'bench password' 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -days 1 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 2>/dev/null
right="Basic $(printf '%s' 'bench:bench password' | base64 -w0)"
wrong="Basic $(printf '%s' 'bench:not the password' | base64 -w0)"

# run SCHEME AUTHORIZATION SERVER-ARGS...: one wrk run; prints
# "requests/s non-2xx files-stored".
run() {
  local scheme=$1 authorization=$2
  shift 2
  rm -rf "$work/up"
  : >"$work/log"
  "$zmfile" serve --port 0 --dir "$work/up" --no-fsync --max-per-address 64 "$@" >"$work/log" 2>&1 &
  server_pid=$!
  local port=
  for _ in $(seq 100); do
    port=$(sed -n 's|.*open https\?://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/log")
    [[ -n "$port" ]] && break
    sleep 0.1
  done
  [[ -n "$port" ]] || { cat "$work/log" >&2; exit 1; }
  local out
  out=$(ZMFILE_AUTHORIZATION="$authorization" wrk -t 2 -c 16 -d "${seconds}s" --timeout 10s \
    -s bench/peers/wrk_upload.lua "$scheme://127.0.0.1:$port/")
  kill -INT "$server_pid"
  wait "$server_pid" || true
  server_pid=
  local rate non2xx
  rate=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  non2xx=$(awk '/Non-2xx/ {print $5}' <<<"$out")
  echo "$rate ${non2xx:-0} $(find "$work/up" -type f | wc -l)"
}

tls=(--tls-cert "$work/cert.pem" --tls-key "$work/key.pem")
names=("open" "--htpasswd, right password" "--htpasswd, wrong password" "TLS, open" "TLS, --htpasswd, right password")
declare -a results
for round in $(seq "$rounds"); do
  results[0]+="$(run http "")"$'\n'
  results[1]+="$(run http "$right" --htpasswd "$work/users")"$'\n'
  results[2]+="$(run http "$wrong" --htpasswd "$work/users")"$'\n'
  results[3]+="$(run https "" "${tls[@]}")"$'\n'
  results[4]+="$(run https "$right" --htpasswd "$work/users" "${tls[@]}")"$'\n'
  echo "round $round of $rounds done" >&2
done

echo "| setting | median requests/s | each round | non-2xx (all rounds) |"
echo "| --- | --- | --- | --- |"
for i in "${!names[@]}"; do
  rates=$(awk 'NF {print $1}' <<<"${results[$i]}")
  median=$(sort -g <<<"$rates" | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}')
  non2xx=$(awk 'NF {s+=$2} END {print s+0}' <<<"${results[$i]}")
  printf '| %s | %s | %s | %s |\n' "${names[$i]}" "$median" "$(tr '\n' ' ' <<<"$rates")" "$non2xx"
done
