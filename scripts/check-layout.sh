#!/usr/bin/env bash
# Fails when a folder of src/ includes a folder above it: includes run one way,
# app -> startup -> supervision -> plugin_data -> core -> util.
set -euo pipefail
cd "$(dirname "$0")/.."
floors=(app checker status startup supervision plugin_data core util)
rank() { local i; for i in "${!floors[@]}"; do [ "${floors[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
status=0
for file in $(git ls-files -co --exclude-standard -- 'src/*.h' 'src/*.cpp'); do
  folder=$(basename "$(dirname "$file")")
  own=$(rank "$folder")
  [ "$own" -ge 0 ] || { echo "$file: folder $folder has no place in the layout"; status=1; continue; }
  while read -r included; do
    target=$(rank "$included")
    if [ "$target" -lt "$own" ] || { [ "$target" -eq "$own" ] && [ "$included" != "$folder" ]; }; then
      echo "$file includes $included/, which sits above $folder/"
      status=1
    fi
  done < <(sed -n 's|^#include "\([a-z_]*\)/.*|\1|p' "$file")
done
exit "$status"
