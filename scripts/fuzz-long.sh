#!/usr/bin/env bash
# Long fuzz runs: each target of the fuzz build for SECONDS (default 600), JOBS at a time
# (default 1), starting from its checked-in seed corpus. New inputs go to a scratch corpus, crash
# reproducers and the runs' logs to OUT (default build-fuzz/long); the seed corpus is not touched.
# Prints one line per target: executions, executions per second, new coverage and findings.
#   scripts/fuzz-long.sh [SECONDS] [JOBS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-1}
shift $(( $# < 2 ? $# : 2 ))
build=${FUZZ_BUILD_DIR:-build-fuzz}
out=${OUT:-$build/long}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ls tests/fuzz/corpus)
fi
for t in "${targets[@]}"; do
  [ -x "$build/$t" ] || { echo "fuzz-long: $build/$t is missing: make build-fuzz first" >&2; exit 1; }
done
mkdir -p "$out"

run_one() {
  local t=$1
  mkdir -p "$out/$t.corpus" "$out/$t.artifacts"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -close_fd_mask=3 -artifact_prefix="$out/$t.artifacts/" \
    "$out/$t.corpus" "tests/fuzz/corpus/$t" >"$out/$t.log" 2>&1 || true
  local execs rate cov found
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log")
  cov=$( (grep -o 'cov: [0-9]*' "$out/$t.log" || true) | tail -1 | cut -d' ' -f2)
  found=$(find "$out/$t.artifacts" -type f | wc -l)
  printf '%-24s %12s execs %8s/s  cov %6s  findings %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "$found"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
