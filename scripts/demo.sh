#!/usr/bin/env bash
# Builds and installs the supervisor, then runs it on the sample programs in
# demo/ for DEMO_SECONDS (default 30) or until Ctrl-C, and shows its run file.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build/default -j2 --target plugsup >/dev/null
cmake --install build/default --prefix "$PWD/build/default/stage" >/dev/null

tree="$PWD/demo-run"
rm -rf "$tree"
mkdir -p "$tree/sup"
cp build/default/stage/sbin/plugsup "$tree/sup/sup"
cp demo/config demo/probe demo/collector "$tree/sup/"

seconds=${DEMO_SECONDS:-30}
echo "== demo: $tree/sup/sup watches probe and collector for $seconds s (Ctrl-C stops it sooner)"
echo "== collector exits with status 3 after 4 s; the supervisor restarts it 10 s later with -r 3"
(cd "$tree/sup" && exec ./sup) &
supervisor=$!

stop() {
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
