#!/usr/bin/env bash
# Runs every benchmark program under bench/ one after the other, in one run, and keeps
# their output in <build>/bench-all.log.   bench-all.sh [build dir]
# At their default sizes: bench_scale fills a pool and a log of 10 M rows each (kept in
# <build>/bench-data between runs, about 7 GB; TARNWELL_BENCH_ROWS=1000000 for a quicker
# run) and a 10 M pool on a throwaway PostgreSQL server in every run; the whole takes hours
# on a 2-core machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_store bench_serialpage bench_import bench_export bench_device \
  bench_scale bench_stations bench_merge
log="$build/bench-all.log"
: >"$log"
for b in bench_store bench_serialpage bench_import bench_export bench_device bench_scale bench_stations bench_merge; do
  echo "=== $b ($(date -u +%H:%M:%S), load $(cut -d' ' -f1 /proc/loadavg)) ===" | tee -a "$log"
  "$build/run/$b" 2>&1 | tee -a "$log"
done
echo "Figures in $log"
