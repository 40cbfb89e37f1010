#!/bin/bash
# Two zmfile serve processes on one GlusterFS volume, behind nginx as a
# round-robin upstream: what several hosts sharing one store must keep.
#
#   scale_out_test.sh ZMFILE SHARED_DIR_PROBE
#
# A one-brick volume on 127.0.0.2, mounted twice through FUSE (the two
# "hosts"); a server on each mount; nginx in front. Through nginx, many
# uploads of one name at once under "makeunique" and under "error", large
# uploads, a server killed mid-upload and restarted, and resumable uploads
# resumed on the other server after a kill and raced through both. Needs root,
# /dev/fuse, glusterd and nginx; without them it exits 77 (skipped).
# Everything it starts is stopped by pid and its directory removed, also on
# failure or timeout.
set -u

ZMFILE=$1
PROBE=$2
HERE=$(dirname "$(readlink -f "$0")")
CLIENTS=$HERE/scale_out_clients.py
LIMIT_SECONDS=${SCALE_OUT_LIMIT_SECONDS:-240}

skip() {
  echo "SKIPPED: $*"
  exit 77
}
# shellcheck source=scale_out_lib.sh
. "$HERE/scale_out_lib.sh"
scale_out_preflight

FAILED=0
STARTED=$SECONDS
cleanup() {
  trap - EXIT INT TERM
  [ -n "${WATCHDOG:-}" ] && kill "$WATCHDOG" 2>/dev/null
  [ "$FAILED" = 0 ] || scale_out_show_logs
  scale_out_cleanup
  echo "scale-out test: $((SECONDS - STARTED)) s"
}
trap cleanup EXIT
trap 'echo "FAIL  interrupted or over ${LIMIT_SECONDS} s"; exit 1' INT TERM
# The whole test is bounded: past the limit, the watchdog ends it (cleanup
# runs). Stopped, it stops its sleep too, and it holds none of the test's
# output open, so that nothing outlives the test.
MAIN_PID=$$
(
  exec >/dev/null 2>&1
  sleep "$LIMIT_SECONDS" &
  sleeper=$!
  trap 'kill $sleeper; exit 0' TERM
  wait "$sleeper" && kill -TERM "$MAIN_PID"
) &
WATCHDOG=$!

fail() {
  echo "FAIL  $*"
  FAILED=1
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok    $what"; else fail "$what"; fi
}
die() {
  echo "FAIL  $*"
  scale_out_show_logs
  exit 1
}

# --- GlusterFS: glusterd with its own state, one brick, two FUSE mounts ---
scale_out_volume_up || die "the volume did not come up"
mkdir "$MOUNT_A/uploads" || die "cannot write to the volume"
echo "ok    volume up and mounted twice ($((SECONDS - STARTED)) s)"

# --- The calls the writer makes, and the locks the sweep relies on ---
mkdir "$MOUNT_A/probe"
"$PROBE" "$MOUNT_A/probe" "$MOUNT_B/probe" | sed 's/^/      /'
check "the file system's answers keep the writer's guarantees" test "${PIPESTATUS[0]}" = 0
rm -rf "$MOUNT_A/probe"

# --- Two servers, one on each mount, and nginx in front ---
NGINX_PORT=$(free_port)
PUBLIC_URL=http://127.0.0.1:$NGINX_PORT/
# With --public-url the server checks the Host header, which nginx passes
# on from the client. Without it (older servers) nothing checks Host.
scale_out_server_options "$PUBLIC_URL"
start_server a "$MOUNT_A/uploads" "${SERVER_OPTIONS[@]}" || die "server a"
start_server b "$MOUNT_B/uploads" "${SERVER_OPTIONS[@]}" || die "server b"
start_nginx "$NGINX_PORT" "$PORT_a" "$PORT_b" || die "nginx"
check "nginx answers GET /config" curl -fsS -o /dev/null "$PUBLIC_URL"config

# --- Through nginx, concurrently ---
clients() { timeout 150 python3 "$CLIENTS" "$@" | sed 's/^/  /'; return "${PIPESTATUS[0]}"; }
clients same-name "$PUBLIC_URL" "$MOUNT_A/uploads" "$MOUNT_B/uploads" 400 makeunique 8 || FAILED=1
clients same-name "$PUBLIC_URL" "$MOUNT_A/uploads" "$MOUNT_B/uploads" 100 error 8 || FAILED=1
clients large "$PUBLIC_URL" "$MOUNT_A/uploads" "$MOUNT_B/uploads" 20 64 4 || FAILED=1
served_a=$(grep -c ' POST /upload ' "$WORK/log/server-a.log")
served_b=$(grep -c ' POST /upload ' "$WORK/log/server-b.log")
echo "      uploads answered: server a $served_a, server b $served_b"
check "both servers took uploads" test "$served_a" -gt 0 -a "$served_b" -gt 0

