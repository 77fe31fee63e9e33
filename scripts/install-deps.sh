#!/usr/bin/env bash
# Installs the Debian packages Tarnwell needs; skips those already present.
#   install-deps.sh build   compiler, Qt 5 (and Qt Charts) with its SQLite and PostgreSQL drivers, libpq, libsodium, QuaZip, libgsf, libqrencode
#                           (enough to build and run)
#   install-deps.sh test    build + what the test suite needs (Xvfb, xdotool, clang for the fuzzer,
#                           sqlite3, LibreOffice for the workbook round trips, a PostgreSQL server,
#                           dpkg-shlibdeps, file and desktop-file-validate for the .deb,
#                           clang-format for scripts/check-format.sh,
#                           zbarimg and pdftoppm for the label round trips, cupsd and lpadmin for a print queue of the tests' own)
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config ccache
            qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql qttools5-dev qttools5-dev-tools libqt5charts5-dev
            libquazip1-qt5-dev libgsf-1-dev libsqlite3-dev libpq-dev libsodium-dev libqrencode-dev fonts-dejavu-core fonts-liberation2 fonts-wqy-microhei)
test_pkgs=(xvfb xauth xdotool x11-apps imagemagick clang libclang-rt-14-dev sqlite3
           libreoffice-calc-nogui postgresql dpkg-dev file desktop-file-utils clang-format
           zbar-tools poppler-utils cups)

want=("${build_pkgs[@]}")
[ "${1:-build}" = test ] && want+=("${test_pkgs[@]}")

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
