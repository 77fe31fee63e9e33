#!/usr/bin/env bash
# A throwaway PostgreSQL cluster in a folder, for tests and benchmarks: a real server that
# listens only on 127.0.0.1 (a free port) and on a unix socket in the folder, with a login
# role and a database, both named tarnwell, reached with a password.
#
#   pg-cluster.sh start DIR [--owner PID] [--durable]
#       DIR: an empty or missing folder (short path: the socket name must fit in 107 bytes).
#       Writes DIR/env (shell-sourceable PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE,
#       PGPASSFILE, TARNWELL_PG_SOCKETDIR, TARNWELL_PG_DATADIR) and prints it.
#       --owner PID: the cluster belongs to process PID; when PID ends without stopping it
#       (a crashed or killed test), a watchdog stops the server and removes DIR.
#       --durable: keep fsync on (benchmarks that want real commit costs); by default a
#       throwaway cluster does not wait for the disk.
#       --set NAME=VALUE: a server setting after the throwaway defaults (repeatable), e.g.
#       --set synchronous_commit=off for a server that commits lazily.
#   pg-cluster.sh stop DIR     stops the server (fast, then immediate) and its watchdog
#   pg-cluster.sh crash DIR    stops the server the way a crash would (immediate: no
#                              checkpoint, unwritten WAL lost); the cluster stays for restart
#   pg-cluster.sh restart DIR  starts a stopped or crashed cluster again on its port
#   pg-cluster.sh status DIR   exit 0 while the server runs
#
# As root (CI) the server runs as the postgres system user of the Debian package, because
# initdb refuses root: DIR is handed to that user, so it must be reachable by it (a folder
# under /tmp is).
set -euo pipefail

die() { echo "pg-cluster: $*" >&2; exit 1; }
usage() { die "usage: $0 start DIR [--owner PID] [--durable] [--set NAME=VALUE]... | stop DIR | crash DIR | restart DIR | status DIR"; }

[ $# -ge 2 ] || usage
cmd=$1
dir=$2
shift 2
self=$(readlink -f "$0")

# Our own settings only: a PGPORT or PGHOST of the caller must not steer the tools.
unset PGHOST PGPORT PGUSER PGPASSWORD PGDATABASE PGPASSFILE PGSERVICE PGDATA PGOPTIONS

bindir() {
  local d
  if command -v pg_config >/dev/null 2>&1; then
    d=$(pg_config --bindir 2>/dev/null || true)
    if [ -n "$d" ] && [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ]; then echo "$d"; return; fi
  fi
  for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    if [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ]; then echo "$d"; return; fi
  done
  die "no PostgreSQL server found (initdb, pg_ctl); install it: scripts/install-deps.sh test"
}

# Runs a command as the user the server runs as.
as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$dir" && runuser -u postgres -- "$@")
  else
    (cd "$dir" && "$@")
  fi
}

running() {
  [ -f "$dir/data/postmaster.pid" ] || return 1
  as_server "$(bindir)/pg_ctl" status -D "$dir/data" >/dev/null 2>&1
}

kill_watchdog() {
  local pid
  [ -f "$dir/watchdog.pid" ] || return 0
  pid=$(cat "$dir/watchdog.pid" 2>/dev/null || true)
  rm -f "$dir/watchdog.pid"
  # The watchdog leads its own process group (setsid): end it and its waiting child.
  [ -n "$pid" ] && [ "$pid" != "${WATCHDOG_SELF:-}" ] && kill -- "-$pid" 2>/dev/null || true
}

# A process that is gone or only waits to be reaped.
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

stop_server() {
  local bin pid=""
  bin=$(bindir)
  if [ -f "$dir/data/postmaster.pid" ]; then
    pid=$(head -1 "$dir/data/postmaster.pid" 2>/dev/null || true)
    # A test that stopped the server's processes (SIGSTOP) and died before it let them go on:
    # stopped processes take no signal to shut down.
    if [[ "$pid" =~ ^[0-9]+$ ]]; then
      kill -CONT "$pid" $(pgrep -P "$pid" 2>/dev/null) 2>/dev/null || true
    fi
    as_server "$bin/pg_ctl" stop -D "$dir/data" -m fast -w -t 30 >/dev/null 2>&1 ||
      as_server "$bin/pg_ctl" stop -D "$dir/data" -m immediate -w -t 30 >/dev/null 2>&1 || true
  fi
  if running; then die "the server in $dir/data did not stop (see $dir/postgres.log)"; fi
  # pg_ctl returns once the pid file is gone, a moment before the postmaster has exited.
  if [[ "$pid" =~ ^[0-9]+$ ]]; then
    for _ in $(seq 200); do alive "$pid" || return 0; sleep 0.05; done
    die "the server process $pid did not end"
  fi
}