# --- A server killed mid-upload, then restarted ---
hidden() { find "$1" -maxdepth 1 -name '.zmfile-*' -printf '%f\n' | sort; }
holder_of_temp_file() {  # the server pid with a .zmfile- file open
  for pid in "$SERVER_a" "$SERVER_b"; do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q '/\.zmfile-' && echo "$pid" && return
  done
}
wait_for_holder() {
  HOLDER=""
  for _ in $(seq 100); do
    HOLDER=$(holder_of_temp_file)
    [ -n "$HOLDER" ] && return 0
    sleep 0.05
  done
  return 1
}

# An upload held half-sent; its server is killed with SIGKILL.
rm -f "$WORK/go-on"
timeout 60 python3 "$CLIENTS" slow "$PUBLIC_URL" killed.bin 8 "$WORK/go-on" >"$WORK/slow-killed.out" 2>&1 &
SLOW=$!
OTHER_PIDS+=("$SLOW")
wait_for_holder || die "no server holds the slow upload's temporary file"
if [ "$HOLDER" = "$SERVER_a" ]; then KILLED=a KEPT=b; else KILLED=b KEPT=a; fi
KILLED_MOUNT=$WORK/host-$KILLED
kill -KILL "$HOLDER"
wait "$HOLDER" 2>/dev/null
touch "$WORK/go-on"
wait "$SLOW"
echo "      server $KILLED killed with SIGKILL mid-upload; the client saw: $(cut -d' ' -f1-2 "$WORK/slow-killed.out")"
check "no killed.bin on either mount" test ! -e "$MOUNT_A/uploads/killed.bin" -a ! -e "$MOUNT_B/uploads/killed.bin"
LEFT=$(hidden "$MOUNT_A/uploads")
check "the killed save left one hidden temporary file" test "$(echo "$LEFT" | grep -c .)" = 1
check "both mounts show the same hidden file" test "$LEFT" = "$(hidden "$MOUNT_B/uploads")"
check "an upload through nginx still succeeds (the other server)" \
  test "$(curl -sS -o /dev/null -w '%{http_code}' -F upload1=@"$WORK/glusterd.vol;filename=after-kill.txt" \
    "$PUBLIC_URL"upload)" = 200

# While the kept server holds a live upload, restart the killed one: its
# start-up sweep removes the abandoned file and keeps the live one, which
# is locked through the other mount.
rm -f "$WORK/go-on"
SCALE_OUT_HOST=127.0.0.1:$NGINX_PORT timeout 60 python3 "$CLIENTS" slow "http://127.0.0.1:$(eval echo "\$PORT_$KEPT")/" \
  live.bin 8 "$WORK/go-on" >"$WORK/slow-live.out" 2>&1 &
SLOW=$!
OTHER_PIDS+=("$SLOW")
for _ in $(seq 100); do [ "$(hidden "$MOUNT_A/uploads" | grep -c .)" = 2 ] && break; sleep 0.05; done
check "a live upload's hidden file beside the abandoned one" test "$(hidden "$MOUNT_A/uploads" | grep -c .)" = 2
LIVE=$(comm -13 <(echo "$LEFT") <(hidden "$MOUNT_A/uploads"))
# Where locks are not shared between hosts, --sweep-min-age keeps what was
# written to recently: a server started with it keeps the abandoned file.
"$ZMFILE" serve --dir "$KILLED_MOUNT/uploads" --host 127.0.0.1 --port 0 --sweep-min-age 3600 \
  "${SERVER_OPTIONS[@]}" >"$WORK/log/server-aged.log" 2>&1 &
AGED=$!
OTHER_PIDS+=("$AGED")
for _ in $(seq 100); do grep -qs '^zmfile serve: open' "$WORK/log/server-aged.log" && break; sleep 0.1; done
stop_pid "$AGED"
check "with --sweep-min-age 3600 start-up removes none and keeps the abandoned file" \
  grep -q '^zmfile serve: removed 0 .*' "$WORK/log/server-aged.log"
check "  and says so" grep -q '^zmfile serve: kept 1 unlocked temporary file' "$WORK/log/server-aged.log"
check "  the abandoned file is still there" test -e "$MOUNT_A/uploads/$LEFT"
start_server "$KILLED" "$KILLED_MOUNT/uploads" "${SERVER_OPTIONS[@]}" || die "restart of server $KILLED"
SWEPT=$(grep -o 'removed [0-9]* abandoned' "$WORK/log/server-$KILLED.log")
check "the restarted server's sweep removed one file ($SWEPT)" test "$SWEPT" = "removed 1 abandoned"
# The other mount may show a removed name for up to its entry cache time (1 s).
gone_from_both() {
  for _ in $(seq 60); do
    [ ! -e "$MOUNT_A/uploads/$1" ] && [ ! -e "$MOUNT_B/uploads/$1" ] && return 0
    sleep 0.05
  done
  return 1
}
check "the abandoned file is gone from both mounts (within 3 s)" gone_from_both "$LEFT"
check "the live upload's file stays" test -e "$MOUNT_B/uploads/$LIVE"
touch "$WORK/go-on"
wait "$SLOW"
read -r LIVE_STATUS LIVE_SHA <"$WORK/slow-live.out"
check "the live upload completes with 200 (got $LIVE_STATUS)" test "$LIVE_STATUS" = 200
check "and is stored intact" test "$(sha256sum <"$MOUNT_A/uploads/live.bin" | cut -d' ' -f1)" = "$LIVE_SHA"
check "no hidden file remains" test -z "$(hidden "$MOUNT_A/uploads")"

