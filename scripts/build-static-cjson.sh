#!/usr/bin/env bash
# Builds a static cJSON for fully static daemons (Debian ships only the shared
# library): from Debian's own source package of the archive this machine
# uses, never from a copy kept in the repository. Installs it into
# build/cjson-static/<name>/ (lib/libcjson.a, lib/pkgconfig/libcjson.pc, the
# headers). Does nothing when that is there already.
# Usage: scripts/build-static-cjson.sh [name [toolchain file]]   (default: x86_64)
# A musl name (x86_64-musl, armhf-musl, mipsel-musl) takes its toolchain
# file, cmake/toolchains/<name>.cmake, unless one is given.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-x86_64}
toolchain=${2:-}
c_flags="-ffunction-sections -fdata-sections"
if [[ $name == *-musl ]]; then
  [ -n "$toolchain" ] || toolchain=$PWD/cmake/toolchains/$name.cmake
  # The shipping musl builds link it with LTO: the daemon's calls decide what stays.
  c_flags+=" -flto"
fi
prefix=$PWD/build/cjson-static/$name
[ -f "$prefix/lib/libcjson.a" ] && exit 0
apt_who=build-static-cjson
source scripts/apt.sh

# Source lines for the same archive, suites and keys as the binary ones.
binary_sources=/etc/apt/sources.list.d/debian.sources
source_sources=/etc/apt/sources.list.d/debian-src.sources
if ! grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; then
  sed 's/^Types: deb$/Types: deb-src/' "$binary_sources" | "${apt_sudo[@]}" tee "$source_sources" >/dev/null
  apt_update
fi

source_root=$PWD/build/cjson-source
if ! compgen -G "$source_root/cjson-*/CMakeLists.txt" >/dev/null; then
  rm -rf "$source_root" && mkdir -p "$source_root"
  # Once more after an update: the one that added the source lines may have
  # met a mirror in the middle of a sync.
  fetch_source() { (cd "$source_root" && apt-get "${apt_options[@]}" source -qq cjson >/dev/null 2>&1); }
  fetch_source || { apt_update && fetch_source; } ||
    { echo "build-static-cjson: apt-get source cjson failed"; exit 1; }
fi
source_dir=$(compgen -G "$source_root/cjson-*/CMakeLists.txt" | head -n 1 | xargs dirname)

work=$PWD/build/cjson-static/$name-build
cmake -S "$source_dir" -B "$work" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="$c_flags" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_SHARED_AND_STATIC_LIBS=OFF -DENABLE_CJSON_TEST=OFF \
  -DENABLE_CJSON_UTILS=OFF -DENABLE_CUSTOM_COMPILER_FLAGS=OFF -DCMAKE_INSTALL_LIBDIR=lib \
  -DCMAKE_INSTALL_PREFIX="$prefix" -Wno-deprecated >/dev/null
cmake --build "$work" -j2 >/dev/null
cmake --install "$work" >/dev/null
echo "build-static-cjson: $prefix/lib/libcjson.a"
