#!/usr/bin/env bash
# Builds the daemon a router ships: fully static against musl, size-optimised
# and stripped, for x86-64, armhf and mipsel (presets musl-static,
# armhf-musl-static, mipsel-musl-static), each with its static cJSON.
# Prints where each one is and its size against its budget; fails when one is
# over it (scripts/size-budget.sh).
# Usage: scripts/build-musl.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/size-budget.sh
./scripts/setup.sh
./scripts/setup-cross.sh
status=0
for target in x86_64 armhf mipsel; do
  preset=$([ "$target" = x86_64 ] && echo musl-static || echo "$target-musl-static")
  ./scripts/build-static-cjson.sh "$target-musl" >/dev/null
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2 >/dev/null
  echo "build-musl: build/$preset/plugsup ($target)"
  check_size_budget "$preset" || status=1
done
exit "$status"
