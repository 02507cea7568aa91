#!/usr/bin/env bash
# Every companion program: -h and --help print the usage on standard output and exit with 0; a
# wrong argument prints the usage on standard error and exits with 2.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" = windows ]; then
  export WINEPREFIX="$E2E_TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cp -a "${VELKARIS_WINEPREFIX:-/tmp/velkaris-wine}" "$WINEPREFIX"
  e2e_hold_wine_session
  tools=(velkaris-settings velkaris-status velkaris-pause velkaris-report)
else
  tools=(velkaris-settings velkaris-status velkaris-pause velkaris-report velkaris-demo)
fi

run_tool() {  # TOOL ARG: sets CODE, OUT_BYTES, ERR_BYTES and USAGE_ON (stdout|stderr|none)
  local line
  if [ "$VDS_PLATFORM" = windows ]; then
    line=$(wine "$VDS_EXIT_PROBE" "Z:${VDS_STAGE//\//\\}\\bin\\$1.exe" "$2" 2>/dev/null | tr -d '\r' | tail -1)
    CODE=$(echo "$line" | sed -n 's/^exit=\([-0-9]*\) .*/\1/p')
    OUT_BYTES=$(echo "$line" | sed -n 's/.* stdout=\([0-9]*\) .*/\1/p')
    ERR_BYTES=$(echo "$line" | sed -n 's/.* stderr=\([0-9]*\)$/\1/p')
  else
    set +e
    "$VDS_STAGE/bin/$1" "$2" >"$E2E_TMP/out" 2>"$E2E_TMP/err" </dev/null
    CODE=$?
    set -e
    OUT_BYTES=$(grep -c '^usage:' "$E2E_TMP/out" || true)
    ERR_BYTES=$(grep -c '^usage:' "$E2E_TMP/err" || true)
  fi
}

for tool in "${tools[@]}"; do
  for help in -h --help; do
    run_tool "$tool" "$help"
    expect_eq "$tool $help: exit code" 0 "$CODE"
    [ "${OUT_BYTES:-0}" -gt 0 ] && [ "${ERR_BYTES:-1}" -eq 0 ] && ok "$tool $help: usage on standard output" \
      || bad "$tool $help: stdout $OUT_BYTES, stderr $ERR_BYTES"
  done
  run_tool "$tool" --no-such-option
  expect_eq "$tool wrong argument: exit code" 2 "$CODE"
  [ "${OUT_BYTES:-1}" -eq 0 ] && [ "${ERR_BYTES:-0}" -gt 0 ] && ok "$tool wrong argument: usage on standard error" \
    || bad "$tool wrong argument: stdout $OUT_BYTES, stderr $ERR_BYTES"
done
finish
