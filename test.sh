#!/usr/bin/env bash
# Builds Tarnwell and runs every check CI runs:
#   the test suite (warnings are errors), the same suite under AddressSanitizer +
#   UndefinedBehaviorSanitizer, the datagram-parser fuzzer for a bounded time, and
#   the program in a real X server (Xvfb) driven with xdotool.
# TARNWELL_QUICK=1 runs only the first step.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
"$here/scripts/install-deps.sh" test
jobs=$(nproc)
status=0

step() { echo; echo "=== $* ==="; }

step "build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs") || status=1

if [ "${TARNWELL_QUICK:-0}" != 1 ]; then
  step "AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_SANITIZE=ON \
        -DTARNWELL_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-Werror >/dev/null
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ctest --output-on-failure -j"$jobs") || status=1

  if [ -x fuzz/run.sh ]; then
    step "fuzzing the datagram parser"
    fuzz/run.sh "${TARNWELL_FUZZ_SECONDS:-60}" || status=1
  fi

  if [ -x scripts/xvfb-smoke.sh ]; then
    step "the program in a real X server"
    scripts/xvfb-smoke.sh build || status=1
  fi
fi

echo
if [ $status -eq 0 ]; then echo "ALL CHECKS PASSED"; else echo "SOME CHECKS FAILED"; fi
exit $status
