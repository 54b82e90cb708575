#!/usr/bin/env bash
# Checks the example service files of packaging/: the systemd unit passes
# systemd-analyze verify (where systemd is installed; it is not installed for
# this), the procd script and the shell of the inittab line parse.
set -euo pipefail
cd "$(dirname "$0")/.."

sh -n packaging/procd/plugsup
line=$(grep -v '^#' packaging/inittab/plugsup.inittab | grep -v '^$')
[ "$(wc -l <<<"$line")" -eq 1 ] || { echo "check-service-files: want one inittab line"; exit 1; }
command=${line#::respawn:/bin/sh -c }
[ "$command" != "$line" ] || { echo "check-service-files: inittab: not a ::respawn: shell line"; exit 1; }
eval "sh -n -c $command"

if ! command -v systemd-analyze >/dev/null; then
  echo "check-service-files: systemd-analyze not installed: the unit is not verified"
  exit 0
fi
# verify wants the programs it names: an /opt of its own holds a stand-in.
# It reports a setting it does not understand but still ends with 0, so any
# word from it counts as a failure.
report=$(unshare --mount --propagation private bash -euc '
  mount -t tmpfs tmpfs /opt
  mkdir /opt/plugsup
  cp "$(type -P true)" /opt/plugsup/plugsup
  systemd-analyze verify packaging/systemd/plugsup.service' 2>&1) || status=$?
if [ "${status:-0}" -ne 0 ] || [ -n "$report" ]; then
  echo "$report"
  echo "check-service-files: systemd-analyze verify failed"
  exit 1
fi
echo "check-service-files: ok"
