#!/usr/bin/env bash
# Makes a fresh Wine prefix for the Windows tests: scripts/wine-prefix.sh <directory>
set -euo pipefail
prefix=${1:?prefix directory}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
test -f "$prefix/system.reg"
