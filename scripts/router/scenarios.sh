#!/usr/bin/env bash
# The supervisor on an emulated router, in real time: two boots on a fresh
# data medium. The first: the programs start; an exit 3 is restarted 10 s
# later with -r 3; plugsup-status and its --json tell what runs; a plugin's
# kill 0 ends its own group only; an exit 130 installs a package and the
# programs come back from ../data/ in plugin mode with -r 130; an exit 131
# writes init.bin; the supervisor killed with SIGKILL is started again by
# init and runs its programs, still in plugin mode. The second boot: plugin
# mode holds. The guest's test program reports; this script checks what the
# console shows and prints the console of a failed boot.
# Usage: scripts/router/scenarios.sh mipsel|armhf [ext4|jffs2]
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=${1:?usage: scenarios.sh mipsel|armhf [ext4|jffs2]}
medium=${2:-ext4}
dir=build/router/$arch/scenarios-$medium
rm -rf "$dir" && mkdir -p "$dir"
if [ "$medium" = jffs2 ]; then store=(--flash "$dir/flash.img"); else store=(--disk "$dir/data.img"); fi

failures=0
fail() {  # log, what
  echo "router scenarios ($arch, $medium): FAILED: $2"
  failures=$((failures + 1))
  [ -n "${shown[$1]:-}" ] && return
  shown[$1]=1
  echo "--- console of that boot ($1):"
  sed 's/^/  /' "$1"
  echo "---"
}
declare -A shown=()
expect() {  # log, extended regular expression, what
  grep -Eq -- "$2" "$1" || fail "$1" "$3"
}
uptime_of() {  # log, regular expression: the up= of the first line that matches
  grep -E -- "$2" "$1" | head -n 1 | sed -n 's/.* up=\([0-9.]*\)$/\1/p'
}

log1=$dir/boot1.log log2=$dir/boot2.log
scripts/router/boot.sh "$arch" "${store[@]}" --log "$log1" --timeout 400 \
  --append "router.mode=scenario router.boot=1" || true
# The console's line ends, and busybox's prompt for the console shell, which
# may come in front of any other line.
sed -i 's/\r$//; s/Please press Enter to activate this console\. *//' "$log1"
expect "$log1" "^ROUTER mounted medium=$medium" "../data/ mounted"
expect "$log1" '^probe: started with reason 0 \(first start\); plugin mode: no' "probe started"
expect "$log1" '^ROUTER start tester reason=0 plugin=no path=tester ' "tester started"
exited=$(uptime_of "$log1" '^ROUTER exit 3 ')
restarted=$(uptime_of "$log1" '^ROUTER start tester reason=3 ')
if [ -z "$exited" ] || [ -z "$restarted" ]; then
  fail "$log1" "exit 3 restarted with -r 3"
else
  # 10 s, and what a busy emulated machine adds to a fork and exec (loosely:
  # the machine may be slow, but never early)
  awk -v a="$exited" -v b="$restarted" 'BEGIN { exit !(b - a >= 9.9 && b - a < 30) }' ||
    fail "$log1" "exit 3 restarted after $(awk -v a="$exited" -v b="$restarted" 'BEGIN { print b - a }') s, not 10"
fi
expect "$log1" '^ROUTER status: probe +running ' "plugsup-status shows probe running"
expect "$log1" '^ROUTER status: tester +running .* 3 +plain' "plugsup-status shows tester restarted with 3"
expect "$log1" '^ROUTER status-json:[[:space:]]+"supervisor":' "plugsup-status --json"
expect "$log1" '^ROUTER status-json:[[:space:]]+"restart_reason":[[:space:]]+3,' "plugsup-status --json shows the restart reason"
expect "$log1" '^ROUTER kill0 stayed in its group' "kill 0 stays in the plugin's group"
expect "$log1" '^ROUTER start tester reason=130 plugin=yes path=\.\./data//tester ' \
  "exit 130: tester back from ../data/ with -r 130"
expect "$log1" '^probe: started with reason 130 .*plugin mode: yes' "exit 130: probe back in plugin mode"
expect "$log1" '^ROUTER start tester reason=131 plugin=yes ' "exit 131: back with -r 131"
expect "$log1" '^ROUTER record: \{"version":"1\.0\.0\.1","plugindata":1,"luadata":1\}' "the record after 130 and 131"
expect "$log1" '^ROUTER back after sigkill supervisor=[0-9]+ plugin=yes' \
  "the supervisor killed with SIGKILL is started again by init, its programs in plugin mode"
expect "$log1" '^ROUTER reboot ' "the first boot ran to its end"
! grep -E '^ROUTER FAIL' "$log1" || fail "$log1" "the guest's own checks"

scripts/router/boot.sh "$arch" "${store[@]}" --log "$log2" --timeout 200 \
  --append "router.mode=scenario router.boot=2" || true
sed -i 's/\r$//; s/Please press Enter to activate this console\. *//' "$log2"
expect "$log2" "^ROUTER mounted medium=$medium" "../data/ mounted after the reboot"
expect "$log2" '^ROUTER start tester reason=0 plugin=yes path=\.\./data//tester ' \
  "plugin mode holds after a reboot"
expect "$log2" '^ROUTER status: probe +running .* plugin' "plugsup-status shows plugin mode"
expect "$log2" '^ROUTER done boot=2' "the second boot ran to its end"
! grep -E '^ROUTER FAIL' "$log2" || fail "$log2" "the guest's own checks"

first=$(uptime_of "$log2" '^ROUTER start tester ')
if [ $failures -gt 0 ]; then
  echo "router scenarios ($arch, $medium): $failures failed"
  exit 1
fi
memory=$(sed -n 's/^ROUTER memory supervisor \(.*\) up=.*/\1/p' "$log1" | head -n 1)
echo "router scenarios ($arch, $medium): all passed; boot to first program ${first:-?} s of the guest's uptime"
echo "router scenarios ($arch, $medium): supervisor with four programs and the watchdog: $memory"
