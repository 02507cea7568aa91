#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: a silent install leaves the service
# installed and running with a complete uninstall entry; installing again (in place, and into a
# folder with a blank and a non-ASCII letter) keeps the settings and the resume state; a failed
# install leaves the previous installation running; a silent uninstall removes the service, the
# program files and the entry, and keeps the state unless asked.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ]; then
  echo "the installer is a Windows program; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
SETUP="$VDS_STAGE/VelkarisDefragSetup.exe"
[ -f "$SETUP" ] || { bad "no installer at $SETUP"; finish; exit 1; }

export LC_ALL=C.UTF-8   # the folder names below reach Wine as UTF-8
export WINEPREFIX="$E2E_TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cp -a "${VELKARIS_WINEPREFIX:-/tmp/velkaris-wine}" "$WINEPREFIX"
e2e_hold_wine_session
EXE="$VDS_STAGE/bin/VelkarisDefragService.exe"   # any copy controls the installed service
drive_c="$WINEPREFIX/drive_c"
uninst='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelkarisDefragService'
service='HKLM\SYSTEM\CurrentControlSet\Services\VelkarisDefragService'
product='HKLM\SOFTWARE\velkaris\Velkaris Lumeric Defrag'

# The service works on a small simulated disk: Wine's own drives have no defragmentation controls.
mkdir -p "$drive_c/volumes"
wine "$VDS_STAGE/bin/velkaris-image.exe" create 'C:\volumes\C.vimg' --size 64M --files 300 --seed 3 \
  >/dev/null 2>&1 && ok "image made" || bad "image not made"
wine reg add "$product\\settings" /v simulationDirectory /t REG_SZ /d 'C:\volumes' /f >/dev/null 2>&1

setup() {  # ARGUMENTS: runs the installer as a console would; sets RC and ERR (its standard error)
  set +e
  wine "$VDS_RAW_COMMAND" "\"Z:${SETUP//\//\\}\" $*" >/dev/null 2>"$E2E_TMP/setup.err"
  RC=$?
  set -e
  ERR=$(tr -d '\r' <"$E2E_TMP/setup.err" | grep -v '^[0-9a-f]*:\(err\|fixme\|warn\)' || true)
}
reg_key() {  # KEY: "name<TAB>data" lines of its values (Wine's reg writes the OEM code page)
  wine reg query "$1" 2>/dev/null | tr -d '\r' | iconv -f CP437 -t UTF-8 \
    | sed -n 's/^ \{4\}\(.*[^ ]\) \{4\}REG_[A-Z_]* \{4\}\(.*\)$/\1\t\2/p'
}
reg_value() {  # KEY NAME: the data of one value
  reg_key "$1" | sed -n "s/^$2\t//p"
}
settings() { wine "$1\\bin\\velkaris-settings.exe" "${@:2}" 2>/dev/null | tr -d '\r'; }
total_processed() {
  wine "$1\\bin\\velkaris-status.exe" C 2>/dev/null | tr -d '\r' | sed -n 's/^Total Processed Files: //p'
}
unix_path() { echo "$drive_c/${1#C:\\}" | tr '\\' '/'; }

# installed_and_running WINDIR: the service runs from WINDIR and the uninstall entry describes it.
installed_and_running() {
  local dir=$1 entry name want
  expect_run "$dir: service installed" 0 -ci
  expect_run "$dir: service running" 1056 -s
  expect_eq "$dir: service path" "\"$dir\\bin\\VelkarisDefragService.exe\"" "$(reg_value "$service" ImagePath)"
  entry=$(reg_key "$uninst")
  while IFS='|' read -r name want; do
    expect_eq "$dir: $name" "$want" "$(echo "$entry" | sed -n "s/^$name\t//p")"
  done <<ENTRY
DisplayName|Velkaris Defrag Service
DisplayVersion|${VDS_VERSION:-1.11}
Publisher|velkaris
UninstallString|"$dir\uninstall.exe"
QuietUninstallString|"$dir\uninstall.exe" /S
InstallLocation|$dir
ENTRY
  local size
  size=$(echo "$entry" | sed -n 's/^EstimatedSize\t//p')
  [ $((size)) -gt 1000 ] && ok "$dir: EstimatedSize $((size)) KB" || bad "$dir: EstimatedSize '$size'"
  local d
  d=$(unix_path "$dir")
  [ -f "$d/bin/velkaris-settings.exe" ] && [ -f "$d/bin/velkaris-report.exe" ] && [ -f "$d/config/logconfig.xml" ] \
    && ok "$dir: program files" || bad "$dir: program files missing"
}

