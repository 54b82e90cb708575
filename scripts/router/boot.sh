#!/usr/bin/env bash
# Boots an emulated router built by build-image.sh, its console written to a
# log, its data medium an image file that persists across boots (made on
# first use). qemu ends when the router powers off or reboots (-no-reboot);
# ending qemu with SIGKILL is a power cut.
#
# Usage: scripts/router/boot.sh mipsel|armhf [options]
#   --disk FILE      ../data/ on ext4 on this disk image (made when missing)
#   --flash FILE     mipsel: ../data/ on jffs2 on this 4 MiB NOR flash image
#   --log FILE       the console (default build/router/<arch>/console.log)
#   --append TEXT    more for the kernel's command line (router.mode=...)
#   --icount         qemu's instruction counting (-icount shift=auto,sleep=off):
#                    no stalls of the emulated timer, and idle waits skipped
#   --pidfile FILE   qemu's pid, for the power cut
#   --timeout S      qemu is killed after S seconds (default 900)
#   --foreground     the console on this terminal instead of a log
#
# Disks use cache=writethrough: the guest sees a device without a volatile
# write cache, and what qemu has written when it is killed stays in the
# image, so SIGKILL loses exactly what the guest had not written yet.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
arch=${1:?usage: boot.sh mipsel|armhf [options]}
shift
disk='' flash='' log=$top/build/router/$arch/console.log append='' icount=() pidfile=''
timeout=900 foreground=0
while [ $# -gt 0 ]; do
  case $1 in
    --disk) disk=$2; shift 2 ;;
    --flash) flash=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --append) append=$2; shift 2 ;;
    --icount) icount=(-icount shift=auto,sleep=off); shift ;;
    --pidfile) pidfile=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --foreground) foreground=1; shift ;;
    *) echo "boot.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
image=$top/build/router/$arch
[ -s "$image/initrd.gz" ] || { echo "boot.sh: no image; run scripts/router/build-image.sh $arch" >&2; exit 1; }
[ -n "$disk$flash" ] || disk=$image/data.img
if [ -n "$disk" ] && [ ! -s "$disk" ]; then
  truncate -s 64M "$disk"
  mkfs.ext4 -q -F -L data "$disk"
fi
if [ -n "$flash" ] && [ ! -s "$flash" ]; then
  # Erased NOR reads as 0xff: jffs2 mounts it as an empty file system.
  head -c 4194304 /dev/zero | tr '\0' '\377' >"$flash"
fi
medium=ext4
drives=()
case $arch in
  mipsel)
    machine=(qemu-system-mipsel -M malta -m 256 -vga none)
    console=ttyS0
    [ -z "$disk" ] || drives+=(-drive "if=none,file=$disk,format=raw,cache=writethrough,id=data"
                                 -device virtio-blk-pci,drive=data)
    if [ -n "$flash" ]; then
      drives+=(-drive "if=pflash,file=$flash,format=raw,cache=writethrough")
      medium=jffs2
    fi ;;
  armhf)
    [ -z "$flash" ] || { echo "boot.sh: --flash is for mipsel (malta's NOR)" >&2; exit 2; }
    machine=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 256)
    console=ttyAMA0
    drives+=(-drive "if=none,file=$disk,format=raw,cache=writethrough,id=data"
             -device virtio-blk-device,drive=data) ;;
  *) echo "boot.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ $foreground = 1 ]; then serial=(-serial mon:stdio); else serial=(-serial "file:$log"); fi
: >"$log"
pid_option=()
[ -z "$pidfile" ] || pid_option=(-pidfile "$pidfile")
exec timeout -s KILL "$timeout" "${machine[@]}" -nodefaults -display none "${serial[@]}" -no-reboot \
  "${icount[@]}" "${pid_option[@]}" -kernel "$image/kernel" -initrd "$image/initrd.gz" \
  -append "console=$console panic=1 router.medium=$medium $append" "${drives[@]}"
