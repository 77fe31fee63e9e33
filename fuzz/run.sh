#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded time: the datagram
# parser (fuzz_wire) and the readers of formats/ (fuzz_xlsx, fuzz_xls, fuzz_xml, fuzz_csv).
# Usage: fuzz/run.sh [seconds]   (default 60; FUZZ_BUILD_DIR overrides build-fuzz)
# The seconds are the whole run's budget, spread evenly over the five targets (at least
# 5 s each), so `fuzz/run.sh 60` fuzzes each for 12 s.
# Exits non-zero when a target finds a crash, leak, trap, timeout or runs out of memory;
# the input is kept in <build dir>/artifacts/<target>/. The committed seeds in
# fuzz/corpus/<format>/ are only read.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets="wire xlsx xls xml csv"
each=$((seconds / 5))
[ "$each" -lt 5 ] && each=5

generator=
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator="-G Ninja"
fi
# shellcheck disable=SC2086
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ $generator >/dev/null
cmake --build "$build" -j2

failed=0
for t in $targets; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  case $t in
    wire) max_len=2048 ;;
    *) max_len=65536 ;;
  esac
  echo "=== fuzz_$t for ${each}s ==="
  # The readers run Qt's text codecs, which keep caches for the process's life.
  # Full stacks for the XLS reader, so the library's own leak on a broken file (lsan.supp)
  # is told from ours.
  unwind=1
  [ "$t" = xls ] && unwind=0
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=$unwind LSAN_OPTIONS=suppressions="$root/fuzz/lsan.supp" \
  "$build/fuzz_$t" -max_total_time="$each" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$t/" -print_final_stats=1 \
    "$build/corpus/$t" "$root/fuzz/corpus/$t" || failed=1
done
exit $failed
