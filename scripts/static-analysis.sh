#!/usr/bin/env bash
# Static analysis of the product, the simulator and the tests: clang-tidy with the checks in
# .clang-tidy, and cppcheck with the settings below. Any finding fails, unless it is suppressed
# where it stands (NOLINT(check) or cppcheck-suppress, each with its reason beside it) or listed
# with its reason in .cppcheck-suppressions.
#   scripts/static-analysis.sh [clang-tidy|cppcheck]     (both by default)
# clang-tidy reads the compilation database of BUILD_DIR (default build), so build first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}
what=${1:-all}
status=0

# Our translation units: every source under these directories that the build compiles.
sources_regex="^$root/(core|oswrappers|subsystems|tools|sim|tests)/"

run_clang_tidy() {
  local tidy
  tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
  [ -n "$tidy" ] || { echo "clang-tidy is missing: install the Debian package clang-tidy-14" >&2; return 1; }
  [ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: build first" >&2; return 1; }
  local files
  mapfile -t files < <(python3 -c '
import json, re, sys
seen = set()
for entry in json.load(open(sys.argv[1])):
    f = entry["file"]
    if re.match(sys.argv[2], f) and f not in seen:
        seen.add(f)
        print(f)
' "$build/compile_commands.json" "$sources_regex")
  # None found (python3 missing, or the database names the tree by another path) checks nothing.
  [ ${#files[@]} -gt 0 ] || { echo "clang-tidy: no source of ours in $build/compile_commands.json" >&2; return 1; }
  echo "clang-tidy: ${#files[@]} files"
  local out errors tidy_status=0
  out=$(mktemp)
  errors=$(mktemp)
  # Each file once, in parallel; a file compiled into two targets is checked with the first.
  # Findings alone leave clang-tidy's status at 0; a failure (a file it cannot compile, a crash)
  # does not, and fails the lane even when it printed no finding.
  printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 1 "$tidy" -p "$build" --quiet >"$out" 2>"$errors" || tidy_status=$?
  if [ "$tidy_status" -ne 0 ] && ! grep -q 'warning:\|error:' "$out"; then
    cat "$errors" >&2
    echo "clang-tidy: failed (status $tidy_status) without a finding" >&2
    rm -f "$out" "$errors"
    return 1
  fi
  rm -f "$errors"
  if grep -q 'warning:\|error:' "$out"; then
    grep -A3 'warning:\|error:' "$out"
    echo "clang-tidy: $(grep -c 'warning:\|error:' "$out") findings" >&2
    rm -f "$out"
    return 1
  fi
  rm -f "$out"
  echo "clang-tidy: no findings"
}

run_cppcheck() {
  command -v cppcheck >/dev/null || { echo "cppcheck is missing: install the Debian package cppcheck" >&2; return 1; }
  local includes=()
  for dir in oswrappers/common oswrappers/linux/user/common subsystems/hal/api core/utilities/dataaccess \
             core/utilities/containers core/scsi/common core/scsi/spc tools/scsiinitiator \
             tools/scsiinitiator/linux tools/fgetshistory tools/fgetshistory/linux tools/bufterm tools/fwpush sim \
             tests/support tests/e2e/support tests/sim tests/unit tests/fuzz; do
    [ -d "$dir" ] && includes+=(-I "$dir")
  done
  local dirs=()
  for dir in core oswrappers subsystems tools sim tests; do
    [ -d "$dir" ] && dirs+=("$dir")
  done
  echo "cppcheck: ${dirs[*]}"
  cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --library=googletest \
    --enable=warning,performance,portability --inline-suppr --suppressions-list=.cppcheck-suppressions \
    --template='{file}:{line}: {severity} {id}: {message}' -j "$jobs" "${includes[@]}" "${dirs[@]}" \
    && echo "cppcheck: no findings"
}

if [ "$what" = all ] || [ "$what" = clang-tidy ]; then
  run_clang_tidy || status=1
fi
if [ "$what" = all ] || [ "$what" = cppcheck ]; then
  run_cppcheck || status=1
fi
exit $status