# --- Resumable uploads across the two servers ---
RESUMABLE=$HERE/scale_out_resumable.py
# A restarted server listens on a new port: nginx is started again, on
# its port, in front of the two servers as they are now.
renew_proxy() {
  stop_pid "$NGINX_PID"
  start_nginx "$NGINX_PORT" "$PORT_a" "$PORT_b" || die "nginx"
  URL_A=http://127.0.0.1:$PORT_a/
  URL_B=http://127.0.0.1:$PORT_b/
}
renew_proxy
holder_of_upload() {  # the server pid with the upload's data file open
  for pid in "$SERVER_a" "$SERVER_b"; do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "/\.resumable-uploads/$1\.data" && echo "$pid" && return
  done
}
# A 64 MiB upload through nginx; the server receiving its PATCH is killed
# with SIGKILL; the client resumes through nginx, which leaves the dead
# server out and lands on the other one.
SIGNALS=$WORK/resumable-signals
mkdir -p "$SIGNALS"
timeout 120 python3 "$RESUMABLE" killed "$PUBLIC_URL" "$URL_A" "$URL_B" "$MOUNT_A/uploads" "$MOUNT_B/uploads" \
  resumed.bin 64 "$SIGNALS" >"$WORK/resumable-killed.out" 2>&1 &
RESUMER=$!
OTHER_PIDS+=("$RESUMER")
HOLDER=""
for _ in $(seq 300); do
  [ -e "$SIGNALS/half-sent" ] && HOLDER=$(holder_of_upload "$(cat "$SIGNALS/upload-id")")
  [ -n "$HOLDER" ] && break
  kill -0 "$RESUMER" 2>/dev/null || break
  sleep 0.05
done
if [ -n "$HOLDER" ]; then
  if [ "$HOLDER" = "$SERVER_a" ]; then KILLED=a KEPT=b; else KILLED=b KEPT=a; fi
  kill -KILL "$HOLDER"
  wait "$HOLDER" 2>/dev/null
  echo "      server $KILLED killed with SIGKILL mid-PATCH"
fi
touch "$SIGNALS/killed"
wait "$RESUMER"
RESUMER_STATUS=$?
sed 's/^/  /' "$WORK/resumable-killed.out"
check "a server held the PATCH half-sent and was killed" test -n "$HOLDER"
check "the resumed upload's checks passed" test "$RESUMER_STATUS" = 0
if [ -n "$HOLDER" ]; then
  check "the resuming PATCH was answered by server $KEPT" \
    grep -q "PATCH /resumable/$(cat "$SIGNALS/upload-id") 204 .*stored=\"resumed.bin\"" "$WORK/log/server-$KEPT.log"
  start_server "$KILLED" "$WORK/host-$KILLED/uploads" "${SERVER_OPTIONS[@]}" || die "restart of server $KILLED"
  renew_proxy
fi

timeout 120 python3 "$RESUMABLE" chunks "$PUBLIC_URL" "$URL_A" "$URL_B" "$MOUNT_A/uploads" "$MOUNT_B/uploads" \
  chunked.bin 16 | sed 's/^/  /'
check "the chunked upload's checks passed" test "${PIPESTATUS[0]}" = 0

# Two clients PATCH one upload, one through each server: the one holding
# the lock finishes, the other is refused with 423 and changes nothing.
timeout 120 python3 "$RESUMABLE" race "$PUBLIC_URL" "$URL_A" "$URL_B" "$MOUNT_A/uploads" "$MOUNT_B/uploads" \
  raced.bin 16 | sed 's/^/  /'
check "the racing PATCHes' checks passed" test "${PIPESTATUS[0]}" = 0
check "no unfinished upload is left in the staging folder" \
  test -z "$(find "$MOUNT_A/uploads/.resumable-uploads" -name '*.data' -printf '%f\n')"
rm -f "$MOUNT_A"/uploads/resumed.bin "$MOUNT_A"/uploads/chunked*.bin "$MOUNT_A"/uploads/raced-*.bin

echo "      total $((SECONDS - STARTED)) s"
[ "$FAILED" = 0 ] && echo "scale-out test passed" || echo "scale-out test FAILED"
exit "$FAILED"
