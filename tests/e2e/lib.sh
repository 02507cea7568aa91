# Shared helpers of the end-to-end scripts. Sourced; expects VDS_PLATFORM (windows|linux),
# VDS_STAGE (the staged installation), VDS_EXIT_PROBE (Windows) from CTest.
set -euo pipefail

failures=0 checks=0
E2E_TMP=$(mktemp -d "/tmp/velkaris e2e.XXXXXX")   # a blank in the path on purpose

e2e_cleanup() {
  [ "$VDS_PLATFORM" != windows ] || [ -z "${WINEPREFIX:-}" ] || { wineserver -k; wineserver -w; } 2>/dev/null || true
  rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

ok() { checks=$((checks + 1)); echo "ok: $*"; }
bad() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }
expect_eq() { if [ "$2" = "$3" ]; then ok "$1"; else bad "$1: expected '$2', got '$3'"; fi; }  # WHAT EXPECTED ACTUAL
finish() { echo "$((checks - failures)) passed, $failures failed"; [ "$failures" -eq 0 ]; }
# windows_only WHY: ends a script that needs Windows, with nothing to do elsewhere.
windows_only() { [ "$VDS_PLATFORM" = windows ] || { echo "$1; nothing to do"; echo "0 passed, 0 failed"; exit 0; }; }

e2e_wine_prefix() {  # a private copy of the prepared Wine prefix
  export WINEPREFIX="$E2E_TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cp -a "${VELKARIS_WINEPREFIX:-/tmp/velkaris-wine}" "$WINEPREFIX"
}

# A private copy of the installed layout (and, on Windows, of the prepared Wine prefix).
e2e_install_copy() {
  INSTALL="$E2E_TMP/install" LOG="$E2E_TMP/install/log/log.txt" EXE="$E2E_TMP/install/bin/velkaris-defrag-service"
  mkdir -p "$INSTALL" && cp -a "$VDS_STAGE/." "$INSTALL/" && rm -f "$INSTALL/log/"*
  [ "$VDS_PLATFORM" != windows ] || { EXE="$INSTALL/bin/VelkarisDefragService.exe"; e2e_wine_prefix; }
}

# Holds a Wine session open: services die with the last ordinary Wine process of a prefix.
e2e_hold_wine_session() { wine "$VDS_EXIT_PROBE" --sleep 1200 >/dev/null 2>&1 & sleep 1; }

# Runs the service executable (EXE, a Linux path or on Windows also a "C:\" one); sets RC (signed
# 32-bit exit code) and OUT (bytes written to standard output and standard error together).
run_exe() {
  if [ "$VDS_PLATFORM" = windows ]; then
    local winexe=$EXE line
    [[ "$EXE" == /* ]] && winexe="Z:${EXE//\//\\}"
    line=$(wine "$VDS_EXIT_PROBE" "$winexe" "$@" 2>/dev/null | tr -d '\r' | tail -1)
    RC=$(echo "$line" | sed -n 's/^exit=\([-0-9]*\) .*/\1/p')
    OUT=$(echo "$line" | sed -n 's/.* out=\([0-9]*\)$/\1/p')
  else
    RC=0
    "$EXE" "$@" >"$E2E_TMP/out" 2>&1 || RC=$?
    [ "$RC" -eq 255 ] && RC=-1
    OUT=$(stat -c %s "$E2E_TMP/out")
  fi
}

expect_run() {  # DESCRIPTION EXPECTED_CODE ARGS...: the code, and nothing printed
  run_exe "${@:3}"
  expect_eq "$1: exit code" "$2" "$RC"
  expect_eq "$1: prints nothing" 0 "${OUT:-missing}"
}

wait_for_log() {  # TEXT [SECONDS]: true once the log holds the text
  local text=$1 limit=${2:-15} i
  for ((i = 0; i < limit * 4; i++)); do grep -qF -- "$text" "$LOG" 2>/dev/null && return 0; sleep 0.25; done
  return 1
}

reg_value() {  # KEY NAME: the data of one value as Wine's reg shows it (in the OEM code page)
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | iconv -f CP437 -t UTF-8 \
    | sed -n "s/^ \{4\}$2 \{4\}REG_[A-Z_]* \{4\}\(.*\)$/\1/p"
}
