#!/bin/bash
# Two zmfile serve processes on one GlusterFS volume, behind nginx as a
# round-robin upstream: what several hosts sharing one store must keep.
#
#   scale_out_test.sh ZMFILE SHARED_DIR_PROBE
#
# A one-brick volume on 127.0.0.2, mounted twice through FUSE (the two
# "hosts"); a server on each mount; nginx in front. Through nginx, many
# uploads of one name at once under "makeunique" and under "error", large
# uploads, and a server killed mid-upload and restarted. Needs root,
# /dev/fuse, glusterd and nginx; without them it exits 77 (skipped).
# Everything it starts is stopped by pid and its directory removed, also on
# failure or timeout.
set -u

ZMFILE=$1
PROBE=$2
CLIENTS=$(dirname "$(readlink -f "$0")")/scale_out_clients.py
LIMIT_SECONDS=${SCALE_OUT_LIMIT_SECONDS:-240}
BRICK_HOST=127.0.0.2  # glusterd's fixed port 24007 is taken on this address only
GLUSTERD_PORT=24007   # bricks and clients fetch their volume files from this port; it cannot be moved

skip() {
  echo "SKIPPED: $*"
  exit 77
}

[ "$(id -u)" = 0 ] || skip "needs root (glusterd, FUSE mounts)"
[ -c /dev/fuse ] || skip "needs /dev/fuse"
for tool in glusterd gluster glusterfs nginx python3 curl mountpoint; do
  command -v "$tool" >/dev/null 2>&1 || PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null 2>&1 ||
    skip "needs $tool (Debian packages glusterfs-server, nginx)"
done
PATH=$PATH:/usr/sbin:/sbin
if python3 -c "import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('$BRICK_HOST', $GLUSTERD_PORT)); s.listen()" 2>/dev/null; then :; else
  skip "$BRICK_HOST:$GLUSTERD_PORT is in use (another glusterd?)"
fi

WORK=$(mktemp -d /tmp/zmfile-scale-out.XXXXXX)
MOUNT_A=$WORK/host-a
MOUNT_B=$WORK/host-b
mkdir -p "$WORK"/{glusterd,run,log,brick,nginx/logs} "$MOUNT_A" "$MOUNT_B" /var/run/gluster
SERVER_PIDS=()
OTHER_PIDS=()
FAILED=0
STARTED=$SECONDS

pid_of_file() { [ -s "$1" ] && cat "$1"; }

stop_pid() {  # stop_pid PID [SIGNAL]: signal it, wait up to 5 s, then KILL
  local pid=$1 signal=${2:-TERM}
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill "-$signal" "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
}

