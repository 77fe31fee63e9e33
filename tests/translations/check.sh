#!/bin/sh
# check.sh <lupdate> <source dir>: fails when a text lacks its translation.
set -eu
lupdate=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
for ts in "$src"/language/*.ts; do
  cp "$ts" "$tmp/check.ts"
  (cd "$src" && "$lupdate" -locations none -no-obsolete -I . shell widgets store serial device customers log report formats jobs labels -ts "$tmp/check.ts") >"$tmp/out" 2>&1
  if ! grep -q "(0 new and" "$tmp/out"; then
    echo "$(basename "$ts"): texts without a translation:"; cat "$tmp/out"; status=1
  fi
  if grep -q 'type="unfinished"\|type="vanished"\|type="obsolete"' "$tmp/check.ts"; then
    echo "$(basename "$ts"): unfinished or stale entries:"
    grep -B2 'type="unfinished"\|type="vanished"\|type="obsolete"' "$tmp/check.ts" | grep '<source>' || true
    status=1
  fi
  if ! cmp -s "$ts" "$tmp/check.ts"; then
    echo "$(basename "$ts") is not what lupdate makes of the sources: run the update_translations target"
    diff "$ts" "$tmp/check.ts" | head -20
    status=1
  fi
done
[ $status -eq 0 ] && echo "translations complete"
exit $status
