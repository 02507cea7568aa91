#!/usr/bin/env bash
# The set-up command: installs everything from Debian's packages, builds both builds into dist/,
# and prepares a Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh linux windows
bash scripts/wine-prefix.sh "$PWD/build/wine/prefix"
echo "Built: dist/linux/bin/velkaris-defrag-service and dist/windows/bin/VelkarisDefragService.exe"
echo "Wine prefix for the Windows build: build/wine/prefix"
