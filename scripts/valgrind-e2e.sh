#!/usr/bin/env bash
# Valgrind memcheck over the e2e lane: every fwpush and bufterm run that the lane's tests start
# runs inside memcheck (the e2e support honours SES_E2E_WRAPPER), with the simulator attached as
# usual. Any memory error, or any leaked block (definite, indirect or possible), fails.
#   scripts/valgrind-e2e.sh [ctest arguments...]
# Left out by default (VALGRIND_EXCLUDE): the fault sweep (hundreds of runs; it runs under ASan,
# UBSan and LeakSanitizer in `make asan`), the tmux test (it starts bufterm through tmux, out of
# the wrapper's reach), and the command-line tests of fwpush (dozens of runs that end in the
# parser, which its fuzz target covers under the same sanitizers). Every other e2e test runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
logs=$PWD/$build/valgrind
rm -rf "$logs"
mkdir -p "$logs"
command -v valgrind >/dev/null || { echo "valgrind is missing: install the Debian package valgrind" >&2; exit 1; }
export SES_E2E_WRAPPER="$(command -v valgrind) -q --tool=memcheck --error-exitcode=99 --leak-check=full
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible
  --log-file=$logs/%p.log"
status=0
ctest --test-dir "$build" -L e2e -E "${VALGRIND_EXCLUDE:-FaultSweep|Tmux|FwpushCommandLine|FwpushParameters}" --output-on-failure \
  -j "${JOBS:-2}" "$@" || status=$?
runs=$(find "$logs" -name '*.log' | wc -l)
# No log at all: no program ran under memcheck (no e2e test selected, or the wrapper unheeded).
if [ "$runs" -eq 0 ]; then
  echo "valgrind: no program ran under memcheck" >&2
  exit 1
fi
reports=$(find "$logs" -name '*.log' -size +0 | sort)
if [ -n "$reports" ]; then
  for report in $reports; do
    echo "=== $report"
    cat "$report"
  done
  echo "valgrind: memcheck reported on $(echo "$reports" | wc -l) of $runs program runs" >&2
  exit 1
fi
echo "valgrind: $runs program runs under memcheck, no errors, no leaks"
exit $status
