#!/usr/bin/env bash
# Prints the supervisor's footprint: binary and section sizes, shared
# libraries, and the memory and threads of a running supervisor that watches
# four programs through many restarts (time scaled by the test preload
# library, in a private mount and PID namespace). Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build/default -j2 >/dev/null
cmake --install build/default --prefix "$PWD/build/default/stage" >/dev/null

binary=build/default/stage/sbin/plugsup
stripped=$(mktemp)
strip -o "$stripped" "$binary"
echo "binary:            $(stat -c %s "$binary") bytes ($(stat -c %s "$stripped") stripped)"
size "$stripped" | awk 'NR==2 {printf "sections:          text %s, data %s, bss %s bytes\n", $1, $2, $3}'
echo "shared libraries:  $(ldd "$binary" | awk '{print $1}' | grep -v -e vdso -e ld-linux | xargs)"
rm -f "$stripped"

tree=$(mktemp -d -p "$PWD/build/default")
mkdir -p "$tree/sup" "$tree/data"
ln -s "$PWD/$binary" "$tree/sup/sup"
for name in alpha beta gamma delta; do cp build/default/tests/support/fake_plugin "$tree/sup/$name"; done
mkdir -p "$tree/sup/script"
echo "exit 3" > "$tree/sup/script/alpha"   # restarted every 10 s (0.1 s scaled)
cat > "$tree/sup/config" <<'JSON'
{"__watch":{"processes":[{"base":"alpha"},{"base":"beta","excheck":true},{"base":"gamma"},{"base":"delta"}]}}
JSON
echo "run" > "$tree/sup/script/beta"
seconds=${BENCH_SECONDS:-10}
# A checkout under /tmp keeps its build tree visible through the new tmpfs.
unshare --mount --pid --fork --kill-child --mount-proc /bin/sh -c "
  exec 9<'$PWD/build' && mount -t tmpfs tmpfs /tmp &&
  case '$PWD' in /tmp/*) mkdir -p '$PWD/build' && mount --no-canonicalize --bind /proc/self/fd/9 '$PWD/build' ;; esac &&
  exec 9<&- && cd '$tree/sup' &&
  LD_PRELOAD='$PWD/build/default/tests/support/libtime_shim.so' SUP_TIME_SCALE=100 ./sup >/dev/null &
  sleep $seconds
  pid=\$(pgrep -x sup 2>/dev/null || echo 2)
  restarts=\$(grep -c 'alpha exited' /tmp/.uci/sup.run)
  echo \"after ${seconds} s:         \$restarts restarts of one program, run file \$(stat -c %s /tmp/.uci/sup.run) bytes\"
  grep -E '^(VmRSS|VmHWM|Threads)' /proc/\$pid/status | sed 's/^/running daemon:    /'
"
rm -rf "$tree"
