#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as a line PC gets it: control
# fields, dependencies against what the binaries really load, contents, the launcher's
# choice of translation, and the program started through the unpacked launcher under Xvfb
# (xvfb-smoke.sh --launcher) logging in. Also checks that `cmake --install` still lays out
# a runnable folder.
#   check-package.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

cmake --build "$build" -j"$(nproc)" --target tarnwell tarnwell-devicesim tarnwell-merge translations >/dev/null
rm -f "$build"/tarnwell_*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
debs=("$build"/tarnwell_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one tarnwell_*.deb in $build"
deb=${debs[0]}

# --- control fields -----------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarnwell ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
for f in Version Maintainer Description Installed-Size Section; do
  [ -n "$(field "$f")" ] || fail "control field $f is empty"
done
depends=$(field Depends)
# The package names in Depends (alternatives included), one a line.
tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sed '/^$/d' >"$tmp/depends"
has_dep() { grep -Fqx -- "$1" "$tmp/depends"; }

# --- contents -----------------------------------------------------------------------------
dpkg-deb -c "$deb" >"$tmp/contents"
# "mode owner path" for every entry (tar's listing: mode owner size date time path)
awk '{print $1, $2, $6}' "$tmp/contents" | sed 's| \./| /|; s|/$||' >"$tmp/entries"
expect() { # expect MODE PATH
  grep -qx -- "$1 root/root $2" "$tmp/entries" || fail "the package lacks $2 ($1 root/root)"
}
expect -rwxr-xr-x /opt/tarnwell/tarnwell
expect -rwxr-xr-x /opt/tarnwell/tarnwell-devicesim
expect -rwxr-xr-x /opt/tarnwell/tarnwell-merge
expect -rw-r--r-- /opt/tarnwell/libz7netsdk.so
expect -rw-r--r-- /opt/tarnwell/Resources/App.ico
expect -rw-r--r-- /opt/tarnwell/Resources/loading.gif
for ts in "$here"/language/*.ts; do
  expect -rw-r--r-- "/opt/tarnwell/translations/$(basename "${ts%.ts}").qm"
done
expect -rwxr-xr-x /usr/bin/tarnwell
expect -rw-r--r-- /usr/share/applications/tarnwell.desktop
# Nothing else outside the program folder, everything root's, nothing writable by others,
# no database or the folder install's own desktop entry.
while read -r mode owner path; do
  [ "$owner" = root/root ] || fail "$path belongs to $owner"
  [ "${mode:8:1}" = - ] || fail "$path is writable by others ($mode)"
  case "$path" in
    /opt | /opt/tarnwell | /opt/tarnwell/* | /usr | /usr/bin | /usr/bin/tarnwell | /usr/share | \
    /usr/share/applications | /usr/share/applications/tarnwell.desktop) ;;
    *) fail "unexpected entry $path" ;;
  esac
  case "$path" in
    */mydatabase.db* | /opt/tarnwell/share*) fail "unexpected entry $path" ;;
  esac
done <"$tmp/entries"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
prog=$root/opt/tarnwell
command -v desktop-file-validate >/dev/null &&
  { desktop-file-validate "$root/usr/share/applications/tarnwell.desktop" || fail "the desktop entry is not valid"; }
grep -qx 'Exec=/usr/bin/tarnwell' "$root/usr/share/applications/tarnwell.desktop" ||
  fail "the desktop entry does not start the launcher"

# --- dependencies: every library the binaries load, and the plugins Qt loads -----------------
for elf in "$prog/tarnwell" "$prog/tarnwell-devicesim" "$prog/tarnwell-merge" "$prog/libz7netsdk.so"; do
  # Libraries only from beside the program or the system, never from a build folder.
  ! readelf -d "$elf" | grep -E 'R(UN)?PATH' | grep -vq '\[\$ORIGIN\]$' ||
    fail "$elf: library search path other than \$ORIGIN: $(readelf -d "$elf" | grep -E 'R(UN)?PATH')"
  ldd "$elf" >"$tmp/ldd"
  ! grep -q 'not found' "$tmp/ldd" || { cat "$tmp/ldd"; fail "$elf: a library is not found"; }
  # The libraries it names itself (the packages that own them bring their own).
  for needed in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    awk -v n="$needed" '$1 == n && $2 == "=>" {print $3}' "$tmp/ldd" >>"$tmp/libs"
  done
done
plugins=$(QT_SELECT=qt5 qtpaths --plugin-dir 2>/dev/null) ||
  plugins=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qt5/plugins
for p in sqldrivers/libqsqlite.so sqldrivers/libqsqlpsql.so platforms/libqxcb.so \
         imageformats/libqico.so imageformats/libqgif.so; do
  [ -f "$plugins/$p" ] || fail "Qt plugin $plugins/$p is missing on this machine"
  echo "$plugins/$p" >>"$tmp/libs"
