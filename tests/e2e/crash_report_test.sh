#!/usr/bin/env bash
# An access violation reaches the crash report in the log; before logging starts it leaves none.
source "$(dirname "$0")/lib.sh"
e2e_install_copy
log="$E2E_TMP/crash.txt"
early="$E2E_TMP/early.txt"
if [ "$VDS_PLATFORM" = windows ]; then
  run() { wine "$VDS_CRASH_PROBE" "Z:${1//\//\\}" "$2" >/dev/null 2>&1 || true; }
else
  run() { "$VDS_CRASH_PROBE" "$1" "$2" >/dev/null 2>&1 || true; }
fi
run "$log" write-null
grep -qF "An unhandled Exception occured" "$log" && ok "report written" || bad "no report: $(cat "$log" 2>/dev/null)"
grep -qF "Unhandled Exception Occured: -> Unhandled Exception Occured" "$log" && ok "error line in its scope" || bad "no error line"
grep -qE "^ ExceptionType: EXCEPTION_ACCESS_VIOLATION" "$log" && ok "type" || bad "type missing"
grep -qE "^ ExceptionFlag: Continuable" "$log" && ok "flag" || bad "flag missing"
grep -qE "^  Action: Write" "$log" && ok "action" || bad "action missing"
grep -qE "^  Address: 0$" "$log" && ok "address" || bad "address missing"
grep -qE "^ Eip: [0-9]+" "$log" && ok "context registers" || bad "context missing"
run "$early" before-logging
[ ! -s "$early" ] && ok "nothing before logging started" || bad "output before logging started"

# A fault while the appender's lock is held, and a fault inside the report: the process ends at
# once (a report that took the lock or faulted in a loop would hang it).
if [ "$VDS_PLATFORM" = windows ]; then
  timed() { wine "$VDS_CRASH_PROBE" "Z:${1//\//\\}" "$2" >/dev/null 2>&1; }
  e2e_hold_wine_session  # so that the probe's own start costs little
else
  timed() { "$VDS_CRASH_PROBE" "$1" "$2" >/dev/null 2>&1; }
fi
for mode in fault-under-lock fault-in-report; do
  out="$E2E_TMP/$mode.txt"
  set +e
  timeout 60 bash -c "$(declare -f timed); VDS_CRASH_PROBE='$VDS_CRASH_PROBE' timed '$out' $mode"
  rc=$?
  set -e
  end=$(date +%s%N)
  at=$(tr -d '\r' <"$out.at" 2>/dev/null || echo 0)
  ms=$(( (end - at) / 1000000 ))
  [ "$rc" -ne 124 ] && ok "$mode: process ended" || bad "$mode: hung"
  [ "$ms" -le 1000 ] && ok "$mode: ended ${ms} ms after the fault" || bad "$mode: ended ${ms} ms after the fault"
done
grep -qF "An unhandled Exception occured" "$E2E_TMP/fault-under-lock.txt" && ok "report despite the held lock" || bad "no report under the lock"
finish
