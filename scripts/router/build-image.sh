#!/usr/bin/env bash
# Builds the emulated router of one architecture from Debian's packages:
#   mipsel  qemu's malta board, Debian's 4kc-malta kernel; ../data/ on ext4 on
#           a virtio disk, or on jffs2 on the board's NOR flash (the physmap
#           driver built here from Debian's kernel source)
#   armhf   qemu's virt board, Debian's armmp kernel; ../data/ on ext4
# The image is a kernel and an initramfs: busybox-static as /init with an
# inittab that starts the supervisor with the line of
# packaging/inittab/plugsup.inittab, the static musl daemon, plugsup-status,
# the SDK's example plugin (probe) and the test program (tester) in
# /opt/plugsup, and /tmp a tmpfs. Packages of the foreign architecture are
# fetched with apt-get download and unpacked with dpkg-deb -x, never
# installed. Output: build/router/<arch>/{kernel,initrd.gz}.
# Usage: scripts/router/build-image.sh mipsel|armhf
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=${1:?usage: build-image.sh mipsel|armhf}
case $arch in
  mipsel) flavour=4kc-malta triplet=mipsel-linux-gnu musl_gcc=mipsel-linux-musl-gcc
          modules=(virtio_pci virtio_blk crc32c_generic ext4 jffs2 cfi_probe cfi_cmdset_0001 ofpart) ;;
  armhf) flavour=armmp triplet=arm-linux-gnueabihf musl_gcc=arm-linux-musleabihf-gcc
         modules=(virtio_mmio virtio_blk crc32c_generic ext4) ;;
  *) echo "build-image: unknown architecture $arch" >&2; exit 2 ;;
esac
top=$PWD
out=$top/build/router/$arch
debs=$top/build/router/debs
mkdir -p "$out" "$debs"
log() { echo "build-image($arch): $*"; }

./scripts/setup.sh >/dev/null
./scripts/setup-cross.sh >/dev/null

# The kernel the metapackage stands for today, e.g. 6.1.0-28. Package lists
# older than the foreign architecture know nothing of it: updated once then.
kernel_of() {
  apt-cache depends "linux-image-$flavour:$arch" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-6\.[0-9.]*-[0-9]*-'"$flavour"'\).*/\1/p' | head -n 1
}
kernel_package=$(kernel_of)
if [ -z "$kernel_package" ]; then
  apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 || true
  kernel_package=$(kernel_of)
fi
[ -n "$kernel_package" ] || { echo "build-image: no linux-image-$flavour for $arch" >&2; exit 1; }
release=${kernel_package#linux-image-}
source "$(dirname "${BASH_SOURCE[0]}")/fetch.sh"
log "kernel $release"
unpacked=$out/packages
rm -rf "$unpacked" && mkdir -p "$unpacked"
for deb in $(fetch "$kernel_package:$arch" "busybox-static:$arch"); do
  dpkg-deb -x "$deb" "$unpacked"
done
kernel=$(ls "$unpacked/boot/vmlinuz-$release")
cp "$kernel" "$out/kernel"

# The daemon as a router ships it, plugsup-status beside it.
./scripts/build-static-cjson.sh "$arch-musl" >/dev/null
cmake --preset "$arch-musl-static" >/dev/null
cmake --build "build/$arch-musl-static" -j2 --target plugsup plugsup-status >/dev/null

root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/sbin,etc,proc,sys,dev,tmp,lib/modules,opt/plugsup,opt/data,opt/router/payload/A,opt/router/payload/B,usr/bin}
cp "$unpacked/bin/busybox" "$root/bin/busybox"
ln -s bin/busybox "$root/init"
ln -s busybox "$root/bin/sh"
cp "build/$arch-musl-static/plugsup" "$root/opt/plugsup/plugsup"
cp "build/$arch-musl-static/plugsup-status" "$root/usr/bin/plugsup-status"
"$musl_gcc" -static -Os -s -Wall -Wextra -Werror -Iinclude -o "$root/opt/plugsup/probe" examples/probe.c
"$musl_gcc" -static -Os -s -Wall -Wextra -Werror -o "$root/opt/router/cutter" \
  scripts/router/guest/cutter.c
