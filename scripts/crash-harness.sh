#!/usr/bin/env bash
# The long crash harness: a burning station killed with SIGKILL at random moments during
# its Burn passes over a simulated line with slow answers and 20 % loss, started again
# each time, then left to finish. It reports kills, devices, identifiers found in two
# devices and identifiers lost (both must be 0). CI runs the same test at 30 devices and
# 6 kills (tst_stations).
#   scripts/crash-harness.sh [build dir] [devices] [kills]     (defaults: build 200 50)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
export TARNWELL_CRASH_DEVICES=${2:-200}
export TARNWELL_CRASH_KILLS=${3:-50}
export QT_QPA_PLATFORM=offscreen
cmake --build "$build" --target tst_stations burnstation tarnwell-devicesim >/dev/null
exec "$build/tests/tst_stations" stationKilledDuringPasses -maxwarnings 0
