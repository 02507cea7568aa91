#!/usr/bin/env bash
# Every option form exits with its code and prints nothing, whatever the configuration file.
source "$(dirname "$0")/lib.sh"
e2e_install_copy

if [ "$VDS_PLATFORM" = windows ]; then
  e2e_hold_wine_session
  NOSERVICE=1060     # the service is not installed
  SERVICE_ROLE=-1    # not started by the service control manager
else
  NOSERVICE=50       # no service control manager at all
  SERVICE_ROLE=-1
fi

for form in -h /? -help -HELP; do expect_run "$form" 0 "$form"; done
expect_run "-control as the last argument" -1 -control
expect_run "-control with a word" "$NOSERVICE" -control word
expect_run "-START" "$NOSERVICE" -START
expect_run "-Stop" "$NOSERVICE" -Stop
expect_run "-w" "$NOSERVICE" -w
expect_run "-uninstall" "$NOSERVICE" -uninstall
expect_run "-ci before install" -1 -ci
[ ! -e "$LOG" ] && ok "commands leave the service's log alone" || bad "a command wrote log.txt"
expect_run "-st and plain words fall through to the service connection" "$SERVICE_ROLE" -st stop install

many=()
for i in $(seq 1 1000); do many+=("word$i"); done
expect_run "a thousand arguments, then -h" 0 "${many[@]}" -h

if [ "$VDS_PLATFORM" = windows ]; then
  expect_run "-i followed by -s installs" 0 -i -s
  expect_run "... and does not start" 1062 -stop
  expect_run "-ci while installed" 0 -checkinstall
  expect_run "-r" 0 -r
  expect_run "-ci after removal" -1 -ci
fi

CMDLOG="$INSTALL/log/log_cmd.txt"
grep -qF "Log started" "$CMDLOG" && grep -qF "Version: 1.11" "$CMDLOG" && grep -qF "Service End" "$CMDLOG" \
  && ok "the shipped configuration logs the start with its version and the end" \
  || bad "log lacks the start message, its version or the end: $(head -c 400 "$CMDLOG" 2>/dev/null)"

if [ "$VDS_PLATFORM" = linux ]; then
  # A console stop ends the foreground run in order (on a small simulated disk, so that it has work).
  mkdir -p "$INSTALL/volumes"
  "$INSTALL/bin/velkaris-image" create "$INSTALL/volumes/C.vimg" --size 256M --files 2000 >/dev/null
  "$EXE" -exec >"$E2E_TMP/fg.out" 2>&1 &
  fg=$!
  wait_for_log "serviceWork entered" && ok "foreground run started" || bad "foreground run did not start"
  kill -TERM "$fg"
  set +e; wait "$fg"; rc=$?; set -e
  expect_eq "foreground run exit code after SIGTERM" 0 "$rc"
  grep -qF "Exiting serviceWork" "$LOG" && grep -qF "Service End" "$LOG" && ok "foreground run ended in order" \
    || bad "foreground run did not end in order"
  expect_eq "foreground run prints nothing" 0 "$(stat -c %s "$E2E_TMP/fg.out")"
fi

# Bad configuration files never stop the start.
conf="$INSTALL/config/logconfig.xml"
: >"$conf";                                         expect_run "empty logconfig.xml" 0 -h
printf '<appender name="FileAppender"><settings' >"$conf"; expect_run "malformed logconfig.xml" 0 -h
head -c 3000000 /dev/urandom >"$conf";             expect_run "binary logconfig.xml" 0 -h
{ echo "<r>"; for i in $(seq 1 100000); do echo "<a n=\"$i\"><b/></a>"; done
  echo '<appender name="FileAppender"><settings><filename value="..\log\big.txt"/></settings></appender></r>'; } >"$conf"
expect_run "very large logconfig.xml" 0 -h
[ -f "$INSTALL/log/big_cmd.txt" ] && ok "the appender after 100000 elements is found" || bad "big.txt missing"
echo '<appender name="FileAppender"><settings><filename value="..\no\such\dir\log.txt"/></settings></appender>' >"$conf"
expect_run "uncreatable log file" 0 -h
rm -f "$conf";                                      expect_run "missing logconfig.xml" 0 -h
expect_run "missing logconfig.xml, management option" "$NOSERVICE" -s

finish
