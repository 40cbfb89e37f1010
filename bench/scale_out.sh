#!/bin/bash
# Scale-out benchmark (not a test): uploads through nginx to two zmfile
# serve processes on one GlusterFS volume (each on its own FUSE mount),
# against one server on the same volume (through nginx, and direct), and
# one server on the local disk. For each: 1 GiB uploads (MiB/s) and 10 KiB
# uploads (uploads/s, wrk), and the CPU each process used, to show where
# the time goes (nginx, the servers, the FUSE clients, the brick).
#
#   sudo bench/scale_out.sh [ZMFILE]   (default build/release/zmfile)
#
# Environment: LARGE_COUNT (1 GiB uploads at once per run, 2; 0 skips
# them), SMALL_SECONDS (wrk run length, 10), SMALL_CONNECTIONS (16),
# SERVER_THREADS (each server's --threads, 0: one per core). Everything runs on this one
# machine: the client, nginx, the servers and the volume share its cores, so
# two servers here show the cost of the extra hops, not the gain of a second
# machine. Bounded: each run has a timeout, the whole at most 15 minutes.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
ZMFILE=$(readlink -f "${1:-$ROOT/build/release/zmfile}")
LARGE_COUNT=${LARGE_COUNT:-2}
SMALL_SECONDS=${SMALL_SECONDS:-10}
SMALL_CONNECTIONS=${SMALL_CONNECTIONS:-16}
SERVER_THREADS=${SERVER_THREADS:-0}
WRK_SCRIPT=$ROOT/bench/peers/wrk_upload.lua

skip() {
  echo "scale_out.sh: $*" >&2
  exit 2
}
[ -x "$ZMFILE" ] || skip "no zmfile at $ZMFILE (build it, or pass its path)"
command -v wrk >/dev/null || skip "needs wrk"
# shellcheck source=../tests/server/scale_out_lib.sh
. "$ROOT/tests/server/scale_out_lib.sh"
scale_out_preflight

cleanup() {
  trap - EXIT INT TERM
  [ -n "${WATCHDOG:-}" ] && kill "$WATCHDOG" 2>/dev/null
  scale_out_cleanup
}
trap cleanup EXIT
trap 'echo "scale_out.sh: interrupted or over the time limit"; exit 1' INT TERM
MAIN_PID=$$
(
  exec >/dev/null 2>&1
  sleep 900 &
  sleeper=$!
  trap 'kill $sleeper; exit 0' TERM
  wait "$sleeper" && kill -TERM "$MAIN_PID"
) &
WATCHDOG=$!

scale_out_volume_up || { scale_out_show_logs; exit 1; }
mkdir -p "$MOUNT_A/uploads" "$WORK/local/uploads"
if [ "$LARGE_COUNT" -gt 0 ]; then
  echo "Making a 1 GiB file of random bytes on the local disk..."
  head -c 1G /dev/urandom >"$WORK/large.bin"
fi

# The servers are reached through two proxies and directly; where they
# check the Host header, the one they know is the two-server proxy's, and
# every request of every run names it.
TWO_PORT=$(free_port)
scale_out_server_options "http://127.0.0.1:$TWO_PORT/"
HOST_HEADER="Host: 127.0.0.1:$TWO_PORT"
OPTIONS=("${SERVER_OPTIONS[@]}" --max-body 2G --threads "$SERVER_THREADS")
start_server a "$MOUNT_A/uploads" "${OPTIONS[@]}" || exit 1
start_server b "$MOUNT_B/uploads" "${OPTIONS[@]}" || exit 1
start_server l "$WORK/local/uploads" "${OPTIONS[@]}" || exit 1
start_nginx "$TWO_PORT" "$PORT_a" "$PORT_b" || exit 1
NGINX_TWO=$NGINX_PID
ONE_PORT=$(free_port)
start_nginx "$ONE_PORT" "$PORT_a" || exit 1
NGINX_ONE=$NGINX_PID

# CPU ticks (user + system) of a process and its threads, and of its
# children (nginx's worker).
ticks_of() {
  local pid total=0 child
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] || continue
    total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
      total=$((total + $(awk '{print $14 + $15}' "/proc/$child/stat" 2>/dev/null || echo 0)))
    done
  done
  echo "$total"
}
busy_ticks() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8}' /proc/stat; }
HZ=$(getconf CLK_TCK)

