#!/usr/bin/env bash
# Soak run (not a test): the real supervisor watches four fake plugins that end
# over and over (an exit status, a signal, a liveness kill), with time sped up
# by the test preload library, the liveness watchdog on, and a reader of its
# standard output that stops reading early. It prints restarts, the daemon's
# descriptors, Private_Dirty and threads after the first launch cycle and at
# the end, zombies left, the run file's size, and exit lines against endings.
# Runs in a private mount and PID namespace (root). Knobs:
#   SOAK_RESTARTS=10000  SOAK_TIME_SCALE=10000  SOAK_SECONDS=900 (give up)
#   SOAK_KEEP=1 keeps the scratch tree (build/default/soak.*) for a look after
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Inside the namespace: start, watch, report. $1 is the scratch tree.
inside() {
  local tree=$1
  # A checkout under /tmp keeps its build tree visible through the new tmpfs.
  exec 9<"$root/build"
  mount -t tmpfs tmpfs /tmp
  case $root in /tmp/*) mkdir -p "$root/build" && mount --no-canonicalize --bind /proc/self/fd/9 "$root/build" ;; esac
  exec 9<&-
  cd "$tree/sup"
  # The reader takes 4 KiB, then holds the pipe without ever reading again.
  LD_PRELOAD="$root/build/default/tests/support/libtime_shim.so" SUP_TIME_SCALE=$scale ./sup |
    { head -c 4096 >/dev/null; exec sleep 1000000; } &
  local pid="" tries=0
  until [ -n "$pid" ]; do
    pid=$(pgrep -o -x sup || true)
    [ $((tries += 1)) -lt 500 ] || { echo "the supervisor did not start"; exit 1; }
    [ -n "$pid" ] || sleep 0.01
  done

  starts() { cat log/*.starts 2>/dev/null | wc -l; }
  figures() {
    printf '%-22s restarts %6d, fds %d, Private_Dirty %s kB, threads %s\n' "$1" \
      $(($(starts) - 4)) "$(find "/proc/$pid/fd" -mindepth 1 | wc -l)" \
      "$(awk '/^Private_Dirty/ {print $2}' "/proc/$pid/smaps_rollup")" \
      "$(awk '/^Threads/ {print $2}' "/proc/$pid/status")"
  }
  local deadline=$((SECONDS + limit))
  until [ "$(find log -name '*.starts' 2>/dev/null | wc -l)" = 4 ] || [ $SECONDS -ge $deadline ]; do
    sleep 0.01
  done
  figures "after the first cycle:"
  local began=$SECONDS
  while [ $(($(starts) - 4)) -lt "$target" ] && [ $SECONDS -lt $deadline ]; do sleep 1; done
  [ -d "/proc/$pid" ] || { echo "the supervisor has ended"; exit 1; }
  # Frozen, so that the counts below describe one moment.
  kill -STOP "$pid"
  figures "at the end:"
  echo "time:                  $((SECONDS - began)) s for the restarts (time scale $scale)"

  # A child of the supervisor that ended after the freeze is a zombie until
  # it is reaped; anything else would be left for good.
  echo "zombies:               $(ps -eo stat=,ppid= | awk -v sup="$pid" \
    '$1 ~ /^Z/ {if ($2 == sup) mine++; else others++}
     END {printf "%d of the supervisor (not reaped yet), %d others", mine, others}')"
  local run=/tmp/.uci/sup.run
  echo "run file:              $(stat -c %s $run) bytes, $(wc -l <$run) lines," \
    "first line $([ "$(head -n1 $run)" = "$tree/sup" ] && echo kept || echo LOST)," \
    "$([ -z "$(tail -c1 $run)" ] && echo "ends with a whole line" || echo "ends in a HALF LINE")"
  echo "starts by program:     $(for p in alpha beta gamma delta; do printf '%s %d  ' $p "$(wc -l <log/$p.starts)"; done)"
  # Endings: every start but the one still running (or waiting to restart).
  # The run file keeps only its newest lines, so its counts are a window.
  for kind in "alpha exited normally with code(3)" "beta killed by signal(6)" \
    "delta killed by signal(9)" "gamma "; do
    local program=${kind%% *}
    printf 'exit lines of %-5s %6d kept in the run file (%s); endings %6d\n' "$program" \
      "$(grep -cF ": $kind" $run || true)" "${kind#* }" $(($(wc -l <"log/$program.starts") - 1))
  done
  echo "watchdog kills:        $(grep -c 'not alive' $run || true) in the run file window" \
    "(delta restarted $(grep -c -- '-r 199' log/delta.starts || true) times with -r 199)"
}

scale=${SOAK_TIME_SCALE:-10000}
target=${SOAK_RESTARTS:-10000}
limit=${SOAK_SECONDS:-900}
if [ "${1:-}" = --inside ]; then
  inside "$2"
  exit
fi

./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build/default -j2 >/dev/null
cmake --install build/default --prefix "$root/build/default/stage" >/dev/null

tree=$(mktemp -d -p "$root/build/default" soak.XXXXXX)
trap '[ -n "${SOAK_KEEP:-}" ] || rm -rf "$tree"' EXIT
mkdir -p "$tree/sup/script" "$tree/data"
ln -s "$root/build/default/stage/sbin/plugsup" "$tree/sup/sup"
for name in alpha beta gamma delta; do
  cp build/default/tests/support/fake_plugin "$tree/sup/$name"
done
echo "exit 3" >"$tree/sup/script/alpha"  # restarted after 10 s with -r 3
echo "signal 6" >"$tree/sup/script/beta" # restarted after 10 s with -r 6
echo "alive 30" >"$tree/sup/script/gamma" # keeps its alive file fresh: never killed
echo "run" >"$tree/sup/script/delta"     # never alive: killed at every third check
cat >"$tree/sup/config" <<'JSON'
{"__watch":{"processes":[{"base":"alpha"},{"base":"beta"},
  {"base":"gamma","excheck":true},{"base":"delta","excheck":true}]}}
JSON
SOAK_TIME_SCALE=$scale SOAK_RESTARTS=$target SOAK_SECONDS=$limit \
  unshare --mount --pid --fork --kill-child --mount-proc "$root/bench/soak.sh" --inside "$tree"
