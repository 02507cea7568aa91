#!/usr/bin/env bash
# velkaris-ntfs on large generated NTFS images, for the figures: 1 GiB with 20 kills at random
# moments of a run, 4 GiB, 512 MiB 97 % full, and 1 GiB with a cluster count not a multiple of 8.
# Each trial checks every file's content hash against the one before, that the volume opens in
# ntfs-3g, that the bitmap equals the union of all run lists (nothing owned twice, nothing in use
# without an owner but what a kill left), and what stays fragmented.
# Usage: bench/ntfs_large_images.sh [BUILD_DIR] [WORK_DIR]   (needs about 7 GiB in WORK_DIR)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
work=${2:-$(mktemp -d /tmp/velkaris-ntfs-trials.XXXXXX)}
trial="$build/bench/ntfs_trial"
tool="$PWD/$build/dist/linux/bin/velkaris-ntfs"
[ -x "$trial" ] && [ -x "$tool" ] || { echo "build $build first (ntfs_trial, velkaris-ntfs)"; exit 2; }
mkdir -p "$work"
failed=0
run() {
  local name=$1; shift
  echo "== $name"
  if ! "$trial" --tool "$tool" --image "$work/$name.img" "$@"; then
    echo "!! $name FAILED"
    failed=1
  fi
  ntfsfix -n "$work/$name.img" >/dev/null 2>&1 && echo "ntfsfix -n: no complaint" || { echo "!! ntfsfix -n complains"; failed=1; }
  rm -f "$work/$name.img"
}
run 1g-kills --size 1 --fullness 0.6 --seed 11 --kills 20
run 4g --size 4 --fullness 0.6 --seed 12
run 512m-97-full --size 0.5 --fullness 0.97 --largest 64 --seed 13
run 1g-odd-clusters --size 1 --fullness 0.7 --seed 14 --odd
rm -rf "$work"
exit $failed
