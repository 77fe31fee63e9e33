#!/usr/bin/env bash
# Measures how many small hand-made faults the test suites catch.
#
#   scripts/fault-inject.sh [--only N] [--check] [--ref REV] [--no-baseline]
#
# Each line of scripts/faults.txt names a file, a text in it, its replacement and the
# suites to run. One fault at a time is applied to a scratch worktree of this repository
# (<this folder>-faults beside it, or $TARNWELL_FAULT_TREE), built incrementally in its own build
# folder (-j2, under nice -n 19, or $TARNWELL_FAULT_NICE) and tested; then the tree is reset with
# `git checkout -- .`. The working tree the script is started from is never touched, so a
# run that is killed leaves no fault behind anywhere that matters: the scratch tree is
# reset again at the next start.
#
# The faults are applied to the committed revision REV (default HEAD), not to
# uncommitted changes. Before the first fault the untouched revision is built and every
# suite the list names must pass (skip with --no-baseline).
#
# Per fault: "caught" (a listed suite failed), "missed" (all passed), "stale" (its text
# is no longer in the file, or the file is gone), "ambiguous" (the text occurs more than
# once), "broken" (the fault does not build). Only caught and missed count in the ratio.
#   --only N    run fault N alone (numbered by position among the list's fault lines)
#   --check     only check that every fault applies; no build, no tests
# The whole script is one compound command: bash reads it completely before running it, so
# the file may be edited (or switched by git) while a long run goes on.
{
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
list=${TARNWELL_FAULTS:-$here/scripts/faults.txt}
tree=${TARNWELL_FAULT_TREE:-$here-faults}
ref=HEAD
only=""
check=0
baseline=1
jobs=2
# Niceness of builds and tests: 19 keeps a run out of the way; 0 makes it the load of a
# loaded suite run (scripts/suite-loop.sh) beside it.
niceness=${TARNWELL_FAULT_NICE:-19}

die() { echo "fault-inject: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=${2:-}; shift 2 || die "--only needs a number" ;;
    --check) check=1; shift ;;
    --ref) ref=${2:-}; shift 2 || die "--ref needs a revision" ;;
    --no-baseline) baseline=0; shift ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
  esac
done
[ -z "$only" ] || [[ "$only" =~ ^[0-9]+$ ]] || die "--only needs a number"
[ -f "$list" ] || die "no fault list at $list"
command -v perl >/dev/null || die "perl is needed to apply the faults"

# The list: one fault per line, five fields separated by " @@ ".
faults=()
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in ''|'#'*) continue ;; esac
  faults+=("$line")
