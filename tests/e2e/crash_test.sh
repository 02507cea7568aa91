#!/usr/bin/env bash
# Faults reach the crash report and end the process at once; under the service control manager an
# exception of no known type ends in the report and the stopped state, not in a hung service.
source "$(dirname "$0")/lib.sh"
e2e_install_copy
if [ "$VDS_PLATFORM" = windows ]; then
  e2e_hold_wine_session
  probe() { timeout 60 wine "$VDS_CRASH_PROBE" "Z:${1//\//\\}" "$2" >/dev/null 2>&1; }
else
  probe() { timeout 60 "$VDS_CRASH_PROBE" "$1" "$2" >/dev/null 2>&1; }
fi
log="$E2E_TMP/crash.txt"
probe "$log" write-null || true
for line in "An unhandled Exception occured" "Unhandled Exception Occured: -> Unhandled Exception Occured" \
  "^ ExceptionType: EXCEPTION_ACCESS_VIOLATION" "^ ExceptionFlag: Continuable" "^  Action: Write" "^  Address: 0$" \
  "^ Eip: [0-9]+"; do
  grep -qE -- "$line" "$log" && ok "report: $line" || bad "report lacks: $line"
done
probe "$E2E_TMP/early.txt" before-logging || true
[ ! -s "$E2E_TMP/early.txt" ] && ok "nothing before logging started" || bad "output before logging started"

for mode in fault-under-lock fault-in-report; do
  out="$E2E_TMP/$mode.txt" rc=0
  probe "$out" $mode || rc=$?
  ms=$(( ($(date +%s%N) - $(tr -d '\r' <"$out.at" 2>/dev/null || echo 0)) / 1000000 ))
  [ "$rc" -ne 124 ] && [ "$ms" -le 1000 ] && ok "$mode: ended ${ms} ms after the fault" || bad "$mode: hung ($rc, $ms ms)"
done
grep -qF "An unhandled Exception occured" "$E2E_TMP/fault-under-lock.txt" && ok "report despite the held lock" \
  || bad "no report under the lock"

[ "$VDS_PLATFORM" = windows ] || { finish; exit; }
settings='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag\settings'
state() { wine sc query VelkarisDefragService 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
expect_run "install" 0 -install
wine reg add "$settings" /v testThrowUnknownException /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect_run "start" 0 -start
wait_for_log "An unhandled Exception occured" 30 && ok "service crash report written" || bad "no crash report"
grep -qE "^ ExceptionType: Unknown" "$LOG" && ok "record of the unknown exception" || bad "no exception record"
for ((i = 0; i < 40; i++)); do s=$(state); [ "$s" = STOPPED ] && break; sleep 0.25; done
expect_eq "sc query says stopped" STOPPED "$s"
expect_run "remove" 0 -r
finish