done
# The package owning a file; dpkg knows each file by the path its package ships, which on a
# merged-/usr system may be the /lib or the /usr/lib spelling.
owner_of() {
  local p
  for p in "$(readlink -f "$1")" "$1"; do
    for q in "$p" "/usr$p" "${p#/usr}"; do
      dpkg -S "$q" 2>/dev/null | head -1 | sed 's/[:,].*//' && return 0
    done
  done
  return 1
}
for lib in $(sort -u "$tmp/libs"); do
  case "$lib" in "$prog"/*) continue ;; esac
  pkg=$(owner_of "$lib") && [ -n "$pkg" ] || fail "no Debian package owns $lib"
  has_dep "$pkg" || fail "Depends lacks $pkg (for $lib): $depends"
done
if command -v apt-get >/dev/null; then
  apt-get install --simulate --no-install-recommends "$deb" >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log"; fail "the package's dependencies cannot be installed"; }
fi

# The merge program starts from the unpacked copy.
merge_help=$("$prog/tarnwell-merge" --help) && grep -q 'STATION.db' <<<"$merge_help" ||
  fail "tarnwell-merge does not start from the package"

# --- the launcher's operator folder and choice of translation (no display: the program stops
# --- at once, after the launcher has laid out the folder) --------------------------------
launch() { # launch HOME [VAR=value...] [-- launcher arguments]
  local home=$1; shift
  local vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ "${1:-}" = -- ] && shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_DATA_HOME -u XDG_CONFIG_HOME \
      -u TARNWELL_LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG -u LANGUAGE \
      HOME="$home" "${vars[@]}" "$root/usr/bin/tarnwell" "$@" >"$tmp/launch.log" 2>&1 || true
  grep -q 'no display found' "$tmp/launch.log" || { cat "$tmp/launch.log"; fail "the launcher did not start the program"; }
}
chosen() { # the translation in the operator's language/ folder, "-" for none
  local dir=$1/.local/share/tarnwell/language
  local n
  n=$(find "$dir" -mindepth 1 | wc -l)
  [ "$n" -le 1 ] || fail "$dir holds $n entries"
  [ "$n" -eq 1 ] || { echo -; return; }
  local f
  f=$(find "$dir" -mindepth 1)
  [ -f "$f" ] || fail "$f does not lead to a file"
  [ "$(readlink -f "$f")" = "$(readlink -f "$prog/translations/$(basename "$f")")" ] ||
    fail "$f does not lead into the installed translations"
  basename "$f" .qm
}
find "$prog" -printf '%p %T@ %m\n' | sort >"$tmp/program-before"
h=$tmp/h1
launch "$h" LANG=C.UTF-8
[ "$(stat -c %a "$h/.local/share/tarnwell")" = 700 ] || fail "the operator's folder is not 0700"
[ "$(readlink -f "$h/.local/share/tarnwell/Resources")" = "$(readlink -f "$prog/Resources")" ] ||
  fail "Resources does not lead to the installed folder"
check_choice() { # check_choice EXPECTED HOME [VAR=value...] [-- arguments]
  local want=$1 home=$2; shift 2
  launch "$home" "$@"
  local got
  got=$(chosen "$home")
  [ "$got" = "$want" ] || fail "launcher with $* chose '$got', expected '$want'"
}
check_choice - "$h" LANG=C.UTF-8
check_choice tarnwell_zh_CN "$h" LANG=zh_CN.UTF-8
check_choice tarnwell_zh_CN "$h" LC_MESSAGES=zh_CN.UTF-8 LANG=en_GB.UTF-8
check_choice - "$h" LANG=de_DE.UTF-8
check_choice tarnwell_zh_CN "$h" TARNWELL_LANGUAGE=zh_CN LANG=C.UTF-8
check_choice - "$h" TARNWELL_LANGUAGE=../../etc LANG=zh_CN.UTF-8
check_choice tarnwell_zh_CN "$h" LANG=C.UTF-8 -- --language zh_CN
check_choice tarnwell_zh_CN "$h" LANG=C.UTF-8
check_choice - "$h" LANG=zh_CN.UTF-8 -- --language en
check_choice - "$h" LANG=zh_CN.UTF-8
find "$prog" -printf '%p %T@ %m\n' | sort >"$tmp/program-after"
cmp -s "$tmp/program-before" "$tmp/program-after" || fail "starting the program changed its installed folder"

# --- the program through the unpacked launcher, in a real X server -----------------------------
"$here/scripts/xvfb-smoke.sh" --launcher "$root/usr/bin/tarnwell" "$build" || fail "the X check through the launcher failed"
find "$prog" -printf '%p %T@ %m\n' | sort >"$tmp/program-after"
cmp -s "$tmp/program-before" "$tmp/program-after" || fail "running the program changed its installed folder"

# --- the folder install (README "Installing") still lays out a runnable folder ------------------
cmake --install "$build" --prefix "$tmp/folder" >/dev/null
for f in tarnwell tarnwell-devicesim tarnwell-merge libz7netsdk.so Resources/App.ico Resources/loading.gif \
         share/applications/tarnwell.desktop; do
  [ -e "$tmp/folder/$f" ] || fail "cmake --install left out $f"
done
[ -d "$tmp/folder/language" ] || fail "cmake --install left out language/"
[ ! -e "$tmp/folder/usr" ] && [ ! -e "$tmp/folder/bin" ] || fail "cmake --install put the package's launcher in the folder"
grep -qx "Exec=$tmp/folder/tarnwell" "$tmp/folder/share/applications/tarnwell.desktop" ||
  fail "the folder's desktop entry does not start the folder's program"

echo "check-package: $(basename "$deb"): $(stat -c %s "$deb") bytes, installs $(field Installed-Size) KiB"
echo "check-package: Depends: $depends"
echo "check-package: contents, dependencies, launcher, X check and folder install as expected"
