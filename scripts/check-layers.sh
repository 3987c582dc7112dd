#!/usr/bin/env bash
# Checks that every project include in src/ and tools/ points to its own layer or one below.
# The allowed directions are written once, here. Exit 1 and a list of offending lines when
# an include points upward or sideways.
#   scripts/check-layers.sh [source-root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# layer: the layers (top-level folders under src/, "client" for tools/client, "load" for
# tools/load) it may include
declare -A allowed=(
  [common]="common"
  [storage]="common storage"
  [model]="common storage model"
  [transport]="common transport"
  [vserver]="common storage model transport vserver"
  [admin]="common storage model transport vserver admin"
  [weblist]="common storage model transport vserver weblist"
  [host]="common storage model transport vserver admin weblist host"
  [shell]="common storage model transport vserver admin weblist host shell"
  [client]="common transport client"
  [load]="common transport client load"
)

status=0
while IFS= read -r file; do
  case "$file" in
    src/*) layer=${file#src/}; layer=${layer%%/*} ;;
    tools/client/*) layer=client ;;
    tools/load/*) layer=load ;;
    *) continue ;;
  esac
  if [[ -z ${allowed[$layer]+x} ]]; then
    echo "$file: folder '$layer' has no entry in scripts/check-layers.sh"
    status=1
    continue
  fi
  while IFS= read -r line; do
    target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"/]+)\/.*$/\1/' <<<"$line")
    [[ "$target" == "$line" ]] && continue  # an include without a folder: local to the file
    if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
      echo "$file:${line%%:*}: layer '$layer' must not include '$target' (${line#*:})"
      status=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" || true)
done < <(find src tools -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if [[ $status -eq 0 ]]; then echo "layer includes: all point downward"; fi
exit $status
