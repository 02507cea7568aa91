#!/usr/bin/env bash
# The installed service on a simulated aged disk under Wine's service control manager: it works,
# a stop writes the resume info and a new start carries on; the foreground run does the same work.
# (Pausing and the restart control are proven by the unit tests, which run under Wine as well.)
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ]; then
  echo "no service control manager on this platform; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
e2e_install_copy
e2e_hold_wine_session
BIN="$INSTALL/bin"
win() { local p="$1"; echo "Z:${p//\//\\}"; }
product='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag'

# One figure of the statistics, through the status tool (Wine's reg cannot show REG_QWORD).
stat_value() {
  wine "$BIN/velkaris-status.exe" C 2>/dev/null | tr -d '\r' | sed -n "s/^$1: \([0-9]*\).*/\1/p"
}

mkdir -p "$INSTALL/volumes"
wine "$BIN/velkaris-image.exe" create "$(win "$INSTALL/volumes/C.vimg")" --size 16G --files 100000 --seed 7 \
  --fullness 0.8 >/dev/null 2>&1 && ok "aged image made" || bad "image not made"
wine reg add "$product\\settings" /v simulationDirectory /t REG_SZ /d "$(win "$INSTALL/volumes")" /f >/dev/null 2>&1
# With a simulation directory the machine's drives are its images only (C: is the image).

expect_run "install" 0 -i
expect_run "start" 0 -s
wait_for_log "Thread init done" 20 && ok "engine started" || bad "engine did not start"
# The first resume comes after the ten-second quiet period; then files go by.
p1=""
for ((i = 0; i < 160; i++)); do
  p1=$(stat_value "Processed Files")
  [ "${p1:-0}" -gt 0 ] && break
  sleep 0.25
done
[ "${p1:-0}" -gt 0 ] && ok "files are being processed ($p1)" || bad "no progress"
expect_eq "status 3: working" 3 "$(stat_value Status)"
sleep 1
before=$(stat_value "Processed Files")
expect_run "stop" 0 -stop
wait_for_log "serviceMain exiting." 30 && ok "stopped in order" || bad "no serviceMain exiting."
[ -s "$INSTALL/state/resumeInfo" ] && ok "resume info written" || bad "no resume info"
grep -q "Defrag thread terminating because of stop request." "$LOG" && ok "worker ended by the stop" || bad "worker did not log the stop"
cp "$LOG" "$E2E_TMP/first-run.log"

expect_run "start again" 0 -s
after=""
for ((i = 0; i < 160; i++)); do
  after=$(stat_value "Processed Files")
  [ "${after:-0}" -gt "${before:-0}" ] && break
  sleep 0.25
done
[ "${after:-0}" -ge "${before:-1}" ] && ok "the pass carries on ($before -> $after)" || bad "the pass started over ($before -> $after)"
expect_run "stop again" 0 -stop
wait_for_log "serviceMain exiting." 30 || true
expect_run "remove" 0 -r

# The foreground run does the same work in the calling process, on a fresh disk.
rm -f "$LOG" "$INSTALL/state/resumeInfo" "$INSTALL/volumes/C.vimg"
wine reg delete "$product" /v volumeMode_C /f >/dev/null 2>&1 || true
wine "$BIN/velkaris-image.exe" create "$(win "$INSTALL/volumes/C.vimg")" --size 8G --files 40000 --seed 8 \
  --fullness 0.8 >/dev/null 2>&1 || bad "second image not made"
wine "$EXE" -exec >/dev/null 2>&1 &
fg=$!
# Watched through the log alone: starting Wine programs to read the registry would count as
# user activity and pause the work.
wait_for_log "Finished Scan pass" 60 && ok "foreground run finished a scan pass" || bad "foreground run made no progress"
kill "$fg" 2>/dev/null || true
finish
