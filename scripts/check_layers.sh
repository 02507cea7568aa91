#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own (or a sideways layer it
# may not use). The build enforces the same through per-layer include folders; this names the file.
set -uo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]="platform"
  [logging]="platform logging"
  [volume]="platform logging volume"
  [sim]="platform logging volume sim"
  [config]="platform logging volume config"
  [monitor]="platform logging monitor"
  [engine]="platform logging volume sim config monitor engine"
  [service]="platform logging volume sim config monitor engine service"
  [ntfs]="platform logging volume ntfs"
  [agent]="platform logging monitor agent"
)
bad=0
while IFS= read -r file; do
  layer=$(echo "$file" | cut -d/ -f2)
  ok=${allowed[$layer]:-}
  [ -n "$ok" ] || { echo "$file: unknown layer '$layer'"; bad=1; continue; }
  while IFS= read -r inc; do
    target=${inc%%/*}
    [ -d "src/$target" ] || continue
    case " $ok " in *" $target "*) ;; *) echo "$file: includes $inc (layer '$target' is not under '$layer')"; bad=1 ;; esac
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" | grep / || true)
done < <(find src -name '*.h' -o -name '*.cpp' | sort)
[ "$bad" -eq 0 ] && echo "layers: no upward include"
exit "$bad"
