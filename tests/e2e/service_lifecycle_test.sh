#!/usr/bin/env bash
# The service under the real service control manager, driven through the executable's options.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ]; then
  echo "no service control manager on this platform; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
e2e_install_copy
e2e_hold_wine_session
# A small simulated disk, so that the service has a volume to work on and keeps running.
mkdir -p "$INSTALL/volumes"
volumes="Z:${INSTALL//\//\\}\\volumes"
wine "$INSTALL/bin/velkaris-image.exe" create "$volumes\\C.vimg" --size 1G --files 2000 --seed 3 >/dev/null 2>&1 \
  || bad "image not made"
wine reg add 'HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag\settings' /v simulationDirectory /t REG_SZ \
  /d "$volumes" /f >/dev/null 2>&1
key='HKLM\SYSTEM\CurrentControlSet\Services\VelkarisDefragService'

expect_run "not installed" -1 -ci
expect_run "install" 0 -install
expect_run "second install" 1073 -i
desc=$(wine reg query "$key" /v Description 2>/dev/null | tr -d '\r' || true)
[[ "$desc" == *"Defragments the hard disk in the background."* ]] && ok "description" || bad "description: $desc"
image=$(wine reg query "$key" /v ImagePath 2>/dev/null | tr -d '\r' | grep ImagePath || true)
[[ "$image" == *'"Z:\'*'velkaris e2e'*'VelkarisDefragService.exe"'* ]] && ok "quoted executable path" || bad "path: $image"

expect_run "start" 0 -start
expect_run "wait" 0 -w
wait_for_log "Init done." && ok "service reached running" || bad "no Init done."
expect_run "second start" 1056 -s
expect_run "installed" 0 -ci

expect_run "control 220" 0 -control 220
wait_for_log "Service control code 220 called, restarting Service" && ok "220 reached the handler" || bad "220 not logged"
for ((i = 0; i < 40; i++)); do [ "$(grep -c 'Init done.' "$LOG")" -ge 2 ] && break; sleep 0.25; done
expect_eq "phases ran again after 220" 2 "$(grep -c 'Init done.' "$LOG")"
expect_eq "no stop between the rounds" 0 "$(grep -c 'Received STOP' "$LOG")"

expect_run "stop" 0 -stop
wait_for_log "serviceMain exiting." && ok "service stopped" || bad "no serviceMain exiting."
wait_for_log "Service End" && ok "process ended in order" || bad "no Service End"
expect_run "remove" 0 -r
expect_run "start after removal" 1060 -start
expect_run "not installed after removal" -1 -ci
finish
