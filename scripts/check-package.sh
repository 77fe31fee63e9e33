#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as a line PC gets it: control
# fields and the maintainer script, dependencies against what the binaries really load,
# contents, the launcher's station folder, its choice of translation and what it says about
# a pool or settings an earlier package left in an operator's folder, and the program
# started through the unpacked launcher under Xvfb (xvfb-smoke.sh --launcher) logging in.
# Also checks that `cmake --install` still lays out a runnable folder. As root (CI, a fresh
# machine) it then installs the package and shows that two operating-system users in the
# group tarnwell burn from one pool, and that a user outside it is told how to join; when
# the machine had no tarnwell package before, it is taken off again afterwards.
#   check-package.sh <build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
tmp=$(mktemp -d)
cleanups=()
cleanup() {
  local c
  for c in "${cleanups[@]}"; do eval "$c" || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

cmake --build "$build" -j"$(nproc)" --target tarnwell tarnwell-devicesim tarnwell-merge tarnwell-admin translations >/dev/null
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
# The maintainer script makes the station folder and its group (with adduser's addgroup).
dpkg-deb -e "$deb" "$tmp/control"
postinst=$tmp/control/postinst
[ -f "$postinst" ] && [ "$(stat -c %a "$postinst")" = 755 ] || fail "the package has no executable postinst"
sh -n "$postinst" || fail "postinst is not a valid shell script"
grep -q 'addgroup --system' "$postinst" || fail "postinst does not make the group"
has_dep adduser || fail "Depends lacks adduser (postinst runs addgroup): $depends"
[ ! -e "$tmp/control/postrm" ] && [ ! -e "$tmp/control/prerm" ] || fail "a remove script: the station's pool is never removed"
grep -q '/var/lib/tarnwell' <<<"$(field Description)" || fail "the description does not say where the pool lives"

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
expect -rwxr-xr-x /opt/tarnwell/tarnwell-admin
expect -rw-r--r-- /opt/tarnwell/libz7netsdk.so
expect -rw-r--r-- /opt/tarnwell/Resources/App.ico
expect -rw-r--r-- /opt/tarnwell/Resources/loading.gif
expect -rw-r--r-- /opt/tarnwell/Resources/label-template.txt
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
for elf in "$prog/tarnwell" "$prog/tarnwell-devicesim" "$prog/tarnwell-merge" "$prog/tarnwell-admin" "$prog/libz7netsdk.so"; do
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
# A station folder as the package makes it (setgid, the group may write; root passes anyway).
station=$tmp/station
mkdir -m 2770 "$station"
run_launcher() { # run_launcher HOME [VAR=value...] [-- launcher arguments]: its exit code
  local home=$1; shift
  local vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ "${1:-}" = -- ] && shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_DATA_HOME -u XDG_CONFIG_HOME \
      -u TARNWELL_LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG -u LANGUAGE \
      HOME="$home" TARNWELL_STATION_DIR="$station" "${vars[@]}" "$root/usr/bin/tarnwell" "$@" >"$tmp/launch.log" 2>&1
}
launch() { # launch HOME [VAR=value...] [-- launcher arguments]
  run_launcher "$@" || true
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
[ "$(readlink -f "$station/Resources")" = "$(readlink -f "$prog/Resources")" ] ||
  fail "the station folder's Resources does not lead to the installed folder"
[ ! -e "$h/.local/share/tarnwell/Resources" ] || fail "the operator's folder got a Resources link"
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

# A station folder the launcher may not use, or one that is not there: said, nothing started.
rm -rf "$tmp/none"
if run_launcher "$tmp/h0" TARNWELL_STATION_DIR="$tmp/none"; then fail "the launcher started without a station folder"; fi
grep -q "station folder $tmp/none is missing" "$tmp/launch.log" || { cat "$tmp/launch.log"; fail "no word of the missing station folder"; }
[ ! -e "$tmp/none" ] && [ ! -e "$tmp/h0/.local/share/tarnwell/mydatabase.db" ] || fail "a pool was made without a station folder"

# --- the program through the unpacked launcher, in a real X server -----------------------------
TARNWELL_STATION_DIR=$station "$here/scripts/xvfb-smoke.sh" --launcher "$root/usr/bin/tarnwell" "$build" ||
  fail "the X check through the launcher failed"
find "$prog" -printf '%p %T@ %m\n' | sort >"$tmp/program-after"
cmp -s "$tmp/program-before" "$tmp/program-after" || fail "running the program changed its installed folder"

# --- what an earlier package left in an operator's folder --------------------------------------
# Its settings (a line's server, say) with none in the station folder: without them the
# station would start on a pool of its own, so the launcher stops and says how to move them.
h=$tmp/h-settings
mkdir -p "$h/.local/share/tarnwell"
printf '[store]\ndriver=postgresql\nhost=127.0.0.1\n' >"$h/.local/share/tarnwell/tarnwell.ini"
rm -f "$station/mydatabase.db"
if run_launcher "$h" LANG=C.UTF-8; then fail "the launcher started with the settings left in the operator's folder"; fi
grep -q "install -m 660 $h/.local/share/tarnwell/tarnwell.ini $station/" "$tmp/launch.log" ||
  { cat "$tmp/launch.log"; fail "the launcher did not say how to move the old settings"; }
[ ! -e "$station/mydatabase.db" ] || fail "a pool was made in spite of the old settings"
# Its pool: left as it is; the launcher shows, at every start, the command that brings it
# into the station's pool, and that command does.
h=$tmp/h-pool
old=$h/.local/share/tarnwell/mydatabase.db
mkdir -p "$(dirname "$old")"
TARNWELL_STATION_DIR=$tmp/old-station
mkdir -m 2770 "$TARNWELL_STATION_DIR"
TARNWELL_STATION_DIR=$TARNWELL_STATION_DIR "$here/scripts/xvfb-smoke.sh" --launcher "$root/usr/bin/tarnwell" "$build" >/dev/null ||
  fail "the X check that makes an earlier pool failed"
cp -p "$TARNWELL_STATION_DIR/mydatabase.db" "$old"
unset TARNWELL_STATION_DIR
chmod 0600 "$old"
stat -c '%Y %s %a' "$old" >"$tmp/old-before"
sha256sum "$old" >>"$tmp/old-before"
for start in 1 2; do
  launch "$h" LANG=C.UTF-8
  grep -q "an earlier version kept a pool of your own in $old" "$tmp/launch.log" ||
    { cat "$tmp/launch.log"; fail "start $start did not mention the earlier pool"; }
done
merge=$(sed -n 's/^  \(cd .*tarnwell-merge .*\)$/\1/p' "$tmp/launch.log")
[ -n "$merge" ] || { cat "$tmp/launch.log"; fail "the launcher showed no tarnwell-merge command"; }
{ stat -c '%Y %s %a' "$old"; sha256sum "$old"; } | cmp -s - "$tmp/old-before" || fail "the launcher changed the earlier pool"
(cd / && HOME=$h sh -c "$merge") >"$tmp/merge.log" 2>&1 || { cat "$tmp/merge.log"; fail "the launcher's merge command failed: $merge"; }
[ "$(sqlite3 "$station/mydatabase.db" "SELECT GROUP_CONCAT(LogType, ' ') FROM (SELECT LogType FROM Logs ORDER BY LogID)")" = "Login Logout" ] ||
  fail "the merge did not bring the earlier pool's log rows into the station's pool"
[ "$(stat -c %a "$station/mydatabase.db")" = 660 ] || fail "the pool the merge made in the station folder is not 0660"

# --- the folder install (README "Installing") still lays out a runnable folder ------------------
cmake --install "$build" --prefix "$tmp/folder" >/dev/null
for f in tarnwell tarnwell-devicesim tarnwell-merge tarnwell-admin libz7netsdk.so Resources/App.ico Resources/loading.gif Resources/label-template.txt \
         share/applications/tarnwell.desktop; do
  [ -e "$tmp/folder/$f" ] || fail "cmake --install left out $f"
done
[ -d "$tmp/folder/language" ] || fail "cmake --install left out language/"
[ ! -e "$tmp/folder/usr" ] && [ ! -e "$tmp/folder/bin" ] || fail "cmake --install put the package's launcher in the folder"
grep -qx "Exec=$tmp/folder/tarnwell" "$tmp/folder/share/applications/tarnwell.desktop" ||
  fail "the folder's desktop entry does not start the folder's program"

# --- installed, as a line PC has it: one pool for the station's operators ----------------------
installed_check() {
  local pool=/var/lib/tarnwell/mydatabase.db a=tarnwell-check-a b=tarnwell-check-b out=tarnwell-check-out
  if ! dpkg-query -W -f '${Status}' tarnwell 2>/dev/null | grep -q 'ok installed'; then
    [ ! -e /var/lib/tarnwell ] || fail "/var/lib/tarnwell is there without the package: check on a machine without it"
    cleanups+=("dpkg --purge tarnwell >/dev/null 2>&1" "rm -rf /var/lib/tarnwell" "delgroup --system tarnwell >/dev/null 2>&1")
  fi
  [ ! -e "$pool" ] || fail "$pool is there already (a station's pool): check on a machine without one"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "the package does not install"; }
  local gid
  gid=$(getent group tarnwell | cut -d: -f3) || fail "the package made no group tarnwell"
  [ "$gid" -lt 1000 ] || fail "the group tarnwell is not a system group (gid $gid)"
  state() { stat -c '%a %U %G' /var/lib/tarnwell; }
  [ "$(state)" = "2770 root tarnwell" ] || fail "/var/lib/tarnwell is '$(state)', expected '2770 root tarnwell'"
  [ "$(readlink /var/lib/tarnwell/Resources)" = /opt/tarnwell/Resources ] || fail "the station folder's Resources is not the installed one"
  /var/lib/dpkg/info/tarnwell.postinst configure >/dev/null || fail "postinst fails when run again"
  [ "$(state)" = "2770 root tarnwell" ] || fail "postinst run again left /var/lib/tarnwell as '$(state)'"

  local u
  for u in $a $b $out; do
    ! id "$u" >/dev/null 2>&1 || userdel -r "$u" >/dev/null 2>&1 || true
    cleanups+=("userdel -r $u >/dev/null 2>&1")
  done
  useradd -m -s /bin/sh -G tarnwell "$a"
  useradd -m -s /bin/sh -G tarnwell "$b"
  useradd -m -s /bin/sh "$out"

  # The first operator's start makes the pool; the second's finds it and writes to it.
  "$here/scripts/xvfb-smoke.sh" --launcher /usr/bin/tarnwell --as "$a" "$build" || fail "the X check as $a failed"
  [ "$(stat -c '%a %U %G' "$pool")" = "660 $a tarnwell" ] || fail "$pool is '$(stat -c '%a %U %G' "$pool")' after $a's start"
  local inode
  inode=$(stat -c %i "$pool")
  logs_as() { runuser -u "$1" -- sqlite3 "$pool" "SELECT GROUP_CONCAT(LogType, ' ') FROM (SELECT LogType FROM Logs ORDER BY LogID)"; }
  [ "$(logs_as "$b")" = "Login Logout" ] || fail "$b reads '$(logs_as "$b")' in the pool, expected $a's 'Login Logout'"
  "$here/scripts/xvfb-smoke.sh" --launcher /usr/bin/tarnwell --as "$b" "$build" || fail "the X check as $b failed"
  [ "$(stat -c '%i %a %U %G' "$pool")" = "$inode 660 $a tarnwell" ] || fail "$b's start did not use $a's pool"
  [ "$(logs_as "$a")" = "Login Logout Login Logout" ] || fail "$a reads '$(logs_as "$a")', expected both starts' rows"

  # A folder its group may not write (an administrator's chmod): said as that, not as "join".
  chmod 2750 /var/lib/tarnwell
  if (cd / && runuser -u "$a" -- env -i PATH=/usr/bin:/bin HOME="$(getent passwd "$a" | cut -d: -f6)" /usr/bin/tarnwell) \
       >"$tmp/a.log" 2>&1; then
    fail "the launcher started in a folder its group may not write"
  fi
  grep -q "does not let its group tarnwell in (mode 2750" "$tmp/a.log" || { cat "$tmp/a.log"; fail "no word of the folder's mode"; }
  chmod 2770 /var/lib/tarnwell

  # A user outside the group: told how to join, in a box too; no pool anywhere.
  local outhome
  outhome=$(getent passwd "$out" | cut -d: -f6)
  as_out() { (cd / && runuser -u "$out" -- env -i PATH=/usr/bin:/bin HOME="$outhome" LANG=C.UTF-8 "$@"); }
  if as_out /usr/bin/tarnwell >"$tmp/out.log" 2>&1; then fail "the launcher started for $out, who is not in the group"; fi
  grep -q "sudo adduser $out tarnwell" "$tmp/out.log" || { cat "$tmp/out.log"; fail "$out was not told how to join the group"; }
  [ ! -e "$outhome/.local/share/tarnwell/mydatabase.db" ] || fail "$out got a pool of their own"
  # shellcheck disable=SC2016
  xvfb-run -a -s "-screen 0 1280x800x24 -ac" bash -c '
    runuser -u "$1" -- env -i PATH=/usr/bin:/bin HOME="$2" LANG=C.UTF-8 DISPLAY="$DISPLAY" /usr/bin/tarnwell >/dev/null 2>&1 &
    app=$!
    box=$(timeout 20 xdotool search --sync --onlyvisible --name "^Error$" | head -1)
    [ -n "$box" ] || { kill $app; exit 3; }
    import -window "$box" "$3" || true
    xdotool windowfocus --sync "$box" || true
    xdotool key Return
    if wait $app; then exit 4; fi' _ "$out" "$outhome" "$build/xvfb-package-outsider.png" ||
    fail "$out saw no box saying why the program closes (code $?)"
  # Added to the group while logged in: the login keeps its groups; told to log in again.
  usermod -aG tarnwell "$out"
  if (cd / && setpriv --reuid="$out" --regid="$(id -g "$out")" --clear-groups \
        env -i PATH=/usr/bin:/bin HOME="$outhome" LANG=C.UTF-8 /usr/bin/tarnwell) >"$tmp/out.log" 2>&1; then
    fail "the launcher started for $out without the group in the login"
  fi
  grep -q "log out and log in again" "$tmp/out.log" || { cat "$tmp/out.log"; fail "$out was not told to log in again"; }

  # Removing the package leaves the station's pool and its group.
  DEBIAN_FRONTEND=noninteractive apt-get remove -y tarnwell >"$tmp/remove.log" 2>&1 || { cat "$tmp/remove.log"; fail "apt-get remove failed"; }
  [ -f "$pool" ] && getent group tarnwell >/dev/null || fail "removing the package removed the pool or the group"
  echo "check-package: installed: $a and $b burn from one pool ($pool 660 $a:tarnwell), $out is told how to join"
}
if [ "$(id -u)" = 0 ]; then
  installed_check
else
  echo "check-package: not root: the installed package's checks (two operators, one pool) are left out"
fi

echo "check-package: $(basename "$deb"): $(stat -c %s "$deb") bytes, installs $(field Installed-Size) KiB"
echo "check-package: Depends: $depends"
echo "check-package: contents, dependencies, launcher, X check and folder install as expected"