case "$cmd" in
start)
  owner=""
  durable=0
  extra=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --owner) [ $# -ge 2 ] || usage; owner=$2; shift 2 ;;
      --durable) durable=1; shift ;;
      --set)
        [ $# -ge 2 ] || usage
        [[ "$2" =~ ^[a-z_]+=[A-Za-z0-9_.]+$ ]] || die "--set takes NAME=VALUE (letters, digits, _ and .)"
        extra+=("${2%%=*} = '${2#*=}'"); shift 2 ;;
      *) usage ;;
    esac
  done
  [ -z "$owner" ] || [[ "$owner" =~ ^[0-9]+$ ]] || die "--owner takes a process id"
  case "$dir" in *\'*|*\\*|*$'\n'*) die "the folder name must not hold quotes, backslashes or line breaks" ;; esac
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [ -e "$dir/data" ] && die "$dir already holds a cluster (stop it and use an empty folder)"
  # The socket path is DIR/.s.PGSQL.<port>; the kernel allows 107 bytes.
  [ $((${#dir} + 17)) -le 107 ] || die "folder path too long for a unix socket: $dir"
  bin=$(bindir)
  touch "$dir/.pg-cluster"

  if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || die "running as root needs the postgres system user (Debian package postgresql)"
    chown postgres: "$dir" "$dir/.pg-cluster"
    chmod 0700 "$dir"
    runuser -u postgres -- test -w "$dir" ||
      die "the postgres user cannot reach $dir (a parent folder is closed to it); use a folder under /tmp"
  fi

  password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  umask 077
  printf '%s\n' "$password" >"$dir/pwfile"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pwfile"
  # Superuser "postgres" for setting up; connections over TCP need a password.
  as_server "$bin/initdb" -D "$dir/data" -U postgres --pwfile="$dir/pwfile" -E UTF8 --locale=C \
    --auth-local=trust --auth-host=scram-sha-256 --no-sync --no-instructions >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; die "initdb failed"; }
  rm -f "$dir/pwfile"

  fsync=off
  [ $durable -eq 1 ] && fsync=on
  cat >>"$dir/data/postgresql.conf" <<EOF

# throwaway cluster (scripts/pg-cluster.sh)
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
unix_socket_permissions = 0700
max_connections = 100
fsync = $fsync
synchronous_commit = $fsync
full_page_writes = $fsync
log_min_messages = warning
log_min_error_statement = error
EOF
  for line in "${extra[@]}"; do printf '%s\n' "$line" >>"$dir/data/postgresql.conf"; done

  # A free port: try random ones; a port taken meanwhile by anyone else fails the bind
  # and the next one is tried.
  port=""
  for _ in $(seq 20); do
    try=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    rm -f "$dir/postgres.log"
    if as_server "$bin/pg_ctl" start -D "$dir/data" -l "$dir/postgres.log" -w -t 60 -o "-p $try" \
        >/dev/null 2>&1; then
      port=$try
      break
    fi
    as_server "$bin/pg_ctl" stop -D "$dir/data" -m immediate -w >/dev/null 2>&1 || true
    grep -q -e 'could not bind' -e 'could not create any TCP/IP sockets' "$dir/postgres.log" 2>/dev/null ||
      { tail -20 "$dir/postgres.log" >&2 || true; die "the server did not start"; }
  done
  [ -n "$port" ] || die "no free port found"

  # Watchdog first, so that a caller dying during the set-up below leaves nothing behind.
  if [ -n "$owner" ]; then
    setsid bash -c '
      echo $$ >"$2/watchdog.pid"
      tail --pid="$1" -f /dev/null
      [ -f "$2/watchdog.pid" ] && [ "$(cat "$2/watchdog.pid")" = $$ ] || exit 0
      WATCHDOG_SELF=$$ "$3" stop "$2"
      [ -f "$2/.pg-cluster" ] && rm -rf "$2"' \
      _ "$owner" "$dir" "$self" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 100); do [ -s "$dir/watchdog.pid" ] && break; sleep 0.05; done
  fi

  as_server "$bin/psql" -X -q -h "$dir" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -v pw="$password" >/dev/null <<'EOF' || { stop_server; die "could not create the tarnwell role and database"; }
CREATE ROLE tarnwell LOGIN CREATEDB PASSWORD :'pw';
CREATE DATABASE tarnwell OWNER tarnwell;
EOF

  printf '127.0.0.1:%s:*:tarnwell:%s\n' "$port" "$password" >"$dir/pgpass"
  cat >"$dir/env" <<EOF
PGHOST=127.0.0.1
PGPORT=$port
PGUSER=tarnwell
PGPASSWORD=$password
PGDATABASE=tarnwell
PGPASSFILE=$dir/pgpass
TARNWELL_PG_SOCKETDIR=$dir
TARNWELL_PG_DATADIR=$dir/data
EOF
  chmod 0644 "$dir/env"
  cat "$dir/env"
  ;;
stop)
  [ -d "$dir" ] || exit 0
  dir=$(cd "$dir" && pwd)
  # A server that will not stop keeps its watchdog, which tries again when the owner ends.
  stop_server
  kill_watchdog
  ;;
crash)
  [ -d "$dir/data" ] || die "no cluster in $dir"
  dir=$(cd "$dir" && pwd)
  pid=$(head -1 "$dir/data/postmaster.pid" 2>/dev/null || true)
  as_server "$(bindir)/pg_ctl" stop -D "$dir/data" -m immediate -w -t 30 >/dev/null 2>&1 || true
  if [[ "$pid" =~ ^[0-9]+$ ]]; then
    for _ in $(seq 200); do alive "$pid" || break; sleep 0.05; done
  fi
  if running; then die "the server in $dir/data did not stop"; fi
  ;;
restart)
  [ -f "$dir/env" ] || die "no cluster in $dir"
  dir=$(cd "$dir" && pwd)
  if running; then exit 0; fi
  port=$(sed -n 's/^PGPORT=//p' "$dir/env")
  as_server "$(bindir)/pg_ctl" start -D "$dir/data" -l "$dir/postgres.log" -w -t 60 -o "-p $port" >/dev/null 2>&1 ||
    { tail -20 "$dir/postgres.log" >&2 || true; die "the server did not start again"; }
  ;;
status)
  [ -d "$dir" ] || exit 1
  dir=$(cd "$dir" && pwd)
  running
  ;;
*)
  usage
  ;;
esac
