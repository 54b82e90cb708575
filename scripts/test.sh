#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the plain build and
# the sanitizer builds (ASan+UBSan, TSan), plus the formatting check and
# static analysis.
# Usage: scripts/test.sh [preset...]   (default: default asan-ubsan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan-ubsan tsan)

./scripts/check-format.sh
./scripts/check-layout.sh

for preset in "${presets[@]}"; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2
  ctest --test-dir "build/$preset" -j2 --output-on-failure --timeout 300
  if [ "$preset" = default ]; then ./scripts/lint.sh; fi
done
