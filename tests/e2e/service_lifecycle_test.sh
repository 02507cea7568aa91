#!/usr/bin/env bash
# The service under Wine's service control manager, on a simulated aged disk, installed from a
# folder that narrow calls and 260-character buffers get wrong (non-ASCII, over 200 characters).
source "$(dirname "$0")/lib.sh"
windows_only "no service control manager on this platform"
e2e_install_copy
e2e_hold_wine_session
export LC_ALL=C.UTF-8   # the folder name reaches Wine as UTF-8
dir='C:\Program Files\Velkaris Défrag Ünïcode'
while [ ${#dir} -le 200 ]; do dir="$dir\\deep folder ${#dir}"; done
unix=$(echo "$WINEPREFIX/drive_c/${dir#C:\\}" | tr '\\' /)
mkdir -p "$unix" "$WINEPREFIX/drive_c/volumes"
cp -a "$INSTALL/." "$unix/"
EXE="$dir\\bin\\VelkarisDefragService.exe"
LOG="$unix/log/log.txt"
key='HKLM\SYSTEM\CurrentControlSet\Services\VelkarisDefragService'
run='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
# With a simulation directory the machine's drives are its images only (C: is the image).
wine "$unix/bin/velkaris-image.exe" create 'C:\volumes\C.vimg' --size 16G --files 100000 --seed 7 \
  --fullness 0.8 >/dev/null 2>&1 && ok "aged image made" || bad "image not made"
wine reg add 'HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag\settings' /v simulationDirectory /t REG_SZ \
  /d 'C:\volumes' /f >/dev/null 2>&1
# One figure of the statistics, through the status tool (Wine's reg cannot show REG_QWORD).
stat_value() { wine "$unix/bin/velkaris-status.exe" C 2>/dev/null | tr -d '\r' | sed -n "s/^$1: \([0-9]*\).*/\1/p"; }
processed_above() {  # COUNT: true once more files than COUNT are processed; sets P
  for ((i = 0; i < 160; i++)); do P=$(stat_value "Processed Files"); [ "${P:-0}" -gt "$1" ] && return; sleep 0.25; done
  false
}

expect_run "not installed" -1 -ci
expect_run "install" 0 -install
expect_run "second install" 1073 -i
expect_eq "ImagePath of ${#dir} characters" "\"$EXE\"" "$(reg_value "$key" ImagePath)"
expect_eq "the agent starts at logon" "\"$dir\\bin\\VelkarisDefragAgent.exe\"" "$(reg_value "$run" VelkarisDefragAgent)"

expect_run "start" 0 -start
expect_run "wait" 0 -w
wait_for_log "Thread init done" 20 && ok "engine started" || bad "engine did not start"
expect_run "second start" 1056 -s
expect_run "installed" 0 -ci
# The first resume comes after the ten-second quiet period; then files go by.
processed_above 0 && ok "files are being processed ($P)" || bad "no progress"
expect_eq "status 3: working" 3 "$(stat_value Status)"
sleep 1
before=$(stat_value "Processed Files")
expect_run "stop" 0 -stop
wait_for_log "serviceMain exiting." 30 && ok "stopped in order" || { bad "no serviceMain exiting."; tail -n 30 "$LOG"; }
[ -s "$unix/state/resumeInfo" ] && ok "resume info written" || bad "no resume info"
grep -q "Defrag thread terminating because of stop request." "$LOG" && ok "worker ended by the stop" \
  || bad "worker did not log the stop"
expect_run "start again" 0 -s
processed_above "${before:-0}" && ok "the pass carries on ($before -> $P)" || bad "the pass started over ($before -> $P)"

inits=$(grep -c 'Init done.' "$LOG" || true) stops=$(grep -c 'Received STOP' "$LOG" || true)
expect_run "control 220" 0 -control 220
wait_for_log "Service control code 220 called, restarting Service" && ok "220 reached the handler" || bad "220 not logged"
for ((i = 0; i < 40; i++)); do [ "$(grep -c 'Init done.' "$LOG")" -gt "$inits" ] && break; sleep 0.25; done
expect_eq "phases ran again after 220" $((inits + 1)) "$(grep -c 'Init done.' "$LOG")"
expect_eq "no stop between the rounds" "$stops" "$(grep -c 'Received STOP' "$LOG")"

expect_run "stop again" 0 -stop
# Each start begins a new log: the second run's end is the one in it.
for ((i = 0; i < 60; i++)); do [ "$(grep -c 'Service End' "$LOG")" -ge 1 ] && break; sleep 0.25; done
expect_eq "process ended in order" 1 "$(grep -c 'Service End' "$LOG")"
expect_run "stop while stopped" 1062 -stop
expect_run "uninstall" 0 -uninstall
expect_eq "the agent's Run entry is removed" "" "$(reg_value "$run" VelkarisDefragAgent)"
expect_run "start after removal" 1060 -start
expect_run "not installed after removal" -1 -ci

finish
