#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build on its seed corpus for SECONDS each (default 20).
# Fails on a crash, a sanitizer report, a leak, a hang (an input that runs longer than
# VDS_FUZZ_TIMEOUT seconds) or an allocation out of proportion to the input.
# Usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]
# New inputs found stay in build/fuzz/corpus/<target>/; crashes go to build/fuzz/findings/.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
# VDS_FUZZ_NO_BUILD=1: the fuzz build is already there (for runs side by side).
[ -n "${VDS_FUZZ_NO_BUILD:-}" ] || bash scripts/build.sh fuzz || exit 1
root=$PWD
bin=$root/build/fuzz/tests/fuzz
# The seeds are written with the system's own writers; the committed copies are the same.
# Absolute paths: most targets make a scratch directory of their own current.
seeds=$root/tests/fuzz/corpus
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p build/fuzz/findings
# VDS_FUZZ_JOBS targets at a time (default 2, one per core); results are printed in order.
jobs=${VDS_FUZZ_JOBS:-2}
fuzz_one() {  # target: runs it, leaves its verdict in build/fuzz/<name>.result
  local t=$1 name=${1%_fuzz} rc runs cov
  local work=$root/build/fuzz/corpus/$name log=$root/build/fuzz/$name.log
  mkdir -p "$work"
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin/$t" -max_total_time="$seconds" -timeout="${VDS_FUZZ_TIMEOUT:-10}" -rss_limit_mb=1024 \
      -malloc_limit_mb=256 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$root/build/fuzz/findings/$name-" "$work" "$seeds/$name" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ "$rc" -ne 0 ]; then
    { echo "FAIL: $name (exit $rc); see $log"
      grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|.*Test unit written)' "$log" | head -5; } >"$root/build/fuzz/$name.result"
  else
    echo "ok: $name: ${runs:-?} runs, ${cov:-cov: ?}" >"$root/build/fuzz/$name.result"
  fi
}
echo "== fuzz ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
for t in "${targets[@]}"; do
  rm -f "build/fuzz/${t%_fuzz}.result"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  fuzz_one "$t" &
done
wait
failed=0
for t in "${targets[@]}"; do
  result=build/fuzz/${t%_fuzz}.result
  if [ -f "$result" ]; then cat "$result"; else echo "FAIL: ${t%_fuzz} left no result"; fi
  grep -q '^ok: ' "$result" 2>/dev/null || failed=$((failed + 1))
done
echo "fuzz targets: $(( ${#targets[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
