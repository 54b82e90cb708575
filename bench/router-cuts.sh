#!/usr/bin/env bash
# Power cuts during upgrade installs on an emulated router: N cycles on one
# data medium. Each boot checks what the previous cut left (the router's
# test program, as soon as the supervisor has started it), then hands over a
# package: the other of two versions of a plugin set (exit 130), or the
# other of two init.bin (exit 131). Then the power goes: from the host
# (SIGKILL of qemu after a random delay spread over the install), or from
# inside the guest at a chosen phase of the install after a random delay
# (sysrq "b", qemu ends at the reboot). Phases, in turn:
#   host     SIGKILL from the host, a random moment of the install
#   tar      tar unpacking into the staging directory
#   merge    the renames of the package's files into ../data/ (after the
#            n-th of them)
#   sync     the sync after the merge
#   record   the boot-check record written and renamed into place
#   initbin  init.bin written and renamed into place (exit 131)
# Checks after every cut: the medium mounts; .bootchk is absent or a valid
# record; when it vouches for plugin data, every file of exactly one version
# is there whole; init.bin is absent or one of the two whole; no staging or
# temporary leftovers once the supervisor has started; the programs run.
# Prints a table; a violation prints the consoles of the cut and of the
# check, and the script ends with status 1.
#
# Usage: bench/router-cuts.sh mipsel|armhf [N] [ext4|jffs2]   (N defaults to 100)
#   ROUTER_CUTS_UNTIL=<seconds since 1970>: no new cut after that moment (the
#   last one is still checked), for a run that must end in time
# Logs: build/router/<arch>/cuts-<medium>/
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: router-cuts.sh mipsel|armhf [N] [ext4|jffs2]}
cycles=${2:-100}
medium=${3:-ext4}
phases=(host tar merge sync record initbin)
dir=build/router/$arch/cuts-$medium
rm -rf "$dir" && mkdir -p "$dir"
if [ "$medium" = jffs2 ]; then store=(--flash "$dir/flash.img"); else store=(--disk "$dir/data.img"); fi
[ -s "build/router/$arch/initrd.gz" ] || scripts/router/build-image.sh "$arch"

# qemu's instruction counting (ROUTER_ICOUNT=1, the default on mipsel) keeps
# malta's timer from stalling boots, at the cost of speed.
icount=()
[ "${ROUTER_ICOUNT:-$([ "$arch" = mipsel ] && echo 1 || echo 0)}" = 0 ] || icount=(--icount)

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
random_below() { echo $(( (RANDOM * 32768 + RANDOM) % $1 )); }
max_delay_us() {  # phase: how long after its first event the cut may come
  case $1 in
    tar) echo 300000 ;; merge) echo 2000 ;; sync) echo 300000 ;;
    record) echo 10000 ;; initbin) echo 300000 ;;
  esac
}

declare -A cuts=() inside=() bad=()
checks=(mount record files init.bin leftovers programs)
for check in "${checks[@]}"; do bad[$check]=0; done
violations=0
window=3.0  # seconds of host time the host's cuts spread over; learnt from the installs

# Boots once; leaves the console in $1. Arguments after: the kernel's extra words.
boot() {
  local log=$1
  shift
  scripts/router/boot.sh "$arch" "${store[@]}" --log "$log" "${icount[@]}" --pidfile "$dir/qemu.pid" \
    --timeout 300 --append "router.mode=cut $*" >/dev/null 2>&1 &
  booted=$!
}
wait_for() {  # log, regular expression, seconds: 0 when the line came
  local deadline=$(( SECONDS + $3 ))
  while [ $SECONDS -lt $deadline ]; do
    grep -Eq -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$booted" 2>/dev/null || { grep -Eq -- "$2" "$1" 2>/dev/null; return; }
    sleep 0.05
  done
  return 1
}
cut() { kill -9 "$(cat "$dir/qemu.pid" 2>/dev/null)" 2>/dev/null || true; wait "$booted" 2>/dev/null || true; }