done < "$list"
[ ${#faults[@]} -gt 0 ] || die "$list holds no faults"
[ -z "$only" ] || { [ "$only" -ge 1 ] && [ "$only" -le ${#faults[@]} ]; } \
  || die "--only $only: the list has faults 1 to ${#faults[@]}"

field() { # field <line> <index 1..5>
  awk -v n="$2" 'BEGIN { FS = " @@ " } { print $n }' <<<"$1"
}

commit=$(git -C "$here" rev-parse --verify "$ref^{commit}") || die "no revision $ref"

# --- the scratch worktree ---------------------------------------------------------------
parent=$(cd "$(dirname "$tree")" 2>/dev/null && pwd) || die "no folder $(dirname "$tree")"
tree=$parent/$(basename "$tree")
[ "$tree" != "$here" ] || die "the scratch tree must not be the tree the script runs from"
exec 9>"$tree.lock"
flock -n 9 || die "another fault run holds $tree.lock"

if [ -e "$tree" ]; then
  [ "$(git -C "$tree" rev-parse --path-format=absolute --git-common-dir 2>/dev/null)" \
    = "$(git -C "$here" rev-parse --path-format=absolute --git-common-dir)" ] \
    || die "$tree exists and is not a worktree of this repository"
  git -C "$tree" checkout -q -- . || die "cannot reset $tree"
  git -C "$tree" checkout -q --detach "$commit" || die "cannot check out $commit in $tree"
else
  git -C "$here" worktree add -q --detach "$tree" "$commit" || die "cannot add the worktree $tree"
fi
reset_tree() { git -C "$tree" checkout -q -- . 2>/dev/null || true; }
trap reset_tree EXIT
trap 'reset_tree; exit 130' INT TERM

# Applies fault line $1 in the scratch tree. Prints applied / stale / ambiguous.
apply_fault() {
  local file original replacement
  file=$(field "$1" 1); original=$(field "$1" 2); replacement=$(field "$1" 3)
  if [ -z "$file" ] || [ -z "$original" ] || [ ! -f "$tree/$file" ]; then echo stale; return; fi
  ORIGINAL=$original REPLACEMENT=$replacement perl -0777 -e '
    my $text = <STDIN>; my ($from, $to) = ($ENV{ORIGINAL}, $ENV{REPLACEMENT});
    my ($count, $at) = (0, -1);
    for (my $i = index($text, $from); $i >= 0; $i = index($text, $from, $i + 1)) { $count++; $at = $i if $at < 0; }
    substr($text, $at, length($from)) = $to if $count == 1;
    print $text;
    print STDERR $count == 0 ? "stale\n" : $count > 1 ? "ambiguous\n" : "applied\n";
  ' < "$tree/$file" > "$tree/$file.fault" 2> "$tree/$file.fault-status"
  local status; status=$(cat "$tree/$file.fault-status"); rm -f "$tree/$file.fault-status"
  if [ "$status" = applied ]; then
    # Keep the file's mode; only its bytes change.
    cat "$tree/$file.fault" > "$tree/$file"
  fi
  rm -f "$tree/$file.fault"
  echo "$status"
}

if [ $check -eq 1 ]; then
  bad=0
  for i in "${!faults[@]}"; do
    n=$((i + 1))
    [ -z "$only" ] || [ "$only" -eq $n ] || continue
    status=$(apply_fault "${faults[$i]}")
    reset_tree
    [ "$status" = applied ] || { bad=$((bad + 1)); printf '#%-3s %-9s %s: %s\n' $n "$status" "$(field "${faults[$i]}" 1)" "$(field "${faults[$i]}" 5)"; }
  done
  echo "${#faults[@]} faults, $bad that do not apply"
  exit 0
fi

# --- build and test ---------------------------------------------------------------------
build=$tree/build-faults
logs=$build/fault-logs
mkdir -p "$logs"
if [ ! -f "$build/build.ninja" ]; then
  nice -n "$niceness" cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_WERROR=OFF >"$logs/configure.log" 2>&1 \
    || die "configure failed, see $logs/configure.log"
fi
# build_tree <log> [ctest regex]: with a regex, only the test programs it names (and what
# they depend on, the simulator included); without, everything.
build_tree() {
  local targets=()
  if [ -n "${2:-}" ]; then
    # A suite run on both engines is one program: tst_x_pg is built as tst_x.
    mapfile -t targets < <(cd "$build" && ctest -N -R "$2" | sed -n 's/^ *Test *#[0-9]*: \(tst_[A-Za-z0-9_]*\)$/\1/p' |
                             sed 's/_pg$//' | sort -u)
    [ ${#targets[@]} -gt 0 ] || targets=(all)
  fi
  nice -n "$niceness" cmake --build "$build" -j"$jobs" ${targets[@]:+--target "${targets[@]}"} >"$1" 2>&1
}
# run_suites <regex> <log>: 0 when every matching test passed, 1 when one failed, 2 when none matched.
run_suites() {
  local found
  found=$(cd "$build" && ctest -N -R "$1" | sed -n 's/^Total Tests: //p')
  [ "${found:-0}" -gt 0 ] || return 2
  (cd "$build" && timeout 1800 nice -n "$niceness" ctest -R "$1" -j"$jobs" --output-on-failure) >"$2" 2>&1
  [ $? -eq 0 ] && return 0 || return 1
}
failed_suites() {
  sed -n '/The following tests FAILED/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$1" | sort -u | paste -sd, -
}

echo "fault run of $(git -C "$here" log -1 --format='%h %s' "$commit" | cut -c1-70)"
echo "scratch tree $tree, build $build, logs $logs"

if [ $baseline -eq 1 ]; then
  regexes=()
  for i in "${!faults[@]}"; do
    [ -z "$only" ] || [ "$only" -eq $((i + 1)) ] || continue
    regexes+=("$(field "${faults[$i]}" 4)")
  done
  # One alternation of test names: CTest's regular expressions allow only a few groups.
  names=$(for r in "${regexes[@]}"; do
            (cd "$build" && ctest -N -R "$r") | sed -n 's/^ *Test *#[0-9]*: //p'
          done | sort -u | paste -sd'|' -)
  union="^(${names:-no test})\$"
  echo "baseline: building the untouched tree and running the listed suites ..."
  build_tree "$logs/baseline-build.log" || die "the untouched tree does not build, see $logs/baseline-build.log"
  run_suites "$union" "$logs/baseline-test.log"
  case $? in
    0) echo "baseline: every listed suite passes" ;;
    2) die "baseline: the list's regexes match no test" ;;
    *) die "baseline: $(failed_suites "$logs/baseline-test.log") fail without a fault, see $logs/baseline-test.log" ;;
  esac
fi

caught=0; missed=0; stale=0; ambiguous=0; broken=0
missed_list=()
start=$SECONDS
for i in "${!faults[@]}"; do
  n=$((i + 1))
  [ -z "$only" ] || [ "$only" -eq $n ] || continue
  line=${faults[$i]}
  file=$(field "$line" 1); regex=$(field "$line" 4); what=$(field "$line" 5)
  t0=$SECONDS
  status=$(apply_fault "$line")
  detail=""
  if [ "$status" = applied ]; then
    if ! build_tree "$logs/$n-build.log" "$regex"; then
      status=broken; detail="see $logs/$n-build.log"
    else
      run_suites "$regex" "$logs/$n-test.log"
      case $? in
        0) status=missed ;;
        1) status=caught; detail="by $(failed_suites "$logs/$n-test.log")" ;;
        *) status=broken; detail="no test matches $regex" ;;
      esac
    fi
  fi
  reset_tree
  case $status in
    caught) caught=$((caught + 1)) ;;
    missed) missed=$((missed + 1)); missed_list+=("#$n $file: $what") ;;
    stale) stale=$((stale + 1)) ;;
    ambiguous) ambiguous=$((ambiguous + 1)) ;;
    broken) broken=$((broken + 1)) ;;
  esac
  printf '#%-3s %-9s %-34s %s %s (%ds)\n' $n "$status" "$file" "$what" "$detail" $((SECONDS - t0))
done

counted=$((caught + missed))
echo
if [ $counted -gt 0 ]; then
  echo "caught $caught of $counted ($((100 * caught / counted)) %); missed $missed;" \
       "not counted: $stale stale, $ambiguous ambiguous, $broken broken; $(( (SECONDS - start) / 60 )) min"
else
  echo "no fault was run: $stale stale, $ambiguous ambiguous, $broken broken"
fi
if [ ${#missed_list[@]} -gt 0 ]; then
  echo "missed:"
  printf '  %s\n' "${missed_list[@]}"
fi
exit 0
}
