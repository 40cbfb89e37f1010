# Shared by tests/server/scale_out_test.sh and bench/scale_out.sh (sourced,
# bash): a private glusterd with a one-brick volume mounted twice through
# FUSE, zmfile serve processes on the mounts, and nginx in front, all under
# one work directory and all stopped by pid in scale_out_cleanup.
#
# The caller sets ZMFILE and defines skip MESSAGE (exit 77 in a test).

BRICK_HOST=127.0.0.2  # glusterd listens here only, away from any glusterd on 127.0.0.1
GLUSTERD_PORT=24007   # bricks and clients fetch their volume files from this port; it cannot be moved
PATH=$PATH:/usr/sbin:/sbin
SERVER_PIDS=()
OTHER_PIDS=()

# Skips unless this machine can run a private GlusterFS volume and nginx.
scale_out_preflight() {
  [ "$(id -u)" = 0 ] || skip "needs root (glusterd, FUSE mounts)"
  [ -c /dev/fuse ] || skip "needs /dev/fuse"
  local tool
  for tool in glusterd gluster glusterfs nginx python3 curl mountpoint; do
    command -v "$tool" >/dev/null 2>&1 || skip "needs $tool (Debian packages glusterfs-server, nginx)"
  done
  python3 -c "import socket; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('$BRICK_HOST', $GLUSTERD_PORT)); s.listen()" 2>/dev/null ||
    skip "$BRICK_HOST:$GLUSTERD_PORT is in use (another glusterd?)"
}

pid_of_file() { [ -s "$1" ] && cat "$1"; }

stop_pid() {  # stop_pid PID [SIGNAL]: signal it, wait up to 5 s, then KILL
  local pid=$1 signal=${2:-TERM}
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill "-$signal" "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
}

# Prints the last lines of every log, for a failure that ends the run.
scale_out_show_logs() {
  local log
  for log in "$WORK"/log/*.log "$WORK"/log/bricks/*.log; do
    [ -s "$log" ] && { echo "--- $log (last lines)"; tail -n 15 "$log"; }
  done
}

# Sets WORK, MOUNT_A, MOUNT_B; starts glusterd with its own state under
# WORK, volume zmscale with one brick, mounted at MOUNT_A and MOUNT_B.
# Returns 1 (with a message) when a step fails.
scale_out_volume_up() {
  WORK=$(mktemp -d /tmp/zmfile-scale-out.XXXXXX)
  MOUNT_A=$WORK/host-a
  MOUNT_B=$WORK/host-b
  mkdir -p "$WORK"/{glusterd,run,log,brick,nginx} "$MOUNT_A" "$MOUNT_B" /var/run/gluster
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
  glusterd -f "$WORK/glusterd.vol" -p "$WORK/run/glusterd.pid" -l "$WORK/log/glusterd.log" ||
    { echo "glusterd did not start"; return 1; }
  GLUSTER=(gluster "--glusterd-sock=$WORK/run/glusterd.socket" "--log-file=$WORK/log/cli.log" --mode=script)
  for _ in $(seq 100); do "${GLUSTER[@]}" volume list >/dev/null 2>&1 && break; sleep 0.1; done
  "${GLUSTER[@]}" volume create zmscale "$BRICK_HOST:$WORK/brick" force >/dev/null || { echo "volume create failed"; return 1; }
  "${GLUSTER[@]}" volume start zmscale >/dev/null || { echo "volume start failed"; return 1; }
  local name mount
  for name in a b; do
    mount=$WORK/host-$name
    glusterfs --volfile-server=$BRICK_HOST --volfile-id=zmscale --process-name=fuse \
      -l "$WORK/log/client-$name.log" -p "$WORK/run/client-$name.pid" "$mount" || { echo "mount of $mount failed"; return 1; }
    for _ in $(seq 100); do mountpoint -q "$mount" && break; sleep 0.1; done
    mountpoint -q "$mount" || { echo "$mount is not mounted"; return 1; }
  done
}

# The pids of the volume's processes: glusterd, the brick, the two FUSE clients.
glusterd_pid() { pid_of_file "$WORK/run/glusterd.pid"; }
brick_pid() { local f; for f in "$WORK"/run/vols/*/*.pid; do pid_of_file "$f"; done; }
fuse_pid() { pid_of_file "$WORK/run/client-$1.pid"; }

