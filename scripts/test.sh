#!/usr/bin/env bash
# The test command: builds both builds and the sanitizer builds, and runs every test, natively
# and under Wine (in a fresh prefix made here).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh || exit 1
bash scripts/build.sh linux windows asan tsan || exit 1

export VELKARIS_WINEPREFIX="$root/build/wine/prefix"
bash scripts/wine-prefix.sh "$VELKARIS_WINEPREFIX" || { echo "could not prepare a Wine prefix"; exit 1; }

passed=0
failed=0
suite() {  # name, build dir, ctest arguments...
  local name=$1 dir=$2
  shift 2
  echo "== tests: $name"
  local started=$SECONDS
  if (cd "$dir" && ctest --output-on-failure "$@"); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  echo "   $name: $((SECONDS - started)) s"
}
# Native test programs run in a network namespace of their own when the machine allows it: the
# Linux pause pipe is an abstract socket, so a service or demo running beside them never meets them.
isolate=""
if unshare -n true 2>/dev/null; then isolate="unshare -n"; fi
native_suite() {  # name, build dir, ctest arguments...
  local name=$1 dir=$2
  shift 2
  echo "== tests: $name"
  local started=$SECONDS
  if (cd "$dir" && $isolate ctest --output-on-failure "$@"); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  echo "   $name: $((SECONDS - started)) s"
}
echo "== layers"
if bash scripts/check_layers.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
native_suite linux build/linux -j2
# Wine tests that need a desktop get a virtual one.
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
xvfb_pid=""
if [ -n "$display" ] && command -v Xvfb >/dev/null; then
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  sleep 1
fi
DISPLAY="$display" suite windows-under-wine build/windows
[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
# The crash-report and command-line scripts check the plain builds; sanitizers watch the units.
native_suite asan+ubsan build/asan -E '^e2e_' -j2
# The aged walk is single-threaded: the other builds cover it, and under TSan it takes minutes.
GTEST_FILTER='-AgedVolumeWalk.*' native_suite tsan build/tsan -E '^e2e_' -j2
WINEPREFIX="$VELKARIS_WINEPREFIX" wineserver -k 2>/dev/null || true
# Every reader of outside bytes, briefly under libFuzzer.
echo "== tests: fuzz"
if bash scripts/fuzz.sh 20; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

echo "test suites: $passed passed, $failed failed ($((SECONDS / 60)) min $((SECONDS % 60)) s in all)"
[ "$failed" -eq 0 ]
