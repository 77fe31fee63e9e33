#!/usr/bin/env bash
# Builds Tarnwell and starts it from build/run, beside a simulated line of 24 devices on loopback.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/install-deps.sh" build
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(nproc)" --target tarnwell tarnwell-devicesim translations
run="$here/build/run"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found (DISPLAY is not set): Tarnwell is a desktop program."
  echo "Run it on a desktop session, or under a virtual X server:"
  echo "  sudo apt-get install -y xvfb && xvfb-run -a -s '-screen 0 1280x800x24' $0"
  exit 1
fi

mkdir -p "$run/demo" && cp "$here"/demo/demo-pool.* "$run/demo/"
"$here/scripts/demo-line.sh" start "$run"
trap '"$here/scripts/demo-line.sh" stop "$run"' EXIT
echo
echo "Log in as admin / qorvi (change the password under Password)."
echo "Serail Number > Choose: import demo/demo-pool.xml (or .xlsx) for a customer, then Import."
echo "Burning > Search lists the simulated line; check devices, Match, then Burning."
echo
cd "$run" && ./tarnwell
