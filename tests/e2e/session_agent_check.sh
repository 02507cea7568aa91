#!/usr/bin/env bash
# The installed service with the user-session agent on a desktop (Xvfb), its own input and
# window probes failing as they do in session 0: the agent's reports alone make it pause for the
# mouse, a key and a full-screen window, and without the agent the mouse goes unseen. Prints the
# agent's share of a core.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ] || ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
  echo "needs the Windows build, Xvfb and xdotool; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
for display in $(seq 91 160); do
  [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] || break
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'e2e_cleanup; kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=":$display"
sleep 1
e2e_install_copy
e2e_hold_wine_session
BIN="$INSTALL/bin"
win() { local p="$1"; echo "Z:${p//\//\\}"; }
product='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag'

mkdir -p "$INSTALL/volumes"
wine "$BIN/velkaris-image.exe" create "$(win "$INSTALL/volumes/C.vimg")" --size 4G --files 20000 --seed 5 \
  --fullness 0.7 >/dev/null 2>&1 && ok "image made" || bad "image not made"
wine reg add "$product\\settings" /v simulationDirectory /t REG_SZ /d "$(win "$INSTALL/volumes")" /f >/dev/null 2>&1
wine reg add "$product\\settings" /v sessionZeroProbes /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine reg add "$product\\settings" /v enablePauseReasonLog /t REG_DWORD /d 1 /f >/dev/null 2>&1

# The engine works: it resumed (the first time after the quiet period that follows its start)
# and has not paused since.
engine_working() {
  local last
  last=$(grep -E "Pause because|Resuming" "$LOG" | tail -1 || true)
  [[ "$last" == *Resuming* ]]
}
wait_working() {
  local i
  for ((i = 0; i < 240; i++)); do engine_working && return 0; sleep 0.25; done
  return 1
}

# expect_pause REASON TEXT SECONDS ACTION...: waits for the engine to work again, acts, and wants
# within SECONDS the pause logged with TEXT, or REASON named as the new pause reason (a pause
# for another cause that came first is then superseded by this one).
seen_count() { grep -c -e "$1" -e "New Reason: $2" "$LOG" || true; }
expect_pause() {
  local reason=$1 text=$2 limit=$3
  shift 3
  local i seen
  wait_working || { bad "$reason: the engine never resumed"; return; }
  seen=$(seen_count "$text" "$reason")
  "$@"
  for ((i = 0; i < limit * 4; i++)); do
    [ "$(seen_count "$text" "$reason")" -gt "$seen" ] && { ok "$reason (within $(( (i + 1) * 250 )) ms)"; return; }
    sleep 0.25
  done
  bad "$reason: not within $limit s"
}

expect_run "install" 0 -i
expect_run "start" 0 -s
wait_for_log "Thread init done" 30 && ok "engine started" || bad "engine did not start"

# Without an agent the service sees nothing of the desktop.
expect_pause_absent() {
  wait_working || bad "the engine did not start working"
  xdotool mousemove 300 300
  sleep 2.5
  expect_eq "without the agent the mouse goes unseen" 0 "$(grep -c "Pause because of mouse movement" "$LOG" || true)"
}
expect_pause_absent

wine "$BIN/VelkarisDefragAgent.exe" >/dev/null 2>&1 &
agent_pid=""
for ((i = 0; i < 40; i++)); do
  agent_pid=$(pgrep -f 'VelkarisDefragAgent.exe' | head -1 || true)
  [ -n "$agent_pid" ] && break
  sleep 0.25
done
[ -n "$agent_pid" ] && ok "agent running" || bad "agent not running"
# Its first report is the baseline the next movement is measured against.
wait_for_log "Agent connected" 20 && ok "agent connected" || bad "agent did not connect"
cpu_start=$(awk '{print $14 + $15}' "/proc/$agent_pid/stat" 2>/dev/null || echo 0)
time_start=$(date +%s.%N)

expect_pause MouseInput "Pause because of mouse movement" 2 xdotool mousemove 500 400
# Keys reach Wine through one of its windows.
wine notepad >/dev/null 2>&1 &
for ((i = 0; i < 120; i++)); do xdotool search --name "Notepad" >/dev/null 2>&1 && break; sleep 0.25; done
xdotool windowfocus --sync "$(xdotool search --name "Notepad" | head -1)" >/dev/null 2>&1 || true
expect_pause KeyboardInput "Pause because of keyboard input" 2 xdotool key --clearmodifiers a
# A borderless window over the whole screen, as a game or a slide show shows. Its start takes a
# while under load, so the limit counts from the start command.
fullscreen() { wine "$VDS_EXIT_PROBE" --fullscreen 20 >/dev/null 2>&1 & }
expect_pause FullScreenNotScreenSaver "Pause because FullScreenWindow and not ScreenSaver" 20 fullscreen

cpu_end=$(awk '{print $14 + $15}' "/proc/$agent_pid/stat" 2>/dev/null || echo 0)
time_end=$(date +%s.%N)
ticks=$(getconf CLK_TCK)
share=$(echo "scale=4; 100 * ($cpu_end - $cpu_start) / $ticks / ($time_end - $time_start)" | bc)
echo "figure: agent CPU $share % of a core over $(echo "$time_end - $time_start" | bc | cut -c1-5) s"

expect_run "remove" 0 -r
finish
