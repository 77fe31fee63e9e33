#!/usr/bin/env bash
# Runs the whole suite again and again and stops at the first failure: the proof that it
# does not flake. With --load, two busy loops keep both cores occupied meanwhile, as
# another job on a line PC or a CI machine would.
#   scripts/suite-loop.sh [--load] [runs] [build dir]      (defaults: 30 build)
set -euo pipefail
load=0
if [ "${1:-}" = --load ]; then
  load=1
  shift
fi
runs=${1:-30}
build=$(cd "${2:-build}" && pwd)
busy=()
stop() { [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true; }
trap stop EXIT
if [ $load = 1 ]; then
  for _ in 1 2; do
    (while :; do :; done) &
    busy+=($!)
  done
fi
for i in $(seq 1 "$runs"); do
  start=$(date +%s)
  if (cd "$build" && ctest -j2 >"$build/suite-loop-$i.log" 2>&1); then
    echo "suite-loop: run $i of $runs passed in $(($(date +%s) - start)) s, load $(cut -d' ' -f1 /proc/loadavg)"
    rm -f "$build/suite-loop-$i.log"
  else
    echo "suite-loop: run $i of $runs FAILED; see $build/suite-loop-$i.log"
    exit 1
  fi
done
echo "suite-loop: $runs runs in a row, 0 failures"
