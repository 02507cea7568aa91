#!/usr/bin/env bash
# The service in the foreground on aged simulated disks of 100,000, 300,000 and 1,000,000 files
# (64 GiB per 100,000 files, 80 % full), through the demo: the work time from the first resume to
# react mode (goal for a million files: under 70 s), the service's peak memory (goal: under
# 1.1 GiB) and the clusters moved. Then the CPU the service takes while a pause is held (goal:
# under 0.1 % of a core), measured over a minute on the 100,000-file disk.
# Usage: bench/service_runs.sh [DIST_DIR] [WORK_DIR] [FILES...]   (default dist/linux, 100000 300000 1000000)
set -uo pipefail
cd "$(dirname "$0")/.."
dist=${1:-dist/linux}
work=${2:-$(mktemp -d /tmp/velkaris-service-runs.XXXXXX)}
shift 2 2>/dev/null || shift $#
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100000 300000 1000000)
demo="$PWD/$dist/bin/velkaris-demo"
[ -x "$demo" ] || { echo "build $dist first (velkaris-demo)"; exit 2; }
mkdir -p "$work"
isolate=""
if unshare -n true 2>/dev/null; then isolate="unshare -n"; fi

ms_of() {  # a log time stamp "(hh:mm:ss.ms)" -> milliseconds of the day; the log does not pad ms
  echo "$1" | sed -E 's/^\(([0-9]+):([0-9]+):([0-9]+)\.([0-9]+)\).*/\1 \2 \3 \4/' |
    awk '{ printf "%d\n", ((($1 * 60) + $2) * 60 + $3) * 1000 + $4 }'
}

# Peak resident memory of the service (the kernel names it by its first 15 characters).
watch_peak() {
  local out=$1 peak=0 pid h
  while :; do
    pid=$(pgrep -x velkaris-defrag | head -1)
    if [ -n "$pid" ]; then
      h=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      if [ -n "$h" ] && [ "$h" -gt "$peak" ]; then peak=$h; echo "$peak" >"$out"; fi
    fi
    sleep 0.2
  done
}

printf '%-9s %-9s %-14s %-12s %-16s %s\n' files size "work to react" "peak (MiB)" "clusters moved" "against fragmented"
for files in "${sizes[@]}"; do
  gib=$(( (files + 99999) / 100000 * 64 ))
  out="$work/$files"
  rm -rf "$out"
  : >"$work/peak"
  # A network namespace of its own keeps the demo's pause pipe apart from any service running here.
  watch_peak "$work/peak" &
  watcher=$!
  $isolate "$demo" --size "${gib}G" --files "$files" --out "$out" >"$out.txt" 2>&1
  kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null
  log="$out/install/log/log.txt"
  first=$(grep -m1 -- '-> Resuming' "$log" | cut -d' ' -f1)
  react=$(grep -- '-> Volume is clean. Switching to react mode' "$log" | tail -1 | cut -d' ' -f1)
  if [ -z "$first" ] || [ -z "$react" ]; then
    echo "$files: no react mode reached (see $out.txt)"; continue
  fi
  work_ms=$(( $(ms_of "$react") - $(ms_of "$first") ))
  [ "$work_ms" -lt 0 ] && work_ms=$(( work_ms + 86400000 ))
  moved=$(sed -n 's/^Clusters moved: \([0-9]*\), against \([0-9]*\).*(\(.*\) times).*/\1 \2 \3/p' "$out.txt")
  set -- $moved
  printf '%-9s %-9s %-14s %-12s %-16s %s\n' "$files" "${gib} GiB" "$((work_ms / 1000)).$(( work_ms % 1000 / 100 )) s" \
    "$(( $(cat "$work/peak" 2>/dev/null || echo 0) / 1024 ))" "${1:-?}" "${2:-?} (${3:-?} times)"
done

# CPU while paused: the service again on the first (now clean) disk, a pause held from the start.
first_out="$work/${sizes[0]}"
exe="$first_out/install/bin/velkaris-defrag-service"
pause="$PWD/$dist/bin/velkaris-pause"
if [ -x "$exe" ] && [ -x "$pause" ] && [ -n "$isolate" ]; then
  unshare -n bash -c '
    "$1" 600 </dev/null >/dev/null 2>&1 &
    holder=$!
    sleep 1
    "$2" -exec </dev/null >/dev/null 2>&1 &
    svc=$!
    sleep 15
    ticks() { awk "{ print \$14 + \$15 }" /proc/$svc/stat; }
    a=$(ticks); sleep 60; b=$(ticks)
    hz=$(getconf CLK_TCK)
    awk -v a="$a" -v b="$b" -v hz="$hz" "BEGIN { printf \"CPU while paused: %.3f %% of a core over 60 s (goal: under 0.1 %%)\n\", (b - a) * 100 / hz / 60 }"
    kill -TERM $svc; wait $svc 2>/dev/null
    kill $holder 2>/dev/null; wait $holder 2>/dev/null
  ' _ "$pause" "$exe"
else
  echo "CPU while paused: not measured (needs unshare -n and the first run's install)"
fi
rm -rf "$work"
