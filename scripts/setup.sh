#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian 12 machine.
# Idempotent, and silent when everything is already there.
set -euo pipefail

packages=(g++ clang libclang-rt-14-dev cmake make pkg-config libcjson-dev googletest libgtest-dev
          libgmock-dev psmisc tar gzip util-linux binutils clang-format clang-tidy cppcheck
          man-db groff-base dpkg-dev lintian git)

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
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