# uninstall WINDIR ARGS...: the entry's quiet command, then until the uninstaller has finished.
uninstall() {
  local dir=$1 i
  shift
  wine "$dir\\uninstall.exe" /S "$@" >/dev/null 2>&1 || true
  for ((i = 0; i < 120; i++)); do
    [ -z "$(reg_value "$uninst" DisplayName)" ] && [ ! -e "$(unix_path "$dir")/uninstall.exe" ] && return 0
    sleep 0.5
  done
  return 1
}

default='C:\Program Files\Velkaris Defrag'
other='C:\Velkaris Dé frag'

# A first install.
setup /S
expect_eq "install: exit code" 0 "$RC"
installed_and_running "$default"

# Installing again over it keeps settings, statistics and resume state.
settings "$default" set MaxClusterMoveCount 77 >/dev/null
settings "$default" set dumpPath 'C:\dumps\vol ü.vdf' >/dev/null
echo "resume marker" >"$(unix_path "$default")/state/marker"
for ((i = 0; i < 120; i++)); do [ "$(total_processed "$default")" -gt 0 ] 2>/dev/null && break; sleep 0.5; done
processed=$(total_processed "$default")
setup /S
expect_eq "upgrade: exit code" 0 "$RC"
installed_and_running "$default"
expect_eq "upgrade keeps a setting" 77 "$(settings "$default" get MaxClusterMoveCount)"
expect_eq "upgrade keeps a text setting" 'C:\dumps\vol ü.vdf' "$(settings "$default" get dumpPath)"
expect_eq "upgrade keeps the state folder" "resume marker" "$(cat "$(unix_path "$default")/state/marker" 2>/dev/null)"
[ "$(total_processed "$default")" -ge "${processed:-1}" ] && ok "upgrade keeps the statistics ($processed)" \
  || bad "statistics lost: $processed before, $(total_processed "$default") after"

# A failure (the program folder cannot be made: a file has its name) leaves the installed
# version running.
mkdir -p "$drive_c/blocked"
touch "$drive_c/blocked/bin"
setup '/S /D=C:\blocked'
expect_eq "failed install: exit code" 2 "$RC"
[[ "$ERR" == *"could not be written to C:\\blocked"* ]] && ok "failed install says why" || bad "message: '$ERR'"
installed_and_running "$default"

# Into another folder, with a blank and a non-ASCII letter: the resume state comes along.
setup "/S /D=$other"
expect_eq "install elsewhere: exit code" 0 "$RC"
installed_and_running "$other"
expect_eq "the state moved along" "resume marker" "$(cat "$(unix_path "$other")/state/marker" 2>/dev/null)"
[ ! -e "$(unix_path "$default")/bin" ] && ok "the old program files are gone" || bad "old program files left"
expect_eq "the settings stay" 77 "$(settings "$other" get MaxClusterMoveCount)"

# A silent uninstall keeps the state unless asked.
uninstall "$other" && ok "uninstalled" || bad "the uninstaller did not finish"
expect_run "no service after uninstall" -1 -ci
d=$(unix_path "$other")
[ ! -e "$d/bin" ] && [ ! -e "$d/config" ] && ok "no program files" || bad "program files left: $(ls "$d")"
expect_eq "uninstall entry gone" "" "$(reg_value "$uninst" DisplayName)"
expect_eq "state kept" "resume marker" "$(cat "$d/state/marker" 2>/dev/null)"
expect_eq "settings kept" 77 "$(reg_value "$product\\settings" MaxClusterMoveCount | xargs printf '%d')"

setup "/S /D=$other"
expect_eq "reinstall: exit code" 0 "$RC"
installed_and_running "$other"
uninstall "$other" /REMOVEDATA && ok "uninstalled with its data" || bad "the uninstaller did not finish"
expect_run "no service" -1 -ci
[ ! -e "$d" ] && ok "the folder is gone" || bad "left behind: $(ls -R "$d" | head)"
expect_eq "settings removed" "" "$(wine reg query "$product" 2>/dev/null | tr -d '\r' | head -1)"
finish
