#!/usr/bin/env bash
# Under the service control manager: work that throws an exception of no known type ends in the
# crash report and in the stopped state, instead of a service that hangs as running.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ]; then
  echo "no service control manager on this platform; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
e2e_install_copy
e2e_hold_wine_session
settings='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag\settings'

state() { wine sc query VelkarisDefragService 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }

expect_run "install" 0 -install
wine reg add "$settings" /v testThrowUnknownException /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect_run "start" 0 -start
wait_for_log "An unhandled Exception occured" 30 && ok "crash report written" || bad "no crash report: $(tail -5 "$LOG" 2>/dev/null)"
grep -qE "^ ExceptionType: Unknown" "$LOG" && ok "record of the unknown exception" || bad "no exception record"
s=""
for ((i = 0; i < 40; i++)); do s=$(state); [ "$s" = STOPPED ] && break; sleep 0.25; done
expect_eq "sc query says stopped" STOPPED "$s"
wine reg delete "$settings" /v testThrowUnknownException /f >/dev/null 2>&1 || true
expect_run "remove" 0 -r
finish
