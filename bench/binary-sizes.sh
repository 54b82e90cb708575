#!/usr/bin/env bash
# Prints the stripped size of the daemon for x86-64, armhf and mipsel, as the
# default build, the size-optimised build (preset "size"), the fully static
# build (preset "static") and the static musl build (presets musl-static,
# armhf-musl-static, mipsel-musl-static), as a Markdown table. Builds only the
# daemon, under build/sizes/ (the musl ones under build/<preset>/). The last
# row is the static musl daemon's flash budget (scripts/size-budget.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/size-budget.sh
./scripts/setup.sh
./scripts/setup-cross.sh

targets=(x86_64 armhf mipsel)
declare -A toolchain=([x86_64]="" [armhf]=cmake/toolchains/armhf.cmake
                      [mipsel]=cmake/toolchains/mipsel.cmake)
declare -A strip_tool=([x86_64]=strip [armhf]=arm-linux-gnueabihf-strip
                       [mipsel]=mipsel-linux-gnu-strip)
size_flags=(-DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
            "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections"
            "-DCMAKE_CXX_FLAGS=-ffunction-sections -fdata-sections"
            "-DCMAKE_EXE_LINKER_FLAGS=-s -Wl,--gc-sections -Wl,-z,max-page-size=0x1000")

# build <dir> <target> <cmake arguments...>: prints the stripped size in bytes.
build() {
  local dir=build/sizes/$1 target=$2
  shift 2
  cmake -S . -B "$dir" -DPLUGSUP_BUILD_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    ${toolchain[$target]:+-DCMAKE_TOOLCHAIN_FILE="$PWD/${toolchain[$target]}"} "$@" >/dev/null
  cmake --build "$dir" -j2 --target plugsup >/dev/null
  "${strip_tool[$target]}" -o "$dir/plugsup.stripped" "$dir/plugsup"
  stat -c %s "$dir/plugsup.stripped"
}

echo "| build | x86-64 | armhf | mipsel |"
echo "|---|---|---|---|"
row_default="| default (RelWithDebInfo) |"
row_size="| size-optimised (preset size) |"
row_static="| fully static (preset static) |"
row_musl="| static musl (presets *musl-static) |"
row_budget="| budget of the static musl build |"
for target in "${targets[@]}"; do
  ./scripts/build-static-cjson.sh "$target" ${toolchain[$target]:+"$PWD/${toolchain[$target]}"} \
    >/dev/null
  kib() { awk -v bytes="$1" 'BEGIN {printf "%.1f KiB", bytes / 1024}'; }
  row_default+=" $(kib "$(build "$target-default" "$target" -DCMAKE_BUILD_TYPE=RelWithDebInfo)") |"
  row_size+=" $(kib "$(build "$target-size" "$target" "${size_flags[@]}")") |"
  row_static+=" $(kib "$(PKG_CONFIG_LIBDIR=$PWD/build/cjson-static/$target/lib/pkgconfig \
    build "$target-static" "$target" "${size_flags[@]}" -DPLUGSUP_STATIC=ON)") |"
  musl_preset=$([ "$target" = x86_64 ] && echo musl-static || echo "$target-musl-static")
  ./scripts/build-static-cjson.sh "$target-musl" >/dev/null
  cmake --preset "$musl_preset" >/dev/null
  cmake --build "build/$musl_preset" -j2 --target plugsup >/dev/null
  row_musl+=" $(kib "$(stat -c %s "build/$musl_preset/plugsup")") |"  # stripped by the preset
  row_budget+=" $(kib "${size_budget[$musl_preset]}") |"
done
printf '%s\n' "$row_default" "$row_size" "$row_static" "$row_musl" "$row_budget"
