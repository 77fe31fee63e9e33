#!/bin/sh
# Builds the datagram-parser fuzzer with clang and runs it for a bounded time.
# Usage: fuzz/run.sh [seconds]   (default 60; FUZZ_BUILD_DIR overrides build-fuzz)
# Exits non-zero when it finds a crash, leak or trap; the input is kept in
# <build dir>/artifacts/. The committed seeds in fuzz/corpus/ are only read.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

generator=
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator="-G Ninja"
fi
# shellcheck disable=SC2086
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ $generator >/dev/null
cmake --build "$build" -j2

mkdir -p "$build/corpus" "$build/artifacts"
exec "$build/fuzz_wire" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
  "$build/corpus" "$root/fuzz/corpus"
