#!/usr/bin/env bash
# Builds and installs the supervisor, then runs it on the sample programs in
# demo/ for DEMO_SECONDS (default 30) or until Ctrl-C, and shows its run file.
#
# The supervisor runs in private mount and PID namespaces with a tmpfs on /tmp:
# its kills by name (killall -9 probe, ...) reach only the demo's processes, and
# the host's /tmp/.uci/ is never touched. As root it uses plain namespaces,
# otherwise an unprivileged user namespace; with neither it refuses to run.
set -euo pipefail
cd "$(dirname "$0")/.."

# The sample programs copied beside the supervisor; demo/config says which it
# runs. Change both together.
programs=(build/demo/examples/probe demo/collector)  # probe: the example plugin, on the SDK
watched="probe and collector"
story="collector exits with status 3 after 4 s; the supervisor restarts it 10 s later with -r 3"

tree="$PWD/demo-run"
seconds=${DEMO_SECONDS:-30}

# In the namespaces, as their PID 1: runs the supervisor as PID 2 (as PID 1,
# having no handlers, it would ignore the SIGTERM that stops it) and prints the
# run file before the namespace, and with it its /tmp, goes away.
if [ "${1:-}" = --inside ]; then
  # A checkout under /tmp stays visible through the new tmpfs.
  exec 9<"$tree"
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  case "$tree" in /tmp/*) mkdir -p "$tree" && mount --no-canonicalize --bind /proc/self/fd/9 "$tree" ;; esac
  exec 9<&-
  (cd "$tree/sup" && exec ./sup) &
  supervisor=$!
  stop() {
    trap '' INT TERM
    kill -TERM "$supervisor" 2>/dev/null || true
    wait "$supervisor" 2>/dev/null || true
    echo "== supervisor stopped with SIGTERM; its children got SIGTERM as their parent died"
    echo "== run file /tmp/.uci/sup.run:"
    cat /tmp/.uci/sup.run
    exit 0
  }
  trap stop INT TERM
  for _ in $(seq "$seconds"); do
    sleep 1
    kill -0 "$supervisor" 2>/dev/null || break
  done
  stop
fi

isolate=(unshare --mount --pid --fork --mount-proc --propagation private)
[ "$(id -u)" -eq 0 ] || isolate=(unshare --user --map-root-user "${isolate[@]:1}")
if ! "${isolate[@]}" true 2>/dev/null; then
  echo "demo: cannot create private mount and PID namespaces here (run it as root, or enable"
  echo "demo: unprivileged user namespaces). It will not run the supervisor on the host, where it"
  echo "demo: would kill every process named ${watched} and use the host's /tmp/.uci/."
  exit 1
fi

./scripts/setup.sh
# A build tree of its own, without the tests: quick on a fresh clone, and the
# whole tree is built, so the install finds everything its rules name.
log=build/demo/build.log
echo "== demo: building the supervisor and the example plugin in build/demo/ (log: $log)"
mkdir -p build/demo
if ! { cmake -S . -B build/demo -DPLUGSUP_BUILD_TESTS=OFF &&
       cmake --build build/demo -j2 &&
       cmake --install build/demo --prefix "$PWD/build/demo/stage"; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "demo: the build failed (whole log: $log)"
  exit 1
fi

rm -rf "$tree"
mkdir -p "$tree/sup"
cp build/demo/stage/sbin/plugsup "$tree/sup/sup"
cp demo/config "${programs[@]}" "$tree/sup/"

echo "== demo: $tree/sup/sup watches ${watched} for $seconds s (Ctrl-C stops it sooner)"
echo "== $story"
# In the background, so that this shell can pass Ctrl-C or SIGTERM on to the
# namespace's PID 1 (unshare itself blocks both while it waits).
DEMO_SECONDS=$seconds "${isolate[@]}" "$PWD/scripts/demo.sh" --inside &
unshare_pid=$!
forward() {
  local init=""
  read -r init _ <"/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null || true
  [ -z "$init" ] || kill -TERM "$init" 2>/dev/null || true
}
trap forward INT TERM
# wait returns early when a trapped signal arrives: wait again until the end.
while kill -0 "$unshare_pid" 2>/dev/null; do
  wait "$unshare_pid" || true
done
