#!/usr/bin/env bash
# Builds the release packages (the .debs plugsup and plugsup-dev, and the
# .tar.gz) in build/package/ and checks them: lintian, control fields,
# contents, man pages, DESTDIR and --strip installs, and the packaged daemon
# running the packaged sample programs from a scratch root inside private mount
# and PID namespaces (so the host's /tmp and processes are never touched). Also
# builds the armhf .deb in build/package-armhf/ and checks it with lintian and
# its library dependencies. Needs root for the namespaces. Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/setup-cross.sh

build=build/package
fail() {
  echo "check-package: FAILED: $*"
  exit 1
}
ok() { echo "check-package: ok: $*"; }

# --- build --------------------------------------------------------------
rm -rf "$build/packages" "$build/root" "$build/destdir" "$build/run"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || fail "no package version in $build/CPackConfig.cmake"
(cd "$build" && cpack -B "$PWD/packages" >/dev/null) || fail "cpack"
debs=("$build"/packages/plugsup_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "expected one plugsup_${version}_<arch>.deb"; fi
deb=${debs[0]}
dev_deb=$build/packages/plugsup-dev_${version}_all.deb
[ -f "$dev_deb" ] || fail "expected $dev_deb"
tarballs=("$build"/packages/plugsup-"$version"-*.tar.gz)
if [ ${#tarballs[@]} -ne 1 ] || [ ! -f "${tarballs[0]}" ]; then fail "expected one plugsup-$version-*.tar.gz"; fi
ok "built $(basename "$deb"), $(basename "$dev_deb") and $(basename "${tarballs[0]}")"

grep -q "^## $version " CHANGELOG.md || fail "CHANGELOG.md has no entry for $version"

# --- lintian: no error on any package (warnings and notes are printed) -----
lint() {
  local report status=0
  report=$(lintian --fail-on error --tag-display-limit 0 "$@" 2>&1) || status=$?
  report=$(grep -v '^running with root privileges' <<<"$report" || true)
  [ "$status" -eq 0 ] || fail "lintian: $report"
  [ -z "$report" ] || echo "$report"
}
lint "$deb" "$dev_deb"
ok "lintian finds no error in $(basename "$deb") and $(basename "$dev_deb")"

# --- control fields -----------------------------------------------------
# The field of a package; the Depends alternatives one a line.
field() { dpkg-deb -f "$1" "$2"; }
depends_on() {  # package dependency...
  local package=$1 dependency
  shift
  for dependency in "$@"; do
    field "$package" Depends | tr ',' '\n' | sed 's/ *([^)]*)//g; s/^ *//; s/ *$//' |
      grep -Fxq "$dependency" ||
      fail "$(basename "$package"): Depends lacks $dependency: $(field "$package" Depends)"
  done
}
[ "$(field "$deb" Package)" = plugsup ] || fail "Package: $(field "$deb" Package)"
[ "$(field "$deb" Version)" = "$version" ] || fail "Version: $(field "$deb" Version)"
[ "$(field "$deb" Section)" = admin ] || fail "Section: $(field "$deb" Section)"
grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' <<<"$(field "$deb" Maintainer)" ||
  fail "Maintainer has no address: $(field "$deb" Maintainer)"
# From the binaries (none needs libstdc++: they use only header-only C++);
# killall from either package.
depends_on "$deb" libc6 libcjson1 'psmisc | busybox'
[ "$(field "$dev_deb" Package)" = plugsup-dev ] || fail "Package: $(field "$dev_deb" Package)"
[ "$(field "$dev_deb" Architecture)" = all ] || fail "plugsup-dev is not Architecture: all"
[ -z "$(field "$dev_deb" Depends)" ] || fail "plugsup-dev depends on $(field "$dev_deb" Depends)"
ok "control fields"

# --- contents -----------------------------------------------------------
root=$PWD/$build/root
dev_root=$PWD/$build/dev-root
rm -rf "$dev_root"
dpkg -x "$deb" "$root"
dpkg -x "$dev_deb" "$dev_root"
doc=usr/share/doc/plugsup
programs=(usr/sbin/plugsup usr/sbin/plugsup-check usr/sbin/plugsup-status)
expected=("${programs[@]}" "$doc/LICENSE" "$doc/CHANGELOG.md" "$doc/copyright" "$doc/changelog.gz"
          "$doc/examples/config" "$doc/examples/README.md" "$doc/examples/procd/plugsup"
          "$doc/examples/inittab/plugsup.inittab" "$doc/examples/systemd/plugsup.service")
dev_expected=(usr/include/plugsup/plugin.h usr/share/pkgconfig/plugsup-plugin.pc
              usr/share/doc/plugsup-dev/copyright usr/share/doc/plugsup-dev/changelog.gz)
# Section 3 (the SDK) goes with plugsup-dev, every other page with plugsup.
pages=()
for page in man/*.[0-9]; do
  installed=usr/share/man/man${page##*.}/$(basename "$page").gz
  pages+=("$installed")
  if [ "${page##*.}" = 3 ]; then dev_expected+=("$installed"); else expected+=("$installed"); fi
done
for file in "${expected[@]}"; do
  [ -f "$root/$file" ] || fail "plugsup lacks /$file"
done
for file in "${dev_expected[@]}"; do
  [ -f "$dev_root/$file" ] || fail "plugsup-dev lacks /$file"
done
for program in "${programs[@]}" "$doc/examples/probe" "$doc/examples/collector"; do
  [ -x "$root/$program" ] || fail "/$program is not executable"
done
for program in "${programs[@]}"; do
  readelf -S "$root/$program" | grep -q '\.symtab' && fail "/$program is not stripped"
done
grep -q '^::respawn:/' "$root/$doc/examples/inittab/plugsup.inittab" ||
  fail "the inittab example has no ::respawn: line with a full path"
unit=$root/$doc/examples/systemd/plugsup.service
if ! grep -q '^Type=simple$' "$unit" || ! grep -q '^WorkingDirectory=/' "$unit"; then
  fail "the systemd example lacks Type=simple or WorkingDirectory"
fi
procd=$root/$doc/examples/procd/plugsup
if ! grep -q 'procd_open_instance' "$procd" || ! grep -q 'procd_set_param respawn' "$procd"; then
  fail "the procd example must open an instance with respawn"
fi
# grep reads the whole listing: with -q it would stop early, tar would die of
# SIGPIPE, and pipefail would count that as a miss.
tar -tzf "${tarballs[0]}" | grep "^plugsup-$version-[^/]*/sbin/plugsup$" >/dev/null ||
  fail "the tarball lacks sbin/plugsup"
ok "contents (${#expected[@]} files in plugsup, ${#dev_expected[@]} in plugsup-dev)"

# --- man pages: no warnings from groff, nor from man on the installed copy ----
for page in man/*.[0-9]; do
  warnings=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done
for page in "${pages[@]}"; do
  page_root=$root
  [ -f "$page_root/$page" ] || page_root=$dev_root
  warnings=$(MANWIDTH=80 man -l "$page_root/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man -l warns on /$page: $warnings"
done
rendered=$(MANWIDTH=80 man -l "$root/usr/share/man/man8/plugsup.8.gz" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION CONFIGURATION "COMMAND LINE" "EXIT CODES" "ALIVE FILE" \
               "UPGRADE PACKAGE" FILES "THE RUN FILE" "EXIT STATUS" "SEE ALSO"; do
  grep -qx "$section" <<<"$rendered" || fail "plugsup(8) has no section $section"
done
ok "man pages render without warnings"

# --- cmake --install honours DESTDIR and --strip --------------------------
DESTDIR=$PWD/$build/destdir cmake --install "$build" --prefix /usr --strip >/dev/null
[ -x "$build/destdir/usr/sbin/plugsup" ] || fail "DESTDIR install lacks usr/sbin/plugsup"
[ -f "$build/destdir/usr/share/man/man8/plugsup.8" ] || fail "DESTDIR install lacks plugsup.8"
readelf -S "$build/destdir/usr/sbin/plugsup" | grep -q '\.symtab' && fail "--strip left symbols"
ok "cmake --install with DESTDIR and --strip"

# --- the packaged daemon on the packaged samples, in private namespaces -----
[ "$(id -u)" -eq 0 ] || fail "running the packaged daemon needs root (mount and PID namespaces)"
site=$root/opt/plugsup
mkdir -p "$site" "$PWD/$build/run"
ln -s "$root/usr/sbin/plugsup" "$site/plugsup"
cp "$root/$doc/examples/config" "$root/$doc/examples/probe" "$root/$doc/examples/collector" "$site/"
site=$(cd "$site" && pwd -P)
out=$PWD/$build/run/stdout
# The inner shell is the namespace's PID 1 and the supervisor PID 2, so a
# SIGTERM ends the supervisor (a PID 1 without handlers would ignore it).
# shellcheck disable=SC2016
inner='
set -u
site=$1 out=$2 keep=$3
exec 9<"$keep"
mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 2
# A checkout under /tmp stays visible through the new tmpfs.
case "$keep" in /tmp/*) mkdir -p "$keep" && mount --no-canonicalize --bind /proc/self/fd/9 "$keep" || exit 2 ;; esac
exec 9<&-
cd /
"$site/plugsup" >"$out" 2>&1 &
supervisor=$!
run=/tmp/.uci/plugsup.run
status=1
for _ in $(seq 300); do
  if [ -f "$run" ] && [ "$(head -n 1 "$run")" = "$site" ] &&
     grep -q "collector exited normally with code(3)" "$run" &&
     [ -f /tmp/.uci//probe.alive ] &&
     grep -q "^probe: started as: probe -A /tmp/.uci//probe.alive$" "$out" &&
     grep -q "^collector: started as: collector *$" "$out" &&
     grep -q "^Will restart normal prog after 10 secs$" "$out"; then
    status=0
    break
  fi
  kill -0 "$supervisor" 2>/dev/null || break
  sleep 0.1
done
echo "== run file:"; cat "$run" 2>/dev/null
kill -TERM "$supervisor" 2>/dev/null
wait "$supervisor"
exit "$status"
'
if ! unshare --mount --pid --fork --mount-proc --propagation private \
       bash -c "$inner" inner "$site" "$out" "$PWD/$build" >"$build/run/namespace" 2>&1; then
  echo "== supervisor's output:"
  cat "$out" 2>/dev/null || true
  cat "$build/run/namespace"
  fail "the packaged daemon did not start the sample programs and write its run file within 30 s"
fi
ok "the packaged daemon ran the sample programs; run file begins with $site"

# --- the armhf package: lintian, and its libraries found for the target -----
cross=build/package-armhf
rm -rf "$cross/packages"
toolchain=()  # given once: a configured tree keeps it
[ -f "$cross/CMakeCache.txt" ] || toolchain=(--toolchain cmake/toolchains/armhf.cmake)
cmake -S . -B "$cross" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$cross" -j2 >/dev/null
(cd "$cross" && cpack -G DEB -B "$PWD/packages" >/dev/null) || fail "cpack for armhf"
cross_deb=$cross/packages/plugsup_${version}_armhf.deb
[ -f "$cross_deb" ] || fail "expected $cross_deb"
lint "$cross"/packages/*.deb
# libgcc_s: the daemon calls its 64-bit division helpers (__aeabi_ldivmod) there.
depends_on "$cross_deb" libc6 libcjson1 libgcc-s1 'psmisc | busybox'
ok "lintian finds no error in $(basename "$cross_deb"); Depends: $(field "$cross_deb" Depends)"
echo "check-package: all checks passed for $(basename "$deb"), $(basename "$dev_deb") and $(basename "$cross_deb")"
