#!/usr/bin/env bash
# Builds the kernel's own "physmap" MTD driver, with its device-tree probe, as
# a module for Debian's 4kc-malta kernel, which ships without it: malta's NOR
# flash is then an MTD device that jffs2 mounts. Sources from linux-source-6.1,
# the kernel's headers and kbuild fetched with apt-get download into the
# package cache and unpacked, nothing installed. Prints the module's path.
# Usage: scripts/router/build-physmap.sh RELEASE DEBS_DIR OUT_DIR
set -euo pipefail
release=$1 debs=$2 out=$3
work=$(realpath -m "$out/physmap")
module=$work/physmap.ko
[ -s "$module" ] && { echo "$module"; exit 0; }
rm -rf "$work/tree" && mkdir -p "$work/tree" "$work/src"
abi=${release%-4kc-malta}
series=${release%%.0-*}   # 6.1
source "$(dirname "${BASH_SOURCE[0]}")/fetch.sh"
for package in "linux-headers-$release:mipsel" "linux-headers-$abi-common" \
               "linux-kbuild-$series:$(dpkg --print-architecture)" "linux-source-$series"; do
  [ "${package%%-[0-9]*}" != linux-source ] || [ ! -s "$work/src/physmap-core.c" ] || continue
  dpkg-deb -x "$(fetch "$package")" "$work/tree"
done
# The headers name each other by absolute path.
grep -rlZ /usr/src/ "$work/tree/usr/src/linux-headers-$release" --include=Makefile |
  xargs -0 -r sed -i "s#/usr/src/#$work/tree/usr/src/#g"
if [ ! -s "$work/src/physmap-core.c" ]; then
  tarball=$(ls "$work/tree/usr/src/linux-source-$series.tar."* | head -n 1)
  tar -xf "$tarball" -C "$work" --wildcards "linux-source-$series/drivers/mtd/maps/physmap-*"
  cp "$work/linux-source-$series/drivers/mtd/maps/"physmap-* "$work/src/"
fi
# The device table is only for loading by alias, which insmod does not need,
# and the host's modpost rejects it for this target.
sed -i '/MODULE_DEVICE_TABLE/d' "$work/src/physmap-core.c"
cat >"$work/src/Kbuild" <<'KBUILD'
ccflags-y += -DCONFIG_MTD_PHYSMAP_OF=1
obj-m += physmap.o
physmap-y := physmap-core.o
KBUILD
make -s -C "$work/tree/usr/src/linux-headers-$release" M="$work/src" ARCH=mips \
  CROSS_COMPILE=mipsel-linux-gnu- KBUILD_MODPOST_WARN=1 modules >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }
cp "$work/src/physmap.ko" "$module"
echo "$module"
