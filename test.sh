#!/usr/bin/env bash
# Builds Tarnwell and runs every check CI runs:
#   the source layout (.clang-format), the test suite (warnings are errors), the same suite under AddressSanitizer +
#   UndefinedBehaviorSanitizer, the datagram-parser fuzzer for a bounded time,
#   the program in a real X server (Xvfb) driven with xdotool, and the Debian package
#   (built, checked, and the program started from it in Xvfb).
# TARNWELL_QUICK=1 runs only the format check and the first suite run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
"$here/scripts/install-deps.sh" test
jobs=$(nproc)
passed=0
failed=0

step() { echo; echo "=== $* ==="; }
result() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi; }

step "formatting"
rc=0; scripts/check-format.sh || rc=1; result $rc

step "build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
rc=0; (cd build && ctest --output-on-failure -j"$jobs") || rc=1; result $rc

if [ "${TARNWELL_QUICK:-0}" != 1 ]; then
  step "AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_SANITIZE=ON \
        -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_WERROR=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  rc=0; (cd build-asan && ctest --output-on-failure -j"$jobs") || rc=1; result $rc

  if [ -x fuzz/run.sh ]; then
    step "fuzzing the datagram parser"
    rc=0; fuzz/run.sh "${TARNWELL_FUZZ_SECONDS:-60}" || rc=1; result $rc
  fi

  if [ -x scripts/xvfb-smoke.sh ]; then
    step "the program in a real X server"
    rc=0; scripts/xvfb-smoke.sh build || rc=1; result $rc
  fi

  step "the Debian package, and the program started from it in a real X server"
  rc=0; scripts/check-package.sh build || rc=1; result $rc
fi

echo
echo "checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