cleanup() {
  trap - EXIT INT TERM
  for pid in "${OTHER_PIDS[@]}" "${SERVER_PIDS[@]}"; do stop_pid "$pid"; done
  stop_pid "$(pid_of_file "$WORK/nginx/nginx.pid")" QUIT
  for mount in "$MOUNT_A" "$MOUNT_B"; do
    mountpoint -q "$mount" && { umount "$mount" 2>/dev/null || umount -l "$mount"; }
  done
  for client in "$WORK"/run/client-*.pid; do stop_pid "$(pid_of_file "$client")"; done
  # The brick process: stopped by its pid file; its socket, which glusterd
  # puts under /var/run/gluster whatever its run directory, goes with it.
  for brick_pid_file in "$WORK"/run/vols/*/*.pid; do
    [ -e "$brick_pid_file" ] || continue
    local brick_pid socket
    brick_pid=$(pid_of_file "$brick_pid_file")
    socket=$(tr '\0' '\n' <"/proc/$brick_pid/cmdline" 2>/dev/null | sed -n '/^-S$/{n;p}')
    stop_pid "$brick_pid"
    [ -n "$socket" ] && rm -f "$socket"
  done
  stop_pid "$(pid_of_file "$WORK/run/glusterd.pid")"
  [ -n "${WATCHDOG:-}" ] && kill "$WATCHDOG" 2>/dev/null
  rm -rf "$WORK"
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
  for log in "$WORK"/log/*.log "$WORK"/log/bricks/*.log; do
    [ -s "$log" ] && { echo "--- $log (last lines)"; tail -n 15 "$log"; }
  done
  exit 1
}

# --- GlusterFS: glusterd with its own state, one brick, two FUSE mounts ---
cat >"$WORK/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $WORK/glusterd
    option run-directory $WORK/run
    option logging-directory $WORK/log
    option glusterd-sockfile $WORK/run/glusterd.socket
    option transport-type socket
    option transport.socket.bind-address $BRICK_HOST
    option transport.socket.listen-port $GLUSTERD_PORT
    option transport.socket.read-fail-log off
    option ping-timeout 0
    option event-threads 1
    option base-port 49552
    option max-port 49652
end-volume
EOF
glusterd -f "$WORK/glusterd.vol" -p "$WORK/run/glusterd.pid" -l "$WORK/log/glusterd.log" || die "glusterd did not start"
GLUSTER=(gluster "--glusterd-sock=$WORK/run/glusterd.socket" --mode=script)
for _ in $(seq 100); do "${GLUSTER[@]}" volume list >/dev/null 2>&1 && break; sleep 0.1; done
"${GLUSTER[@]}" volume create zmscale "$BRICK_HOST:$WORK/brick" force >/dev/null || die "volume create failed"
"${GLUSTER[@]}" volume start zmscale >/dev/null || die "volume start failed"
for name in a b; do
  mount=$WORK/host-$name
  glusterfs --volfile-server=$BRICK_HOST --volfile-id=zmscale --process-name=fuse \
    -l "$WORK/log/client-$name.log" -p "$WORK/run/client-$name.pid" "$mount" || die "mount of $mount failed"
  for _ in $(seq 100); do mountpoint -q "$mount" && break; sleep 0.1; done
  mountpoint -q "$mount" || die "$mount is not mounted"
done
mkdir "$MOUNT_A/uploads" || die "cannot write to the volume"
echo "ok    volume up and mounted twice ($((SECONDS - STARTED)) s)"

# --- The calls the writer makes, and the locks the sweep relies on ---
mkdir "$MOUNT_A/probe"
"$PROBE" "$MOUNT_A/probe" "$MOUNT_B/probe" | sed 's/^/      /'
check "the file system's answers keep the writer's guarantees" test "${PIPESTATUS[0]}" = 0
rm -rf "$MOUNT_A/probe"

# --- Two servers, one on each mount, and nginx in front ---
free_port() { python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"; }
NGINX_PORT=$(free_port)
PUBLIC_URL=http://127.0.0.1:$NGINX_PORT/
# With --public-url the server checks the Host header; nginx then passes
# the client's. Without it (older servers) nothing checks Host.
PUBLIC_URL_OPTION=()
"$ZMFILE" serve --help 2>&1 | grep -q -- '--public-url' && PUBLIC_URL_OPTION=(--public-url "$PUBLIC_URL")

start_server() {  # start_server NAME MOUNT: starts it, sets PORT_<NAME>, SERVER_<NAME>
  local name=$1 mount=$2 log=$WORK/log/server-$1.log
  "$ZMFILE" serve --dir "$mount/uploads" --host 127.0.0.1 --port 0 "${PUBLIC_URL_OPTION[@]}" >"$log" 2>&1 &
  local pid=$!
  SERVER_PIDS+=("$pid")
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^zmfile serve: open http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$log")
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || die "server $name did not start: $(cat "$log")"
  printf -v "PORT_$name" %s "$port"
  printf -v "SERVER_$name" %s "$pid"
}
start_server a "$MOUNT_A"
start_server b "$MOUNT_B"

cat >"$WORK/nginx/nginx.conf" <<EOF
user root;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/log/nginx-error.log warn;
events { worker_connections 256; }
http {
  access_log $WORK/log/nginx-access.log;
  client_body_temp_path $WORK/nginx/client_body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  upstream zmfile {
    server 127.0.0.1:$PORT_a max_fails=1 fail_timeout=5s;
    server 127.0.0.1:$PORT_b max_fails=1 fail_timeout=5s;
  }
  server {
    listen 127.0.0.1:$NGINX_PORT;
    client_max_body_size 0;        # the servers enforce --max-body
    location / {
      proxy_pass http://zmfile;
      proxy_http_version 1.1;
      proxy_request_buffering off; # stream bodies: the servers see them as they arrive
      proxy_buffering off;
      proxy_set_header Host \$http_host;
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
      proxy_read_timeout 120s;
      proxy_send_timeout 120s;
    }
  }
}
EOF
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g 'daemon off;' 2>"$WORK/log/nginx-start.log" &
OTHER_PIDS+=($!)
for _ in $(seq 100); do curl -fsS -o /dev/null "$PUBLIC_URL"config 2>/dev/null && break; sleep 0.1; done
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
timeout 60 python3 "$CLIENTS" slow "http://127.0.0.1:$(eval echo "\$PORT_$KEPT")/" live.bin 8 "$WORK/go-on" \
  >"$WORK/slow-live.out" 2>&1 &
SLOW=$!
OTHER_PIDS+=("$SLOW")
for _ in $(seq 100); do [ "$(hidden "$MOUNT_A/uploads" | grep -c .)" = 2 ] && break; sleep 0.05; done
check "a live upload's hidden file beside the abandoned one" test "$(hidden "$MOUNT_A/uploads" | grep -c .)" = 2
LIVE=$(comm -13 <(echo "$LEFT") <(hidden "$MOUNT_A/uploads"))
# Where locks are not shared between hosts, --sweep-min-age keeps what was
# written to recently: a server started with it keeps the abandoned file.
"$ZMFILE" serve --dir "$KILLED_MOUNT/uploads" --host 127.0.0.1 --port 0 --sweep-min-age 3600 \
  >"$WORK/log/server-aged.log" 2>&1 &
AGED=$!
OTHER_PIDS+=("$AGED")
for _ in $(seq 100); do grep -qs '^zmfile serve: open' "$WORK/log/server-aged.log" && break; sleep 0.1; done
stop_pid "$AGED"
check "with --sweep-min-age 3600 start-up removes none and keeps the abandoned file" \
  grep -q '^zmfile serve: removed 0 .*' "$WORK/log/server-aged.log"
check "  and says so" grep -q '^zmfile serve: kept 1 unlocked temporary file' "$WORK/log/server-aged.log"
check "  the abandoned file is still there" test -e "$MOUNT_A/uploads/$LEFT"
start_server "$KILLED" "$KILLED_MOUNT"
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

echo "      total $((SECONDS - STARTED)) s"
[ "$FAILED" = 0 ] && echo "scale-out test passed" || echo "scale-out test FAILED"
exit "$FAILED"
