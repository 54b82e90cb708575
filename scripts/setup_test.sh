#!/usr/bin/env bash
# Runs the set-up scripts against a stand-in apt-get, dpkg, dpkg-query, sudo
# and sleep (first in PATH; nothing installed, nothing fetched): a failing
# update is retried and then only warned about, a failing install ends the
# script with the packages it could not get.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
  echo "setup_test: $*"
  failures=$((failures + 1))
}

mkdir "$dir/bin"
stub() {  # name, body
  printf '#!/bin/sh\n%s\n' "$2" >"$dir/bin/$1"
  chmod +x "$dir/bin/$1"
}
# Every call is logged; "update" and "install" fail when the test says so.
stub apt-get 'echo "apt-get $*" >>"$STUB_LOG"
case " $* " in
  *" update "*) [ -z "$FAIL_UPDATE" ] && exit 0
    echo "E: Some index files failed to download. They have been ignored." >&2; exit 100 ;;
  *" install "*) [ -z "$FAIL_INSTALL" ] && exit 0
    echo "E: Unable to locate package g++" >&2; exit 100 ;;
esac'
stub dpkg-query 'exit 1'  # nothing is installed
stub dpkg 'case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) ;; esac'
stub sudo 'exec "$@"'
stub sleep 'echo "sleep $*" >>"$STUB_LOG"'

run() {  # script, fail update, fail install -> status; output in $dir/out, calls in $dir/log
  : >"$dir/log"
  local status=0
  PATH="$dir/bin:$PATH" STUB_LOG="$dir/log" FAIL_UPDATE=$2 FAIL_INSTALL=$3 \
    "$here/$1" >"$dir/out" 2>&1 || status=$?
  echo "$status"
}
count() { grep -c -- "$1" "$dir/log" || true; }

for script in setup.sh setup-cross.sh; do
  name=${script%.sh}
  # A registry that answers: one update, one install, no warning.
  [ "$(run "$script" "" "")" = 0 ] || fail "$script: plain run failed: $(cat "$dir/out")"
  [ "$(count ' update')" = 1 ] || fail "$script: expected one update, got: $(cat "$dir/log")"
  grep -q warning "$dir/out" && fail "$script: a warning without a failure: $(cat "$dir/out")"

  # Update failing every time: retried with a pause and apt's own retries, one
  # line, then the install, and success.
  [ "$(run "$script" 1 "")" = 0 ] || fail "$script: a failing update ended the script: $(cat "$dir/out")"
  [ "$(count ' update')" = 3 ] || fail "$script: expected 3 updates, got: $(cat "$dir/log")"
  [ "$(count 'Acquire::Retries=')" -ge 3 ] || fail "$script: apt's own retries not asked for"
  [ "$(count '^sleep ')" = 2 ] || fail "$script: expected 2 pauses, got: $(cat "$dir/log")"
  [ "$(count ' install ')" = 1 ] || fail "$script: no install after the failed update"
  [ "$(grep -c "^$name: warning: apt-get update failed 3 times (E: Some index files" "$dir/out")" = 1 ] ||
    fail "$script: expected one warning line, got: $(cat "$dir/out")"

  # A failing install is fatal, and names what it could not install.
  [ "$(run "$script" "" 1)" != 0 ] || fail "$script: a failing install reported success"
  grep -q "^$name: could not install: .*g++" "$dir/out" ||
    fail "$script: the failure does not name the packages: $(cat "$dir/out")"
done

[ "$failures" -eq 0 ] || exit 1
echo "setup_test: ok"
