#!/usr/bin/env bash
# The service installed from folders whose names Windows' narrow calls and 260-character buffers
# get wrong: one with letters outside ASCII, one deeper than 200 characters. The registered path
# must be exact and the service must start from it; "-install" starts the session agent at
# logon (the Run entry) and "-uninstall" takes that back.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != windows ]; then
  echo "no service control manager on this platform; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
e2e_install_copy
e2e_hold_wine_session
key='HKLM\SYSTEM\CurrentControlSet\Services\VelkarisDefragService'
run='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'

# reg_value KEY NAME: the value's text, exact (reg export writes UTF-16; a REG_EXPAND_SZ comes
# as hex(2) bytes); empty when there is no such value.
reg_value() {
  local file="$E2E_TMP/export.reg"
  rm -f "$file"
  wine reg export "$1" 'Z:'"${file//\//\\}" /y >/dev/null 2>&1 || true
  [ -f "$file" ] || return 0
  python3 - "$file" "$2" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-16").read().replace("\\\n  ", "")
for line in text.splitlines():
    m = re.match(r'"(.*?)"=(.*)$', line)
    if not m or m.group(1) != sys.argv[2]:
        continue
    v = m.group(2)
    if v.startswith('"'):
        print(v[1:-1].replace('\\"', '"').replace("\\\\", "\\"))
    elif v.startswith("hex(2):"):
        raw = bytes(int(b, 16) for b in v[7:].split(",") if b)
        print(raw.decode("utf-16-le").rstrip("\0"))
PY
}

# try_folder WINDOWS_FOLDER: copies the installed layout there, installs, starts, checks, removes.
try_folder() {
  local win=$1 label=$2
  local unix="$WINEPREFIX/drive_c/${win#C:\\}"
  unix=${unix//\\//}
  mkdir -p "$unix"
  cp -a "$INSTALL/." "$unix/"
  rm -f "$unix/log/"*
  local exe="$unix/bin/VelkarisDefragService.exe" log="$unix/log/log.txt"
  local rc=0
  wine "$exe" -install >/dev/null 2>&1 || rc=$?
  expect_eq "$label: install" 0 "$rc"
  expect_eq "$label: ImagePath" "\"$win\\bin\\VelkarisDefragService.exe\"" "$(reg_value "$key" ImagePath)"
  expect_eq "$label: Run entry" "\"$win\\bin\\VelkarisDefragAgent.exe\"" "$(reg_value "$run" VelkarisDefragAgent)"
  rc=0
  wine "$exe" -start >/dev/null 2>&1 || rc=$?
  expect_eq "$label: start" 0 "$rc"
  local i
  for ((i = 0; i < 60; i++)); do grep -qF "Init done." "$log" 2>/dev/null && break; sleep 0.25; done
  grep -qF "Init done." "$log" 2>/dev/null && ok "$label: service running from its folder" || bad "$label: no Init done."
  rc=0
  wine "$exe" -uninstall >/dev/null 2>&1 || rc=$?
  expect_eq "$label: uninstall" 0 "$rc"
  expect_eq "$label: Run entry removed" "" "$(reg_value "$run" VelkarisDefragAgent)"
}

try_folder 'C:\Program Files\Velkaris Défrag Ünïcode' "non-ASCII folder"
deep='C:\Velkaris'
while [ ${#deep} -le 200 ]; do deep="$deep\\deep folder $(( ${#deep} ))"; done
try_folder "$deep" "folder of ${#deep} characters"
finish
