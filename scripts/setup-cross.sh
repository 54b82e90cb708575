#!/usr/bin/env bash
# Installs what the cross builds and their emulated tests need on a Debian 12
# machine: Debian's cross compilers, qemu-user, the targets' libraries as
# multiarch packages, and for the other portability stages busybox, musl
# (its headers, start files and C library for x86-64, armhf and mipsel; the
# armhf and mipsel ones install arm-linux-musleabihf-gcc and mipsel-linux-musl-gcc
# with headers under /usr/include/<musl triplet>) and dpkg-dev (the source
# package of cJSON), and for the emulated routers (scripts/router/) qemu's
# full-system emulators, cpio and the ext4 tools; the routers' kernels and
# busybox are fetched by scripts/router/build-image.sh with apt-get download.
# Idempotent, and silent when everything is already there.
set -euo pipefail

targets=(armhf armel mipsel)
native_packages=(g++-arm-linux-gnueabihf g++-arm-linux-gnueabi g++-mipsel-linux-gnu qemu-user
                 busybox musl-dev musl-tools dpkg-dev
                 qemu-system-mips qemu-system-arm cpio kmod e2fsprogs xz-utils make bc)
target_packages=(libcjson-dev libgtest-dev libstdc++6 libatomic1)
musl_targets=(armhf mipsel)

native=$(dpkg --print-architecture)
installed() {  # package architecture
  dpkg-query -W -f='${Architecture} ${Status}\n' "$1:$2" 2>/dev/null |
    grep -Eq "^($2|all) install ok installed" ||
    dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
    grep -Eq "^all install ok installed"
}

missing=()
for package in "${native_packages[@]}"; do
  installed "$package" "$native" || missing+=("$package:$native")
done
for arch in "${targets[@]}"; do
  for package in "${target_packages[@]}"; do
    installed "$package" "$arch" || missing+=("$package:$arch")
  done
done
for arch in "${musl_targets[@]}"; do
  installed musl-dev "$arch" || missing+=("musl-dev:$arch")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup-cross: installing ${missing[*]}"
apt_who=setup-cross
source "$(dirname "$0")/apt.sh"
foreign=$(dpkg --print-foreign-architectures)
for arch in "${targets[@]}"; do
  grep -qx "$arch" <<<"$foreign" || "${apt_sudo[@]}" dpkg --add-architecture "$arch"
done
apt_update
apt_install "${missing[@]}"
