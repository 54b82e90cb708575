#!/usr/bin/env bash
# Runs what README.md and CONTRIBUTING.md show a user, exactly as written:
#   - the README's first command, ./scripts/demo.sh, in a fresh clone of this
#     checkout's HEAD (a local clone, no network), with a short DEMO_SECONDS:
#     the run file must show the collector's exit, the collector must come back
#     with -r 3, and neither the host's /tmp/.uci/ nor a host process named
#     like a demo program may be touched;
#   - every other ```sh block of both files, in this tree (reusing its build
#     trees), or, for the few that a stage of scripts/test.sh or .ci/run runs as
#     written, the check that it still does.
# A block that fails, or that a stage no longer runs as written, fails the
# check. Needs root (namespaces) and git (the clone).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
docs=(README.md CONTRIBUTING.md)

failed=()
ok() { echo "check-docs: ok: $*"; }
fail() {
  echo "check-docs: FAILED: $*"
  failed+=("$1")
}

# --- the demo in a fresh clone -------------------------------------------------------
demo_seconds=20
check_demo() {
  local scratch clone out decoy
  scratch=$(mktemp -d /tmp/plugsup-docs.XXXXXX)
  clone=$scratch/plugsup
  git clone -q --no-checkout "$root" "$clone"
  git -C "$clone" checkout -q --detach "$(git rev-parse HEAD)"
  out=$scratch/demo.out

  # A host process named like a demo program, which the demo's kills by name
  # must not reach, and the host's files that the demo's supervisor would use.
  mkdir "$scratch/host"
  cp "$(command -v sleep)" "$scratch/host/probe"
  "$scratch/host/probe" 600 &
  decoy=$!
  host_files() { stat -c '%n %s %Y' /tmp/.uci/sup.run /tmp/.uci//probe.alive 2>&1 || true; }
  local before
  before=$(host_files)

  echo "check-docs: ./scripts/demo.sh in $clone (DEMO_SECONDS=$demo_seconds)"
  local status=0
  # A hung demo must not hold up CI: timeout's SIGTERM stops it as Ctrl-C would.
  (cd "$clone" && DEMO_SECONDS=$demo_seconds timeout 900 ./scripts/demo.sh) >"$out" 2>&1 || status=$?
  sed 's/^/  | /' "$out"
  local run_file
  run_file=$(sed -n '/^== run file/,$p' "$out")
  if [ "$status" -ne 0 ]; then
    fail "./scripts/demo.sh" "ended with status $status"
  elif ! grep -q 'collector exited normally with code(3)' <<<"$run_file"; then
    fail "./scripts/demo.sh" "the run file shows no exit of the collector"
  elif ! grep -q '^collector: started as: .* -r 3' "$out"; then
    fail "./scripts/demo.sh" "the collector was not restarted with -r 3"
  elif ! kill -0 "$decoy" 2>/dev/null; then
    fail "./scripts/demo.sh" "a host process named probe was killed"
  elif [ "$(host_files)" != "$before" ]; then
    fail "./scripts/demo.sh" "the host's /tmp/.uci/ changed"
  else
    ok "./scripts/demo.sh in a fresh clone: collector exited with 3 and came back with -r 3"
  fi
  kill "$decoy" 2>/dev/null || true
  wait "$decoy" 2>/dev/null || true
  if [ ${#failed[@]} -eq 0 ]; then rm -rf "$scratch"; else echo "check-docs: clone kept in $scratch"; fi
}

# --- the other blocks ------------------------------------------------------------------
# Blocks that a stage or .ci/run runs as written: the file that must hold the command.
declare -A run_elsewhere=(
  [./scripts/test.sh]=.ci/run
  [./scripts/check-package.sh]=scripts/test.sh
  [./scripts/fuzz.sh]=scripts/test.sh
  [./scripts/lint.sh]=scripts/test.sh
  [./scripts/check-sdk.sh]=scripts/test.sh
  [./scripts/router/build-image.sh armhf]=scripts/test.sh
)

# Every ```sh block of a Markdown file (also one indented in a list), without
# its indentation, each followed by a NUL.
sh_blocks() {
  awk '/^ *```sh$/ { inside = 1; indent = index($0, "`"); text = ""; next }
       inside && /^ *```$/ { inside = 0; printf "%s%c", text, 0; next }
       inside { text = text substr($0, indent) "\n" }' "$1"
}

# The commands a README shows for a router's root (/opt/plugsup, the
# installed examples) run in a private mount namespace: its /opt is empty and
# its /usr/share/doc/plugsup is what the DESTDIR install put in build/rootfs/.
run_here() {
  unshare --mount --propagation private bash -c '
    set -euo pipefail
    mount -t tmpfs tmpfs /opt
    if [ -d "$1" ]; then
      mount -t tmpfs tmpfs /usr/share/doc
      mkdir /usr/share/doc/plugsup
      mount --bind "$1" /usr/share/doc/plugsup
    fi
    exec bash -euo pipefail -c "$2"' sandbox "$root/build/rootfs/usr/share/doc/plugsup" "$1"
}

# The README's DESTDIR install must put its files there itself.
rm -rf build/rootfs
declare -A seen=()
for doc in "${docs[@]}"; do
  while IFS= read -r -d '' block; do
    command=${block%$'\n'}
    [ -z "${seen[$command]:-}" ] || continue
    seen[$command]=1
    if [ "$command" = ./scripts/demo.sh ]; then
      check_demo
    elif [ -n "${run_elsewhere[$command]:-}" ]; then
      where=${run_elsewhere[$command]}
      # The whole command, then the line's end, ";", or a redirection, "&" or "|".
      if grep -Eq "(^|[{;]) *${command//./\\.}( *(;|$)| +[>&|])" "$where"; then
        ok "$command (run as written by $where)"
      else
        fail "$command" "$doc shows it, but $where no longer runs it as written"
      fi
    else
      echo "check-docs: running, from $doc:"
      sed 's/^/  $ /' <<<"$command"
      if run_here "$command" 2>&1 | sed 's/^/  | /'; then
        ok "$(head -n1 <<<"$command")"
      else
        fail "$(head -n1 <<<"$command")" "ended with a failure"
      fi
    fi
  done < <(sh_blocks "$doc")
done

# What the install commands must have put in place.
for file in build/rootfs/usr/sbin/plugsup build/rootfs/usr/sbin/plugsup-check build/rootfs/usr/sbin/plugsup-status; do
  [ -x "$file" ] || fail "$file" "the README's DESTDIR install did not put it there"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "check-docs: ${#failed[@]} failed: ${failed[*]}"
  exit 1
fi
echo "check-docs: every command of ${docs[*]} ran as written"
