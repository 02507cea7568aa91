#!/usr/bin/env bash
# The set-up command: installs everything from Debian's packages, builds the Linux build, runs
# the main job (the service defragmenting a simulated aged disk, with a report in out/demo),
# then builds the Windows build and prepares a Wine prefix for it.
# Options are handed to the demo (see README), for example: scripts/setup.sh --simulated-user
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh linux
echo "== main job: the service on a simulated aged disk"
demo_rc=0
dist/linux/bin/velkaris-demo --out out/demo "$@" || demo_rc=$?
bash scripts/build.sh windows
bash scripts/wine-prefix.sh "$PWD/build/wine/prefix"
echo "Built: dist/linux/bin/velkaris-defrag-service and dist/windows/bin/VelkarisDefragService.exe"
echo "Wine prefix for the Windows build: build/wine/prefix"
echo "Report of the main job: out/demo/report/report.html"
exit "$demo_rc"
