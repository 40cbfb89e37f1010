#!/usr/bin/env bash
# What `zmfile save --fsync` costs: a 256 MiB upload, and 1,000 uploads of
# 10 KiB (one process each, into one directory), with and without --fsync in
# alternation. Prints the median wall time of each over ROUNDS rounds and
# the ratio fsync / no fsync.
#
#   bench/fsync_cost.sh [BUILD_DIR] [ROUNDS] [MIB] [SMALL_COUNT]
set -euo pipefail
build=${1:-build/release}
rounds=${2:-5}
mib=${3:-256}
count=${4:-1000}
zmfile=$build/zmfile
[[ -x $zmfile ]] || { echo "missing $zmfile: build the release preset first" >&2; exit 2; }

# On the file system the uploads would go to: TMPDIR, else /var/tmp (on disk
# where /tmp may be a tmpfs, on which fsync costs nothing).
work=$(mktemp -d "${TMPDIR:-/var/tmp}/zimrax-fsync-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
boundary="----WebKitFormBoundary7MA4YWxkTrZu0gW"
make_body() {  # make_body FILE BYTES
  {
    printf -- '--%s\r\nContent-Disposition: form-data; name="upload1"; filename="f.bin"\r\n' "$boundary"
    printf 'Content-Type: application/octet-stream\r\n\r\n'
    head -c "$2" /dev/urandom
    printf '\r\n--%s--\r\n' "$boundary"
  } > "$1"
}
make_body "$work/large" $((mib * 1024 * 1024))
make_body "$work/small" 10240

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
now() { date +%s.%N; }

# run_large [--fsync]: seconds for one large save
run_large() {
  rm -rf "$work/out" && mkdir "$work/out" && sync
  local start end
  start=$(now)
  "$zmfile" save --body "$work/large" --field upload1 --dir "$work/out" "$@" >/dev/null
  end=$(now)
  echo "$end - $start" | bc -l
}
# run_small [--fsync]: seconds for COUNT small saves
run_small() {
  rm -rf "$work/out" && mkdir "$work/out" && sync
  local start end
  start=$(now)
  for ((n = 0; n < count; n++)); do
    "$zmfile" save --body "$work/small" --field upload1 --dir "$work/out" --conflict makeunique "$@" >/dev/null
  done
  end=$(now)
  echo "$end - $start" | bc -l
}

large_plain=() large_sync=() small_plain=() small_sync=()
for ((i = 0; i < rounds; i++)); do
  large_plain+=("$(run_large)")
  large_sync+=("$(run_large --fsync)")
  small_plain+=("$(run_small)")
  small_sync+=("$(run_small --fsync)")
done
rm -rf "$work/out"

report() {  # report LABEL PLAIN... -- SYNC...
  local label=$1 plain sync
  shift
  plain=$(printf '%s\n' "${@:1:rounds}" | median)
  sync=$(printf '%s\n' "${@:rounds+1}" | median)
  printf '%-28s no fsync %8.3f s   --fsync %8.3f s   ratio %5.2f\n' "$label" "$plain" "$sync" \
    "$(echo "$sync / $plain" | bc -l)"
}
echo "zmfile save, median of $rounds rounds, in $(df -T "$work" | awk 'NR==2 {print $2}') at $work"
report "1 x ${mib} MiB" "${large_plain[@]}" "${large_sync[@]}"
report "${count} x 10 KiB (process each)" "${small_plain[@]}" "${small_sync[@]}"
