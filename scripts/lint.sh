#!/usr/bin/env bash
# Static analysis of the daemon's sources: cppcheck and clang-tidy (with the
# checks in .clang-tidy). Needs a configured build/default for the compile
# commands.
set -euo pipefail
cd "$(dirname "$0")/.."
cppcheck --enable=warning,performance,portability --std=c++20 --inline-suppr --quiet \
  --error-exitcode=1 -I src src
status=0
# One clang-tidy per core: it is the slowest check of the default stage.
report=$(printf '%s\n' src/*/*.cpp |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build/default --quiet 2>&1) || status=$?
grep -v 'warnings generated' <<<"$report" || true
exit "$status"
