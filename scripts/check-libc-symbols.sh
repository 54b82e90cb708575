#!/usr/bin/env bash
# Portability check: every C library function the daemon calls must also exist
# in musl (as on routers that do not use glibc). Builds the daemon without
# _FORTIFY_SOURCE (whose checked variants only glibc has) and compares its
# undefined dynamic symbols, versions stripped, with what musl's libc.a
# defines (musl-dev). cJSON's own symbols come from cJSON, whatever the C library.
# Usage: scripts/check-libc-symbols.sh [build directory]   (default build/libc-check)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/libc-check}
musl_libc=/usr/lib/$(gcc -dumpmachine | sed s/-gnu$/-musl/)/libc.a
[ -f "$musl_libc" ] || { echo "check-libc-symbols: $musl_libc missing (musl-dev)"; exit 1; }

CFLAGS=-U_FORTIFY_SOURCE CXXFLAGS=-U_FORTIFY_SOURCE \
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUGSUP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target plugsup >/dev/null

needed=$(nm -D --undefined-only "$build/plugsup" | awk '$1 == "U" {sub(/@.*/, "", $2); print $2}' |
         grep -v '^cJSON_' | sort -u)
provided=$(nm --defined-only "$musl_libc" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TWDRBVi]$/ {print $3}' |
           sort -u)
missing=$(comm -23 <(echo "$needed") <(echo "$provided"))
if [ -n "$missing" ]; then
  echo "check-libc-symbols: not in musl's C library:"
  sed 's/^/  /' <<<"$missing"
  exit 1
fi
echo "check-libc-symbols: all $(wc -l <<<"$needed") C library symbols of the daemon are in musl"
