#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format (clang-format 14, as Debian 12 ships).
#   scripts/check-format.sh [file ...]        lists the files clang-format would change, with
#                                             the number of their lines it would change; exit 1 if any
#   scripts/check-format.sh --fix [file ...]  formats those files in place
# Without files: every tracked *.cpp and *.h (the build folders' generated files are not tracked).
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
if [ "${1:-}" = --fix ]; then
  fix=1
  shift
fi

formatter=""
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null; then formatter=$candidate; break; fi
done
if [ -z "$formatter" ]; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh test installs it)" >&2
  exit 2
fi
version=$("$formatter" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [ "$version" != 14 ]; then
  echo "check-format: $formatter is version ${version:-unknown}; the layout is defined for 14, other versions may differ" >&2
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi

differ=()
lines=0
for f in "${files[@]}"; do
  n=$("$formatter" --style=file "$f" | diff "$f" - | grep -c '^<' || true)
  if [ "$n" -gt 0 ]; then
    differ+=("$f")
    lines=$((lines + n))
    [ $fix -eq 1 ] || printf '%5d  %s\n' "$n" "$f"
  fi
done

if [ ${#differ[@]} -eq 0 ]; then
  echo "format: ${#files[@]} files as .clang-format says"
  exit 0
fi
if [ $fix -eq 1 ]; then
  "$formatter" --style=file -i "${differ[@]}"
  echo "format: ${#differ[@]} files formatted"
  exit 0
fi
echo "format: ${#differ[@]} of ${#files[@]} files differ ($lines lines); scripts/check-format.sh --fix formats them"
exit 1
