#!/usr/bin/env bash
# Checks the example service files of packaging/: they share one respawn
# policy, the systemd unit passes systemd-analyze verify (where systemd is
# installed; it is not installed for this), the procd script and the shell of
# the inittab line parse.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-service-files: $*"
  exit 1
}
# One respawn policy in all three: started again 5 s after it ends, with the
# init system's limits where it has them.
grep -qx $'\tprocd_set_param respawn 3600 5 5' packaging/procd/plugsup ||
  fail "procd: no respawn 3600 5 5"
for setting in Restart=always RestartSec=5 StartLimitIntervalSec=3600 StartLimitBurst=5; do
  grep -qx "$setting" packaging/systemd/plugsup.service || fail "systemd: no $setting"
done
sh -n packaging/procd/plugsup
line=$(grep -v '^#' packaging/inittab/plugsup.inittab | grep -v '^$')
[ "$(wc -l <<<"$line")" -eq 1 ] || fail "inittab: want one line"
command=${line#::respawn:/bin/sh -c }
[ "$command" != "$line" ] || fail "inittab: not a ::respawn: shell line"
[[ $command == "'sleep 5; exec /"* ]] || fail "inittab: no 5 s wait before the start"
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
