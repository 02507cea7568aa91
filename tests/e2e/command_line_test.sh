#!/usr/bin/env bash
# Every option form exits with its code and prints nothing; on Linux a console stop ends the
# foreground run in order.
source "$(dirname "$0")/lib.sh"
e2e_install_copy
if [ "$VDS_PLATFORM" = windows ]; then
  e2e_hold_wine_session
  NOSERVICE=1060     # the service is not installed
else
  NOSERVICE=50       # no service control manager at all
fi

for form in -h /? -HELP; do expect_run "$form" 0 "$form"; done
expect_run "-control as the last argument" -1 -control
expect_run "-control with a word" "$NOSERVICE" -control word
for form in -START -Stop -w -uninstall; do expect_run "$form" "$NOSERVICE" "$form"; done
expect_run "-ci before install" -1 -ci
[ ! -e "$LOG" ] && ok "commands leave the service's log alone" || bad "a command wrote log.txt"
expect_run "-st and plain words fall through to the service connection" -1 -st stop install
expect_run "a thousand arguments, then -h" 0 $(seq -f 'word%g' 1 1000) -h
CMDLOG="$INSTALL/log/log_cmd.txt"
grep -qF "Log started" "$CMDLOG" && grep -qF "Version: 1.11" "$CMDLOG" && grep -qF "Service End" "$CMDLOG" \
  && ok "the shipped configuration logs the start with its version and the end" \
  || bad "log lacks the start message, its version or the end: $(head -c 400 "$CMDLOG" 2>/dev/null)"

if [ "$VDS_PLATFORM" = linux ]; then
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

# Without a log configuration the options still work (bad ones are the logging tests' part).
rm -f "$INSTALL/config/logconfig.xml"
expect_run "missing logconfig.xml" 0 -h
expect_run "missing logconfig.xml, management option" "$NOSERVICE" -s
finish