# The processes whose CPU is reported, by group.
GROUPS_=(nginx servers fuse brick)
group_pids() {
  case $1 in
    nginx) echo "$NGINX_TWO $NGINX_ONE" ;;
    servers) echo "$SERVER_a $SERVER_b $SERVER_l" ;;
    fuse) echo "$(fuse_pid a) $(fuse_pid b)" ;;
    brick) echo "$(brick_pid) $(glusterd_pid)" ;;
  esac
}
declare -A BEFORE
sample_start() {
  local group
  for group in "${GROUPS_[@]}"; do BEFORE[$group]=$(ticks_of $(group_pids "$group")); done
  BEFORE[all]=$(busy_ticks)
  SAMPLE_START=$(date +%s.%N)
}
# Prints the CPU share of each group over the run (100% = one core).
sample_report() {
  local seconds group used named=0 line=""
  seconds=$(echo "$(date +%s.%N) - $SAMPLE_START" | bc -l)
  for group in "${GROUPS_[@]}"; do
    used=$(($(ticks_of $(group_pids "$group")) - BEFORE[$group]))
    named=$((named + used))
    line+=$(printf ' %s %3.0f%%' "$group" "$(echo "100 * $used / $HZ / $seconds" | bc -l)")
  done
  used=$(($(busy_ticks) - BEFORE[all] - named))
  line+=$(printf ' other(client,kernel) %3.0f%%' "$(echo "100 * $used / $HZ / $seconds" | bc -l)")
  echo "      cpu:$line"
}

clear_uploads() { find "$1" -mindepth 1 -delete; }

# large URL DIR: LARGE_COUNT uploads of the 1 GiB file at once; prints MiB/s.
large() {
  local url=$1 dir=$2 i started seconds failed=0 clients=()
  clear_uploads "$dir"
  sample_start
  started=$(date +%s.%N)
  for i in $(seq "$LARGE_COUNT"); do
    curl -sS --max-time 300 -o /dev/null -w '%{http_code}\n' -H 'Accept: application/json' -H "$HOST_HEADER" \
      -F "upload1=@$WORK/large.bin;filename=large-$i.bin" "${url}upload" >"$WORK/large-$i.status" &
    clients+=($!)
  done
  wait "${clients[@]}"
  seconds=$(echo "$(date +%s.%N) - $started" | bc -l)
  for i in $(seq "$LARGE_COUNT"); do [ "$(cat "$WORK/large-$i.status")" = 200 ] || failed=$((failed + 1)); done
  LARGE_RATE=$(echo "$LARGE_COUNT * 1024 / $seconds" | bc -l)
  printf '  %d x 1 GiB: %.1f s, %.0f MiB/s%s\n' "$LARGE_COUNT" "$seconds" "$LARGE_RATE" \
    "$([ $failed = 0 ] || echo ", $failed FAILED")"
  sample_report
  clear_uploads "$dir"
}

# small URL DIR: 10 KiB uploads with wrk; prints uploads/s.
small() {
  local url=$1 dir=$2 output errors
  clear_uploads "$dir"
  sample_start
  output=$(timeout $((SMALL_SECONDS + 60)) wrk -t2 -c"$SMALL_CONNECTIONS" -d"${SMALL_SECONDS}s" --timeout 30s -H "$HOST_HEADER" \
    -s "$WRK_SCRIPT" "$url" 2>&1)
  SMALL_RATE=$(echo "$output" | awk '/Requests\/sec/{print $2}')
  errors=$(echo "$output" | awk '/Non-2xx/{print $NF}')
  printf '  10 KiB, %d connections: %.0f uploads/s%s\n' "$SMALL_CONNECTIONS" "${SMALL_RATE:-0}" \
    "${errors:+, $errors non-2xx}"
  sample_report
  clear_uploads "$dir"
}

declare -A LARGE_OF SMALL_OF
run() {  # run LABEL URL DIR
  echo "$1 ($2)"
  LARGE_RATE=0
  [ "$LARGE_COUNT" -gt 0 ] && large "$2" "$3"
  LARGE_OF[$1]=$LARGE_RATE
  small "$2" "$3"
  SMALL_OF[$1]=$SMALL_RATE
}
run "two servers on Gluster via nginx" "http://127.0.0.1:$TWO_PORT/" "$MOUNT_A/uploads"
run "one server on Gluster via nginx" "http://127.0.0.1:$ONE_PORT/" "$MOUNT_A/uploads"
run "one server on Gluster, direct" "http://127.0.0.1:$PORT_a/" "$MOUNT_A/uploads"
run "one server on local disk, direct" "http://127.0.0.1:$PORT_l/" "$WORK/local/uploads"

two="two servers on Gluster via nginx"
one="one server on Gluster via nginx"
ratio() { echo "$1" "$2" | awk '{ if ($2 > 0) printf "%.2fx", $1 / $2; else printf "-" }'; }
printf '\nTwo servers / one server (both via nginx, same volume): 1 GiB %s, 10 KiB %s\n' \
  "$(ratio "${LARGE_OF[$two]}" "${LARGE_OF[$one]}")" "$(ratio "${SMALL_OF[$two]}" "${SMALL_OF[$one]}")"