"$musl_gcc" -static -Os -s -Wall -Wextra -Werror -o "$root/opt/router/bare_loop" bench/bare_loop.c
"$musl_gcc" -static -Os -s -Wall -Wextra -Werror -pthread -o "$root/opt/router/floor" bench/floor.c
cp scripts/router/guest/tester "$root/opt/plugsup/tester"
cp scripts/router/guest/config "$root/opt/plugsup/config"
cp scripts/router/guest/rc.sh "$root/etc/rc.sh"
chmod 755 "$root/opt/plugsup/"{plugsup,probe,tester} "$root/etc/rc.sh"

# Two versions of a plugin set, every file stamped with its version and
# filled with bytes from a generator started from a fixed number (so a rebuilt image still knows
# the files of a data medium that an older one wrote), and two init.bin.
filler() {  # starting number, bytes
  awk -v start="$1" -v n="$2" 'BEGIN {
    srand(start); a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    for (i = 0; i < n; i++) { printf "%s", substr(a, int(rand() * 64) + 1, 1); if (i % 76 == 75) print "" }
    print "" }'
}
for version in A B; do
  first=$([ $version = A ] && echo 1000 || echo 2000)
  for n in 1 2 3 4 5 6 7 8; do
    { echo "version $version file f$n"; filler $((first + n)) $((16384 + n * 1024))
      echo "end of version $version file f$n"; } >"$root/opt/router/payload/$version/f$n"
  done
  { echo "init.bin version $version"; filler $((first + 99)) 65536; echo "end of init.bin $version"; } \
    >"$root/opt/router/init-$version.bin"
done
# Four programs, as a router runs them: probe2 and probe3 are the example
# plugin under other names.
cp "$root/opt/plugsup/probe" "$root/opt/plugsup/probe2"
cp "$root/opt/plugsup/probe" "$root/opt/plugsup/probe3"

{
  echo "::sysinit:/etc/rc.sh"
  grep '^::respawn:' packaging/inittab/plugsup.inittab
  # A shell on the console for whoever boots it by hand (boot.sh --foreground).
  echo "::askfirst:-/bin/sh"
  echo "::ctrlaltdel:/sbin/reboot"
} >"$root/etc/inittab"

# Just the modules the router needs, in the order depmod gives (a module's
# dependencies before it); built-in ones need nothing.
moddir=$unpacked/lib/modules/$release
extra=()
if [ "$arch" = mipsel ]; then
  extra=("$(scripts/router/build-physmap.sh "$release" "$debs" "$out")")
  mkdir -p "$moddir/extra"
  cp "${extra[0]}" "$moddir/extra/"
  modules+=(physmap)
fi
find "$moddir" -name '*.ko.xz' -exec xz -d -f {} +
depmod -b "$unpacked" "$release"
: >"$root/etc/modules.order"
declare -A loaded=()
add_module() {
  local path=$1 dependency
  [ -z "${loaded[$path]:-}" ] || return 0
  for dependency in $(sed -n "s#^$path:##p" "$moddir/modules.dep"); do add_module "$dependency"; done
  loaded[$path]=1
  cp "$moddir/$path" "$root/lib/modules/"
  basename "$path" >>"$root/etc/modules.order"
}
for module in "${modules[@]}"; do
  path=$(grep -E "(^|/)${module//_/[_-]}\.ko:" "$moddir/modules.dep" | cut -d: -f1 | head -n 1)
  if [ -n "$path" ]; then
    add_module "$path"
  elif ! grep -Eq "/${module//_/[_-]}\.ko$" "$moddir/modules.builtin"; then
    echo "build-image: module $module is neither in the package nor built in" >&2
    exit 1
  fi
done
log "modules: $(tr '\n' ' ' <"$root/etc/modules.order")"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 | gzip -9) >"$out/initrd.gz"
log "$out/kernel ($(stat -c %s "$out/kernel") bytes), $out/initrd.gz ($(stat -c %s "$out/initrd.gz") bytes)"
