#!/usr/bin/env bash
# Starts or stops the demo line: tarnwell-devicesim with 24 devices on the stand-in SDK's
# default loopback port, its state kept in <run folder>/demo-line.json.
#   demo-line.sh start|stop <run folder>
# Stop ends only the simulator this script started: the pid file's process, and only
# while that pid still runs this run folder's simulator on this state file (a pid can be
# reused by another program once the simulator has ended).
set -euo pipefail
action=${1:?start or stop}
run=$(cd "${2:?run folder}" && pwd)
pidfile="$run/demo-line.pid"
program="$run/tarnwell-devicesim"
state="$run/demo-line.json"
log="$run/demo-line.log"

# The pid from the pid file if that process is still our simulator, else nothing.
our_pid() {
  local pid
  [ -f "$pidfile" ] || return 1
  pid=$(cat "$pidfile")
  case "$pid" in '' | *[!0-9]*) return 1 ;; esac
  [ -r "/proc/$pid/cmdline" ] || return 1
  # argv[0] and the --state argument, NUL-separated as the kernel keeps them.
  local -a args
  mapfile -d '' -t args <"/proc/$pid/cmdline" || return 1
  [ "${args[0]:-}" = "$program" ] || return 1
  local i
  for ((i = 1; i + 1 < ${#args[@]}; i++)); do
    if [ "${args[i]}" = "--state" ] && [ "${args[i + 1]}" = "$state" ]; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

case "$action" in
start)
  if pid=$(our_pid); then
    echo "Demo line already running (pid $pid)."
    exit 0
  fi
  "$program" --devices 24 --state "$state" >"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$pidfile"
  # Ready once it says so; it exits with a message when it cannot listen.
  for _ in $(seq 100); do
    grep -q "listening on" "$log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "listening on" "$log" 2>/dev/null; then
    cat "$log"
    kill "$pid" 2>/dev/null || true
    rm -f "$pidfile"
    exit 1
  fi
  echo "Demo line: 24 simulated devices on loopback (state in $state, log in $log)."
  ;;
stop)
  if pid=$(our_pid); then
    kill "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
  ;;
*)
  echo "usage: demo-line.sh start|stop <run folder>" >&2
  exit 2
  ;;
esac
