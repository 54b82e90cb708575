#!/usr/bin/env bash
# Builds the release packages (.deb and .tar.gz) in build/package/ and checks
# them: control fields, contents, man pages, DESTDIR and --strip installs, and
# the packaged daemon running the packaged sample programs from a scratch root
# inside private mount and PID namespaces (so the host's /tmp and processes are
# never touched). Needs root for the namespaces. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

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
tarballs=("$build"/packages/plugsup-"$version"-*.tar.gz)
if [ ${#tarballs[@]} -ne 1 ] || [ ! -f "${tarballs[0]}" ]; then fail "expected one plugsup-$version-*.tar.gz"; fi
ok "built $(basename "$deb") and $(basename "${tarballs[0]}")"

grep -q "^## $version " CHANGELOG.md || fail "CHANGELOG.md has no entry for $version"

# --- control fields -----------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = plugsup ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = admin ] || fail "Section: $(field Section)"
[ "$(field Maintainer)" = "The plugsup authors" ] || fail "Maintainer: $(field Maintainer)"
for dependency in libcjson1 psmisc tar gzip; do
  field Depends | tr ',' '\n' | grep -Eq "^ *$dependency( |$)" ||
    fail "Depends lacks $dependency: $(field Depends)"
done
ok "control fields"

# --- contents -----------------------------------------------------------
root=$PWD/$build/root
dpkg -x "$deb" "$root"
doc=usr/share/doc/plugsup
expected=(usr/sbin/plugsup "$doc/LICENSE" "$doc/CHANGELOG.md" "$doc/examples/config"
          "$doc/examples/README.md" "$doc/examples/procd/plugsup"
          "$doc/examples/inittab/plugsup.inittab" "$doc/examples/systemd/plugsup.service")
pages=()
for page in man/*.[0-9]; do
  pages+=("usr/share/man/man${page##*.}/$(basename "$page").gz")
done
for file in "${expected[@]}" "${pages[@]}"; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
for program in usr/sbin/plugsup "$doc/examples/probe" "$doc/examples/collector"; do
  [ -x "$root/$program" ] || fail "/$program is not executable"
done
readelf -S "$root/usr/sbin/plugsup" | grep -q '\.symtab' && fail "/usr/sbin/plugsup is not stripped"
grep -q '^::respawn:/' "$root/$doc/examples/inittab/plugsup.inittab" ||
  fail "the inittab example has no ::respawn: line with a full path"
unit=$root/$doc/examples/systemd/plugsup.service
if ! grep -q '^Type=simple$' "$unit" || ! grep -q '^WorkingDirectory=/' "$unit"; then
  fail "the systemd example lacks Type=simple or WorkingDirectory"
fi
procd=$root/$doc/examples/procd/plugsup
if ! grep -q 'procd_open_instance' "$procd" || grep -q 'procd_set_param respawn' "$procd"; then
  fail "the procd example must open an instance without respawn"
fi
# grep reads the whole listing: with -q it would stop early, tar would die of
# SIGPIPE, and pipefail would count that as a miss.
tar -tzf "${tarballs[0]}" | grep "^plugsup-$version-[^/]*/sbin/plugsup$" >/dev/null ||
  fail "the tarball lacks sbin/plugsup"
ok "contents (${#expected[@]} files, ${#pages[@]} man pages)"

# --- man pages: no warnings from groff, nor from man on the installed copy ----
for page in man/*.[0-9]; do
  warnings=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done
for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man -l "$root/$page" 2>&1 >/dev/null)
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
echo "check-package: all checks passed for $(basename "$deb")"
