#!/usr/bin/env bash
# Compiles a plugin against the installed SDK (a DESTDIR install of the dev
# component, found through its pkg-config file) as strict C99, C11 and C17 and
# as C++11 to C++20, with -Wall -Wextra -Werror -pedantic, under gcc and clang
# and with the armhf cross compiler, and runs each build (the armhf ones under
# qemu-user). Also checks that the header refuses, with its own message, to
# follow a system header in a strict mode. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/setup-cross.sh

build=$PWD/build/sdk
root=$build/root
fail() {
  echo "check-sdk: FAILED: $*"
  exit 1
}

rm -rf "$root" "${build:?}/bin"
mkdir -p "$build/bin"
cmake -S . -B "$build" -DBUILD_TESTING=OFF >/dev/null
DESTDIR=$root cmake --install "$build" --prefix /usr --component dev >/dev/null
[ -f "$root/usr/include/plugsup/plugin.h" ] || fail "the dev component lacks the header"
export PKG_CONFIG_PATH=$root/usr/share/pkgconfig
cflags=$(pkg-config --cflags plugsup-plugin) || fail "pkg-config finds no plugsup-plugin"
version=$(pkg-config --modversion plugsup-plugin)
# shellcheck disable=SC2206
flags=(-Wall -Wextra -Werror -pedantic $cflags "-DEXPECTED_VERSION=\"$version\"")
source=tests/sdk/strict_plugin.c

compilers=("gcc g++" "clang clang++" "arm-linux-gnueabihf-gcc arm-linux-gnueabihf-g++")
builds=0
for pair in "${compilers[@]}"; do
  read -r cc cxx <<<"$pair"
  emulator=()
  case $cc in arm-*) emulator=(qemu-arm -L /) ;; esac
  for mode in c99 c11 c17 c++11 c++14 c++17 c++20; do
    case $mode in c++*) compiler=(env "$cxx" -x c++) ;; *) compiler=(env "$cc") ;; esac
    binary=$build/bin/$cc-$mode
    "${compiler[@]}" "-std=$mode" "${flags[@]}" -o "$binary" "$source" ||
      fail "$cc -std=$mode does not compile $source"
    out=$("${emulator[@]}" "$binary" -r 3 -Z future -d) || fail "$cc -std=$mode: the plugin fails: $out"
    [ "$out" = "$version restarted after an exit status or signal of that number" ] ||
      fail "$cc -std=$mode: the plugin says: $out"
    builds=$((builds + 1))
  done
done

# After a system header, strict modes no longer get the POSIX interfaces: the
# header must say so itself, and an explicit _POSIX_C_SOURCE must satisfy it.
late=$build/late.c
printf '#include <stdio.h>\n#include <plugsup/plugin.h>\nint main(void) { return 0; }\n' >"$late"
for cc in gcc clang; do
  errors=$("$cc" -std=c11 "${flags[@]}" -fsyntax-only "$late" 2>&1) &&
    fail "$cc -std=c11 accepts the header after <stdio.h>"
  grep -q 'include it before any system header' <<<"$errors" ||
    fail "$cc: no clear message for the header after <stdio.h>: $errors"
  "$cc" -std=c11 -D_POSIX_C_SOURCE=200809L "${flags[@]}" -fsyntax-only "$late" ||
    fail "$cc: the header after <stdio.h> with _POSIX_C_SOURCE"
  "$cc" -std=gnu11 "${flags[@]}" -fsyntax-only "$late" || fail "$cc: the header after <stdio.h>, gnu11"
done
echo "check-sdk: ok: $builds strict builds of a plugin against the installed SDK $version (${compilers[*]})"
