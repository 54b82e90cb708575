#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian 12 machine.
# Idempotent, and silent when everything is already there.
set -euo pipefail

packages=(g++ clang libclang-rt-14-dev cmake make pkg-config libcjson-dev googletest libgtest-dev
          libgmock-dev psmisc tar gzip util-linux binutils clang-format clang-tidy cppcheck
          man-db groff-base dpkg-dev lintian git stress-ng)

# Asked for by native name: with foreign architectures added (cross builds), a
# bare name would also match the target's library packages.
native=$(dpkg --print-architecture)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Architecture} ${Status}\n' "$package" 2>/dev/null |
    grep -Eq "^($native|all) install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
apt_who=setup
source "$(dirname "$0")/apt.sh"
apt_update
apt_install "${missing[@]}"
