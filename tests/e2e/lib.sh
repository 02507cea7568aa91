# Shared helpers of the end-to-end scripts. Sourced; expects VDS_PLATFORM (windows|linux),
# VDS_STAGE (the staged installation), VDS_EXIT_PROBE (Windows) from CTest.
set -euo pipefail

failures=0
checks=0
E2E_TMP=$(mktemp -d "/tmp/velkaris e2e.XXXXXX")   # a blank in the path on purpose

e2e_cleanup() {
  if [ "${VDS_PLATFORM}" = windows ] && [ -n "${WINEPREFIX:-}" ]; then
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
    WINEPREFIX="$WINEPREFIX" wineserver -w 2>/dev/null || true
  fi
  rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

ok() { checks=$((checks + 1)); echo "ok: $*"; }
bad() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }

expect_eq() {  # what expected actual
  if [ "$2" = "$3" ]; then ok "$1"; else bad "$1: expected '$2', got '$3'"; fi
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}

# A private copy of the installed layout (and, on Windows, of the prepared Wine prefix).
e2e_install_copy() {
  INSTALL="$E2E_TMP/install"
  mkdir -p "$INSTALL"
  cp -a "$VDS_STAGE/." "$INSTALL/"
  rm -f "$INSTALL/log/"*
  if [ "$VDS_PLATFORM" = windows ]; then
    EXE="$INSTALL/bin/VelkarisDefragService.exe"
    local template="${VELKARIS_WINEPREFIX:-/tmp/velkaris-wine}"
    export WINEPREFIX="$E2E_TMP/prefix"
    cp -a "$template" "$WINEPREFIX"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  else
    EXE="$INSTALL/bin/velkaris-defrag-service"
  fi
  LOG="$INSTALL/log/log.txt"
}

# Holds a Wine session open: services die with the last ordinary Wine process of a prefix.
e2e_hold_wine_session() {
  wine "$VDS_EXIT_PROBE" --sleep 1200 >/dev/null 2>&1 &
  sleep 1
}

# Runs the service executable; sets RC (signed 32-bit exit code) and OUT (bytes written to
# standard output and standard error together).
run_exe() {
  if [ "$VDS_PLATFORM" = windows ]; then
    local winexe="Z:${EXE//\//\\}"
    local line
    line=$(wine "$VDS_EXIT_PROBE" "$winexe" "$@" 2>/dev/null | tr -d '\r' | tail -1)
    RC=$(echo "$line" | sed -n 's/^exit=\([-0-9]*\) .*/\1/p')
    local o e
    o=$(echo "$line" | sed -n 's/.* stdout=\([0-9]*\) .*/\1/p')
    e=$(echo "$line" | sed -n 's/.* stderr=\([0-9]*\)$/\1/p')
    OUT=$(( ${o:-999} + ${e:-999} ))
  else
    set +e
    "$EXE" "$@" >"$E2E_TMP/out" 2>&1
    RC=$?
    set -e
    [ "$RC" -eq 255 ] && RC=-1
    OUT=$(stat -c %s "$E2E_TMP/out")
  fi
}

# expect_run DESCRIPTION EXPECTED_CODE ARGS...: the code, and nothing printed.
expect_run() {
  local what=$1 expected=$2
  shift 2
  run_exe "$@"
  expect_eq "$what: exit code" "$expected" "$RC"
  expect_eq "$what: prints nothing" 0 "$OUT"
}

# wait_for_log TEXT [SECONDS]: true once the log holds the text.
wait_for_log() {
  local text=$1 limit=${2:-15} i
  for ((i = 0; i < limit * 4; i++)); do
    if [ -f "$LOG" ] && grep -qF -- "$text" "$LOG"; then return 0; fi
    sleep 0.25
  done
  return 1
}
