#!/usr/bin/env bash
# Runs the built program in a real X server (Xvfb) as an operator would: types the login
# with xdotool, checks the main window's size, saves a screenshot, leaves through the
# Exit menu entry and checks the database for the Login and Logout rows.
# Catches what offscreen tests cannot: a missing platform plugin, resource or font.
#   xvfb-smoke.sh <build dir>      (screenshot: <build dir>/xvfb-main-window.png)
#   xvfb-smoke.sh --launcher <launcher> [--as USER] <build dir>
#       starts the program through a package's launcher (e.g. an unpacked .deb's
#       usr/bin/tarnwell) as a new operator, HOME a fresh temporary folder (or, --as, as the
#       operating-system user USER in USER's home), and checks the station folder it runs in
#       (TARNWELL_STATION_DIR, else /var/lib/tarnwell): the pool there, shared with the
#       folder's group, with this run's Login and Logout rows after any earlier ones
#       (screenshots: <build dir>/xvfb-package-*.png)
set -euo pipefail
launcher=""
as=""
usage() { echo "usage: $0 [--launcher <launcher> [--as USER]] <build dir>"; exit 2; }
if [ "${1:-}" = --launcher ]; then
  [ $# -ge 2 ] || usage
  launcher=$(readlink -f "$2")
  shift 2
  if [ "${1:-}" = --as ]; then
    [ $# -ge 2 ] || usage
    as=$2
    shift 2
  fi
fi
build=$(cd "${1:-build}" && pwd)

if [ -z "${TARNWELL_IN_XVFB:-}" ]; then
  export TARNWELL_IN_XVFB=1
  # -ac: another user's program may use the display without root's authority file.
  exec xvfb-run -a -s "-screen 0 1280x800x24${as:+ -ac}" "$0" ${launcher:+--launcher "$launcher"} ${as:+--as "$as"} "$build"
fi

work=$(mktemp -d)
trap 'kill $app 2>/dev/null || true; rm -rf "$work"' EXIT
if [ -z "$launcher" ]; then
  shots="$build/xvfb"
  data=$work
  cp -r "$build/run/Resources" "$work/"
  mkdir "$work/language"
  cd "$work"
  "$build/run/tarnwell" >"$work/app.log" 2>&1 &
else
  shots="$build/xvfb-package${as:+-$as}"
  data=${TARNWELL_STATION_DIR:-/var/lib/tarnwell}
  # The rows of earlier runs in the station's pool.
  before=0
  [ ! -f "$data/mydatabase.db" ] || before=$(sqlite3 "$data/mydatabase.db" "SELECT COALESCE(MAX(LogID), 0) FROM Logs")
  # An operator with a plain locale: the launcher picks no translation.
  if [ -n "$as" ]; then
    home=$(getent passwd "$as" | cut -d: -f6)
    own=$home/.local/share/tarnwell
    cd /
    runuser -u "$as" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$as" LOGNAME="$as" DISPLAY="$DISPLAY" \
        LANG=C.UTF-8 ${TARNWELL_STATION_DIR:+TARNWELL_STATION_DIR="$TARNWELL_STATION_DIR"} \
        "$launcher" >"$work/app.log" 2>&1 &
  else
    mkdir "$work/home"
    own=$work/home/.local/share/tarnwell
    cd "$work/home"
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u TARNWELL_LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANGUAGE \
        HOME="$work/home" LANG=C.UTF-8 "$launcher" >"$work/app.log" 2>&1 &
  fi
fi
app=$!

fail() { echo "xvfb-smoke: $*"; cat "$work/app.log"; exit 1; }

login=$(timeout 20 xdotool search --sync --onlyvisible --name '^Login$' | head -1) || fail "no login dialog"
xdotool windowfocus --sync "$login" || true
eval "$(xdotool getwindowgeometry --shell "$login")"
xdotool mousemove $((X + 200)) $((Y + 40))
import -window "$login" "$shots-login.png" || true
xdotool type --delay 20 admin
xdotool key Tab
xdotool type --delay 20 qorvi
xdotool key Return

main=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tarnwell$' | head -1) || fail "no main window after login"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$main")"
[ "$WIDTH" = 1104 ] && [ "$HEIGHT" = 679 ] || fail "main window is ${WIDTH}x${HEIGHT}, expected 1104x679"
import -window "$main" "$shots-main-window.png" || fail "screenshot failed"

# The menu bar has no keyboard access; the rightmost entry is Exit, so click from the
# right edge of the bar leftwards until the exit question appears.
question=""
for ((dx = WIDTH - 10; dx > 0; dx -= 10)); do
  xdotool mousemove $((X + dx)) $((Y + 11)) click 1
  sleep 0.15
  question=$(xdotool search --onlyvisible --name '^question$' 2>/dev/null | head -1) && break
done
[ -n "$question" ] || fail "no exit question"
xdotool windowfocus --sync "$question" || true
xdotool key Return
for _ in $(seq 50); do kill -0 $app 2>/dev/null || break; sleep 0.2; done
kill -0 $app 2>/dev/null && fail "program still running after Exit"
wait $app || fail "program exited with an error"

rows=$(sqlite3 "$data/mydatabase.db" "SELECT LogType FROM Logs WHERE LogID > ${before:-0} ORDER BY LogID" | tr '\n' ' ')
[ "$rows" = "Login Logout " ] || fail "log rows are '$rows', expected 'Login Logout '"
if [ -n "$launcher" ]; then
  # The station folder: the group's (setgid), the pool the group's and nobody else's, the
  # installed Resources linked; the operator's own folder private, with no translation
  # for a C locale, and no pool.
  [ "$(stat -c %a "$data")" = 2770 ] || fail "$data has mode $(stat -c %a "$data"), expected 2770"
  [ "$(stat -c %a "$data/mydatabase.db")" = 660 ] ||
    fail "mydatabase.db has mode $(stat -c %a "$data/mydatabase.db"), expected 660"
  [ "$(stat -c %g "$data/mydatabase.db")" = "$(stat -c %g "$data")" ] ||
    fail "mydatabase.db belongs to the group $(stat -c %G "$data/mydatabase.db"), not the folder's $(stat -c %G "$data")"
  [ ! -e "$data/mydatabase.db.lock" ] || fail "the lock file stayed after Exit"
  [ -L "$data/Resources" ] && [ -f "$data/Resources/App.ico" ] || fail "Resources is not a link to the installed folder"
  [ "$(stat -c %a "$own")" = 700 ] || fail "$own has mode $(stat -c %a "$own"), expected 700"
  [ -z "$(ls -A "$own/language")" ] || fail "language/ holds $(ls "$own/language") for a C locale"
  [ ! -e "$own/mydatabase.db" ] || fail "the operator's own folder $own holds a pool"
  echo "xvfb-smoke: through $launcher${as:+ as $as}: the station folder $data (2770, pool 660 of its group) as expected"
fi
echo "xvfb-smoke: login, 1104x679 main window, Exit and the log rows all as expected"
echo "xvfb-smoke: screenshots in $shots-login.png and $shots-main-window.png"
