#!/usr/bin/env bash
# Starts or stops the demo line: tarnwell-devicesim with 24 devices on the stand-in SDK's
# default loopback port, its state kept in <run folder>/demo-line.json.
#   demo-line.sh start|stop <run folder>
set -euo pipefail
action=${1:?start or stop}
run=$(cd "${2:?run folder}" && pwd)
pidfile="$run/demo-line.pid"

case "$action" in
start)
  if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "Demo line already running (pid $(cat "$pidfile"))."
    exit 0
  fi
  "$run/tarnwell-devicesim" --devices 24 --state "$run/demo-line.json" >"$run/demo-line.log" 2>&1 &
  echo $! >"$pidfile"
  sleep 0.5
  kill -0 "$(cat "$pidfile")" 2>/dev/null || { cat "$run/demo-line.log"; exit 1; }
  echo "Demo line: 24 simulated devices on loopback (state in $run/demo-line.json, log in $run/demo-line.log)."
  ;;
stop)
  [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
  rm -f "$pidfile"
  ;;
esac