# What a boot's check found about the previous cut.
judge() {  # cycle of the cut, log of the cut, log of the check
  local found=()
  grep -q '^ROUTER mounted ' "$3" || found+=(mount)
  grep -q '^ROUTER VIOLATION bootchk' "$3" && found+=(record)
  grep -q '^ROUTER VIOLATION plugindata' "$3" && found+=(files)
  grep -q '^ROUTER VIOLATION init.bin' "$3" && found+=(init.bin)
  grep -q '^ROUTER VIOLATION leftovers' "$3" && found+=(leftovers)
  if grep -q '^ROUTER VIOLATION probe-not-running' "$3" || ! grep -q '^ROUTER check ' "$3"; then
    found+=(programs)
  fi
  [ ${#found[@]} -eq 0 ] && return 0
  local check
  for check in "${found[@]}"; do bad[$check]=$(( ${bad[$check]} + 1 )); done
  violations=$((violations + 1))
  echo "VIOLATION after cut $1 ($arch, $medium): ${found[*]}"
  echo "--- console of the cut ($2):"; sed 's/^/  /' "$2"
  echo "--- console of the boot after it ($3):"; sed 's/^/  /' "$3"
  echo "---"
}

table() {  # cuts so far
  echo "power cuts on $arch, ../data/ on $medium: $1 cuts, $violations with violations"
  printf '| %-8s | %5s | %14s |\n' phase cuts "inside install"
  for phase in "${phases[@]}"; do
    printf '| %-8s | %5s | %14s |\n' "$phase" "${cuts[$phase]:-0}" "${inside[$phase]:-0}"
  done
  printf 'violations by check:'
  for check in "${checks[@]}"; do printf ' %s %s;' "$check" "${bad[$check]}"; done
  echo
}

previous=''
for ((cycle = 1; cycle <= cycles + 1; cycle++)); do
  log=$dir/cycle-$(printf %03d "$cycle").log
  if [ -n "${ROUTER_CUTS_UNTIL:-}" ] && [ "$cycle" -le "$cycles" ] &&
     [ "$(date +%s)" -ge "$ROUTER_CUTS_UNTIL" ]; then
    cycles=$((cycle - 1))
  fi
  if [ "$cycle" -gt "$cycles" ]; then
    # One more boot, only to check the last cut.
    boot "$log" "router.cycle=$cycle router.action=132 router.phase=host"
    wait_for "$log" '^ROUTER (check|install) ' 200 || true
    cut
    judge "$((cycle - 1))" "$previous" "$log"
    break
  fi
  phase=${phases[$(( (cycle - 1) % ${#phases[@]} ))]}
  action=130
  [ "$phase" = initbin ] && action=131
  [ "$phase" = host ] && [ $(( (cycle / ${#phases[@]}) % 2 )) = 1 ] && action=131
  delay=0 nth=1
  [ "$phase" = host ] || delay=$(random_below "$(max_delay_us "$phase")")
  # The merge renames the package's twelve entries: the cut follows one of them.
  [ "$phase" != merge ] || nth=$((1 + $(random_below 12)))
  boot "$log" "router.cycle=$cycle router.action=$action router.phase=$phase router.delay=$delay router.nth=$nth"
  if ! wait_for "$log" '^ROUTER install ' 200; then
    cut
    [ -z "$previous" ] || judge "$((cycle - 1))" "$previous" "$log"
    echo "cycle $cycle: no install started; stopping (console: $log)"
    sed 's/^/  /' "$log"
    exit 1
  fi
  started=$(now)
  [ -z "$previous" ] || judge "$((cycle - 1))" "$previous" "$log"
  if [ "$phase" = host ]; then
    pause=$(awk -v w="$window" -v r="$(random_below 1000000)" 'BEGIN { printf "%.3f", w * r / 1000000 }')
    sleep "$pause"
  else
    wait_for "$log" '^ROUTER installed ' 150 || true
    # An install that ended before its phase came: cut now.
  fi
  cut
  if grep -q '^ROUTER installed ' "$log"; then
    where=after
  else
    where=inside
  fi
  if [ "$phase" != host ] && ! grep -q "ROUTER cut " "$log"; then where=missed; fi
  cuts[$phase]=$(( ${cuts[$phase]:-0} + 1 ))
  [ "$where" = inside ] && inside[$phase]=$(( ${inside[$phase]:-0} + 1 ))
  echo "cycle $cycle: phase $phase, action $action, delay ${pause:-$delay}, cut $where install ($(elapsed "$started") s after its start)"
  # The host's cuts spread over the install: the window shrinks after a cut
  # that came too late and grows after one that came inside.
  if [ "$phase" = host ]; then
    factor=$([ "$where" = inside ] && echo 1.15 || echo 0.8)
    window=$(awk -v w="$window" -v f="$factor" 'BEGIN { printf "%.3f", w * f }')
  fi
  pause=''
  previous=$log
  table "$cycle" >"$dir/table.txt"  # so far, for a look while it runs
done

echo
table "$cycles" | tee "$dir/table.txt"
[ "$violations" -eq 0 ]
