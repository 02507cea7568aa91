#!/usr/bin/env bash
# The Windows installer under Wine: install, upgrade in place and into another folder (keeping
# settings and state), a failed install, and silent uninstalls with and without the data.
source "$(dirname "$0")/lib.sh"
windows_only "the installer is a Windows program"
SETUP="$VDS_STAGE/VelkarisDefragSetup.exe"
[ -f "$SETUP" ] || { bad "no installer at $SETUP"; finish; exit 1; }
export LC_ALL=C.UTF-8   # the folder names below reach Wine as UTF-8
e2e_wine_prefix
e2e_hold_wine_session
EXE="$VDS_STAGE/bin/VelkarisDefragService.exe"   # any copy controls the installed service
drive_c="$WINEPREFIX/drive_c"
uninst='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelkarisDefragService'
product='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag'
default='C:\Program Files\Velkaris Defrag'
other='C:\Velkaris Dé frag'

# A small simulated disk: Wine's own drives have no defragmentation controls.
mkdir -p "$drive_c/volumes"
wine "$VDS_STAGE/bin/velkaris-image.exe" create 'C:\volumes\C.vimg' --size 64M --files 300 --seed 3 \
  >/dev/null 2>&1 || bad "image not made"
wine reg add "$product\\settings" /v simulationDirectory /t REG_SZ /d 'C:\volumes' /f >/dev/null 2>&1

setup() {  # ARGUMENTS: runs the installer as a console would; sets RC and ERR (its standard error)
  RC=0
  wine "$VDS_EXIT_PROBE" --raw "\"Z:${SETUP//\//\\}\" $*" >/dev/null 2>"$E2E_TMP/setup.err" || RC=$?
  ERR=$(tr -d '\r' <"$E2E_TMP/setup.err" | grep -v '^[0-9a-f]*:\(err\|fixme\|warn\)' || true)
}
settings() { wine "$1\\bin\\velkaris-settings.exe" "${@:2}" 2>/dev/null | tr -d '\r'; }
processed() { wine "$1\\bin\\velkaris-status.exe" C 2>/dev/null | tr -d '\r' | sed -n 's/^Total Processed Files: //p'; }
unix_path() { echo "$drive_c/${1#C:\\}" | tr '\\' '/'; }
marker() { cat "$(unix_path "$1")/state/marker" 2>/dev/null; }

installed_and_running() {  # WHAT WINDIR [entry]: exit code 0, running from WINDIR [the entry in full]
  local what=$1 dir=$2 pair
  expect_eq "$what: exit code" 0 "$RC"
  expect_run "$what: service running" 1056 -s
  expect_eq "$what: service path" "\"$dir\\bin\\VelkarisDefragService.exe\"" \
    "$(reg_value 'HKLM\SYSTEM\CurrentControlSet\Services\VelkarisDefragService' ImagePath)"
  expect_eq "$what: uninstall entry" "\"$dir\\uninstall.exe\" /S" "$(reg_value "$uninst" QuietUninstallString)"
  [ "${3:-}" = entry ] || return 0
  for pair in "DisplayName=Velkaris Defrag Service" "DisplayVersion=${VDS_VERSION:-1.11}" "Publisher=velkaris" \
    "UninstallString=\"$dir\\uninstall.exe\"" "InstallLocation=$dir"; do
    expect_eq "$what: ${pair%%=*}" "${pair#*=}" "$(reg_value "$uninst" "${pair%%=*}")"
  done
  [ $(($(reg_value "$uninst" EstimatedSize))) -gt 1000 ] && ok "EstimatedSize" || bad "EstimatedSize too small"
}

uninstall() {  # WINDIR ARGS...: the entry's quiet command, then until the uninstaller has finished
  wine "$1\\uninstall.exe" /S "${@:2}" >/dev/null 2>&1 || true
  for ((i = 0; i < 120; i++)); do
    [ -z "$(reg_value "$uninst" DisplayName)" ] && [ ! -e "$(unix_path "$1")/uninstall.exe" ] && return 0; sleep 0.5
  done
  return 1
}

setup /S
installed_and_running install "$default" entry

# Installing again over it keeps settings, statistics and resume state.
settings "$default" set MaxClusterMoveCount 77 >/dev/null
echo "resume marker" >"$(unix_path "$default")/state/marker"
for ((i = 0; i < 120; i++)); do [ "$(processed "$default")" -gt 0 ] 2>/dev/null && break; sleep 0.5; done
count=$(processed "$default")
setup /S
installed_and_running upgrade "$default"
expect_eq "upgrade keeps a setting" 77 "$(settings "$default" get MaxClusterMoveCount)"
expect_eq "upgrade keeps the state folder" "resume marker" "$(marker "$default")"
[ "$(processed "$default")" -ge "${count:-1}" ] && ok "upgrade keeps the statistics ($count)" || bad "statistics lost"

# A failure (the program folder cannot be made: a file has its name) leaves the installed one running.
mkdir -p "$drive_c/blocked"
touch "$drive_c/blocked/bin"
setup '/S /D=C:\blocked'
expect_eq "failed install: exit code" 2 "$RC"
[[ "$ERR" == *"could not be written to C:\\blocked"* ]] && ok "failed install says why" || bad "message: '$ERR'"
RC=0 installed_and_running "after the failure" "$default"

# Into another folder, with a blank and a non-ASCII letter: the resume state comes along.
setup "/S /D=$other"
installed_and_running "install elsewhere" "$other"
expect_eq "the state moved along" "resume marker" "$(marker "$other")"
[ ! -e "$(unix_path "$default")/bin" ] && ok "the old program files are gone" || bad "old program files left"
expect_eq "the settings stay" 77 "$(settings "$other" get MaxClusterMoveCount)"

# A silent uninstall keeps the state unless asked.
d=$(unix_path "$other")
uninstall "$other" && ok "uninstalled" || bad "the uninstaller did not finish"
expect_run "no service after uninstall" -1 -ci
[ ! -e "$d/bin" ] && [ ! -e "$d/config" ] && ok "no program files" || bad "program files left: $(ls "$d")"
expect_eq "state kept" "resume marker" "$(marker "$other")"
expect_eq "settings kept" 77 "$(reg_value "$product\\settings" MaxClusterMoveCount | xargs printf '%d')"
setup "/S /D=$other"
installed_and_running reinstall "$other"
uninstall "$other" /REMOVEDATA && ok "uninstalled with its data" || bad "the uninstaller did not finish"
expect_run "no service" -1 -ci
[ ! -e "$d" ] && ok "the folder is gone" || bad "left behind: $(ls -R "$d" | head)"
expect_eq "settings removed" "" "$(wine reg query "$product" 2>/dev/null | tr -d '\r' | head -1)"
finish
