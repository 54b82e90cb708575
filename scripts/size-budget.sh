#!/usr/bin/env bash
# The flash budgets of the static musl daemon a router ships, in bytes: the
# one place they are written. Sourced by scripts/test.sh (stages musl and
# musl-cross), scripts/build-musl.sh and bench/binary-sizes.sh; run alone,
# it checks the builds that are there.
# Usage: scripts/size-budget.sh [preset...]   (default: the three musl-static presets)
declare -A size_budget=([musl-static]=98304 [armhf-musl-static]=65536 [mipsel-musl-static]=114688)

# Prints the stripped daemon's size against its budget; fails past it.
check_size_budget() {  # preset
  local file=build/$1/plugsup size
  size=$(stat -c %s "$file") || return 1
  if [ "$size" -gt "${size_budget[$1]}" ]; then
    echo "size: $file $size bytes, over its budget of ${size_budget[$1]} bytes"
    return 1
  fi
  echo "size: $file $size bytes, budget ${size_budget[$1]} bytes ($((size_budget[$1] - size)) to spare)"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  presets=("$@")
  [ $# -gt 0 ] || presets=(musl-static armhf-musl-static mipsel-musl-static)
  status=0
  for preset in "${presets[@]}"; do check_size_budget "$preset" || status=1; done
  exit "$status"
fi
