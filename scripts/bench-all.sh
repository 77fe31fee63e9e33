#!/usr/bin/env bash
# Runs every benchmark program under bench/ one after the other, in one run, and keeps
# their output in <build>/bench-all.log.   bench-all.sh [build dir]
# At their default sizes bench_scale fills a pool and a log of 10 M rows each (kept in
# <build>/bench-data between runs, about 7 GB) and a 10 M pool on a throwaway PostgreSQL
# server in every run, and the others work on pools of 1 M: the whole takes hours on a
# 2-core machine. TARNWELL_BENCH_ROWS=N sets the pool of every program (100000: minutes).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
programs=(bench_scale bench_import bench_export bench_device bench_stations bench_merge bench_login bench_logchain)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"
log="$build/bench-all.log"
: >"$log"
start=$(date +%s)
for b in "${programs[@]}"; do
  echo "=== $b ($(date -u +%H:%M:%S), load $(cut -d' ' -f1 /proc/loadavg)) ===" | tee -a "$log"
  "$build/run/$b" 2>&1 | tee -a "$log"
done
echo "=== all in $(($(date +%s) - start)) s ===" | tee -a "$log"
echo "Figures in $log"