# start_server NAME DIR [OPTION...]: zmfile serve on a free port, storing
# in DIR; sets PORT_<NAME> and SERVER_<NAME>. Returns 1 if it does not start.
start_server() {
  local name=$1 dir=$2 log=$WORK/log/server-$1.log
  shift 2
  "$ZMFILE" serve --dir "$dir" --host 127.0.0.1 --port 0 "$@" >"$log" 2>&1 &
  local pid=$!
  SERVER_PIDS+=("$pid")
  local port=""
  for _ in $(seq 100); do
    # The first address printed is the one it listens on (a --public-url follows).
    port=$(sed -n 's|^zmfile serve: open http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$log" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "server $name did not start: $(cat "$log")"; return 1; }
  printf -v "PORT_$name" %s "$port"
  printf -v "SERVER_$name" %s "$pid"
}

# The options every server of the set-up gets, for the proxy at PUBLIC_URL:
# behind a proxy every connection comes from the proxy's address, so the
# per-address limit must allow them all; the proxy's address as its public
# URL (it then checks the Host header) and no authentication (these runs
# are about storage, on loopback). A server without one of these options
# does not start, and the test fails.
scale_out_server_options() {
  SERVER_OPTIONS=(--max-per-address 1024 --public-url "$1" --no-auth)
}

free_port() { python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"; }

# start_nginx PORT UPSTREAM_PORT...: nginx on 127.0.0.1:PORT, round-robin
# to the servers on 127.0.0.1:UPSTREAM_PORT..., bodies streamed through.
# Sets NGINX_PID. Returns 1 if it does not answer.
start_nginx() {
  local port=$1 upstream
  shift
  local prefix=$WORK/nginx/$port
  mkdir -p "$prefix/logs"
  {
    echo "user root; worker_processes 1; pid $prefix/nginx.pid; error_log $WORK/log/nginx-$port-error.log warn;"
    echo "events { worker_connections 512; }"
    echo "http {"
    echo "  access_log off;"
    echo "  client_body_temp_path $prefix/client_body; proxy_temp_path $prefix/proxy;"
    echo "  fastcgi_temp_path $prefix/fastcgi; uwsgi_temp_path $prefix/uwsgi; scgi_temp_path $prefix/scgi;"
    echo "  upstream zmfile {"
    for upstream in "$@"; do echo "    server 127.0.0.1:$upstream max_fails=1 fail_timeout=5s;"; done
    echo "    keepalive 16;"
    echo "    keepalive_timeout 4s;           # below the servers' --idle-timeout (5 s): nginx closes first"
    echo "  }"
    echo "  server {"
    echo "    listen 127.0.0.1:$port;"
    echo "    client_max_body_size 0;         # the servers enforce --max-body"
    echo "    location / {"
    echo "      proxy_pass http://zmfile;"
    echo "      proxy_http_version 1.1;"
    echo "      proxy_set_header Connection \"\";"
    echo "      proxy_request_buffering off;  # bodies stream through as they arrive"
    echo "      proxy_buffering off;"
    echo "      proxy_set_header Host \$http_host;"
    echo "      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;"
    echo "      proxy_read_timeout 300s;"
    echo "      proxy_send_timeout 300s;"
    echo "    }"
    echo "  }"
    echo "}"
  } >"$prefix/nginx.conf"
  nginx -p "$prefix" -c "$prefix/nginx.conf" -g 'daemon off;' 2>"$WORK/log/nginx-$port-start.log" &
  NGINX_PID=$!
  OTHER_PIDS+=("$NGINX_PID")
  # Any answer will do: a server may refuse a Host it does not know (421).
  for _ in $(seq 100); do
    [ "$(curl -sS -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/config" 2>/dev/null)" != 000 ] && return 0
    sleep 0.1
  done
  echo "nginx on port $port does not answer"
  return 1
}

# Stops everything started above by its pid, unmounts, removes WORK.
scale_out_cleanup() {
  [ -n "${WORK:-}" ] || return 0
  local pid mount client brick_pid_file socket
  for pid in "${OTHER_PIDS[@]}" "${SERVER_PIDS[@]}"; do stop_pid "$pid"; done
  for mount in "$MOUNT_A" "$MOUNT_B"; do
    mountpoint -q "$mount" && { umount "$mount" 2>/dev/null || umount -l "$mount"; }
  done
  for client in "$WORK"/run/client-*.pid; do stop_pid "$(pid_of_file "$client")"; done
  # The brick process, by its pid file; its socket, which glusterd puts
  # under /var/run/gluster whatever its run directory, goes with it.
  for brick_pid_file in "$WORK"/run/vols/*/*.pid; do
    [ -e "$brick_pid_file" ] || continue
    pid=$(pid_of_file "$brick_pid_file")
    socket=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | sed -n '/^-S$/{n;p}')
    stop_pid "$pid"
    [ -n "$socket" ] && rm -f "$socket"
  done
  stop_pid "$(glusterd_pid)"
  rm -rf "$WORK"
}
