#!/usr/bin/env bash
# Saves a 256 MiB upload with `zmfile save` (whole process, body read from
# a file) and, alternating in the same run, times one plain write() of the
# same bytes to the same file system. Prints the median throughput of each,
# their ratio, and the peak memory of zmfile save against the body's size.
#
#   bench/save_vs_write.sh [BUILD_DIR] [RUNS] [MIB]
set -euo pipefail
build=${1:-build/release}
runs=${2:-5}
mib=${3:-256}
zmfile=$build/zmfile
plain=$build/bench/plain_write
for tool in "$zmfile" "$plain"; do
  [[ -x $tool ]] || { echo "missing $tool: build the release preset first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zimrax-save-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
body=$work/body
boundary="----WebKitFormBoundary7MA4YWxkTrZu0gW"
head=$'--'$boundary$'\r\nContent-Disposition: form-data; name="upload1"; filename="big.bin"\r\nContent-Type: application/octet-stream\r\n\r\n'
{
  printf '%s' "$head"
  head -c $((mib * 1024 * 1024)) /dev/urandom
  printf '\r\n--%s--\r\n' "$boundary"
} > "$body"
offset=${#head}
length=$((mib * 1024 * 1024))

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

zm_times=() plain_times=() peaks=()
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/out" && mkdir "$work/out" && sync
  start=$(date +%s.%N)
  /usr/bin/time -f %M -o "$work/rss" "$zmfile" save --body "$body" --field upload1 --dir "$work/out" >/dev/null
  end=$(date +%s.%N)
  zm_times+=("$(echo "$end - $start" | bc -l)")
  peaks+=("$(cat "$work/rss")")
  cmp -s <(tail -c +$((offset + 1)) "$body" | head -c "$length") "$work/out/big.bin" \
    || { echo "zmfile save stored different bytes" >&2; exit 1; }

  rm -rf "$work/out" && mkdir "$work/out" && sync
  plain_times+=("$("$plain" "$body" "$offset" "$length" "$work/out/big.bin")")
done

zm=$(printf '%s\n' "${zm_times[@]}" | median)
pw=$(printf '%s\n' "${plain_times[@]}" | median)
peak_kib=$(printf '%s\n' "${peaks[@]}" | sort -n | tail -1)
gbs() { echo "scale=3; $length / $1 / 1000000000" | bc -l; }
echo "body: $mib MiB random file field, $runs runs each, medians"
echo "plain write():  $(gbs "$pw") GB/s  (${pw}s)"
echo "zmfile save:    $(gbs "$zm") GB/s  (${zm}s, whole process)"
echo "ratio zmfile/plain: $(echo "scale=3; $pw / $zm" | bc -l)"
echo "peak RSS of zmfile save: $((peak_kib / 1024)) MiB (body $((($(stat -c %s "$body")) / 1048576)) MiB + $(((peak_kib / 1024) - mib)) MiB)"
