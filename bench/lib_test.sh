#!/usr/bin/env bash
# Checks the helpers bench/run.sh counts and prints with, and its small
# programs; run.sh runs it first, so a wrong figure never reaches the README.
# The programs are checked only where a C compiler is found.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # description, expected, actual
  if [ "$2" != "$3" ]; then
    echo "lib_test: $1: expected '$2', got '$3'"
    failures=$((failures + 1))
  fi
}
series() { local f="$dir/$1"; shift; printf '%s\n' "$@" > "$f"; echo "$f"; }

# summary: odd and even counts, unsorted input, numeric (not text) order, empty
expect "odd count" "3 1 10" "$(series_summary "$(series a 10 1 3)")"
expect "even count" "6.5 2 20" "$(series_summary "$(series b 20 2 5 8)")"
expect "numeric order" "9 9 100" "$(series_summary "$(series c 100 9 9)")"
expect "empty" "- - -" "$(series_summary "$(series d)")"
: > "$dir/e"
expect "empty file" "- - -" "$(series_summary "$dir/e")"
expect "missing file" "- - -" "$(series_summary "$dir/none")"
expect "missing file status" "0" "$(series_summary "$dir/none" >/dev/null; echo $?)"
expect "missing file cell status" "0" "$(series_cell "$dir/none" >/dev/null; echo $?)"
expect "median" "3" "$(series_median "$dir/a")"
expect "max" "10" "$(series_max "$dir/a")"

# cells: unit, decimals, collapsed range, empty
expect "cell ns to us" "285 [281..1391]" "$(series_cell "$(series f 285000 1391000 281000)" 1000)"
expect "cell decimals" "0.5 [0.0..1.0]" "$(series_cell "$(series g 0 1 0.5)" 1 1)"
expect "cell equal" "0" "$(series_cell "$(series h 0 0 0)")"
expect "cell empty" "-" "$(series_cell "$dir/e")"

# ratios and targets, including missing figures and the boundary
expect "ratio" "0.32" "$(ratio 152 472)"
expect "ratio by zero" "-" "$(ratio 1 0)"
expect "ratio missing" "-" "$(ratio - 3)"
expect "at most, below" "met" "$(verdict_at_most 99 0.8 124)"
expect "at most, boundary" "met" "$(verdict_at_most 120 1.2 100)"
expect "at most, above" "not met" "$(verdict_at_most 152 0.8 124)"
expect "at most, missing" "unknown" "$(verdict_at_most - 0.8 124)"

# own processes: only descendants of the root, by exact name, without
# forked children that have not executed yet
ps_lines='1 0 init
100 1 unshare
101 100 bash
102 101 plugsup
103 102 p0
104 102 plugsup
200 1 plugsup
300 1 unshare
301 300 bash
302 301 runsvdir
303 302 runsv
304 302 runsv
305 303 run
306 302 runsvdir'
expect "ours" "102 plugsup" "$(own_processes 100 plugsup <<< "$ps_lines")"
expect "runit tree" "302 runsvdir 303 runsv 304 runsv" \
  "$(own_processes 300 "runsvdir runsv" <<< "$ps_lines" | xargs)"
expect "exact names" "303 304" "$(own_processes 300 runsv <<< "$ps_lines" | awk '{ print $1 }' | xargs)"
expect "other namespace" "" "$(own_processes 300 plugsup <<< "$ps_lines")"

# dirty pages per mapping: a file's .bss is the anonymous mapping right
# after it (not one after a gap); clean mappings are left out
cat > "$dir/smaps" <<'SMAPS'
55a000000000-55a000001000 r--p 00000000 08:01 123                        /opt/sup/plugsup
Size:                  4 kB
Private_Dirty:         4 kB
55a000001000-55a000002000 rw-p 00001000 08:01 123                        /opt/sup/plugsup
Size:                  4 kB
Private_Dirty:         4 kB
55a000002000-55a00000b000 rw-p 00000000 00:00 0
Size:                 36 kB
Private_Dirty:        24 kB
7f0000000000-7f0000004000 r-xp 00000000 08:01 9                          /usr/lib/libc.so.6
Size:                 16 kB
Private_Dirty:         0 kB
7f0000005000-7f0000006000 rw-p 00000000 00:00 0
Size:                  4 kB
Private_Dirty:         4 kB
7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0                          [stack]
Size:                132 kB
Private_Dirty:        16 kB
SMAPS
expect "mappings" "4 plugsup r--p 4 kB|4 plugsup rw-p 4 kB|24 bss of plugsup rw-p 36 kB|4 [anon] rw-p 4 kB|16 [stack] rw-p 132 kB" \
  "$(awk -f "$here/pd_mappings.awk" "$dir/smaps" | paste -sd '|')"

# the programs
wait_until() {  # command...: polls it for up to 30 s (a busy machine)
  local i
  for ((i = 0; i < 1500; i++)); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}
has_lines() { [ -f "$1" ] && [ "$(wc -l < "$1")" -ge "$2" ]; }
if command -v cc >/dev/null; then
  for program in plugin stamp_exec bare_loop; do cc -O2 -o "$dir/$program" "$here/$program.c"; done
  status=0
  BENCH_EXIT=3 BENCH_LOG="$dir/log" "$dir/plugin" || status=$?
  BENCH_EXIT=0 BENCH_LOG="$dir/log" "$dir/plugin"
  expect "plugin exit status" "3" "$status"
  expect "plugin logs each start" "2" "$(awk 'NF == 2 && $1 > 0 && $2 > 0' "$dir/log" | wc -l)"
  BENCH_ALIVE_MS=20 "$dir/plugin" -r 3 -A "$dir/alive" &
  plugin=$!
  wait_until test -e "$dir/alive" && rm -f "$dir/alive" && wait_until test -e "$dir/alive" &&
    expect "plugin re-creates its alive file" "yes" "yes" ||
    expect "plugin re-creates its alive file" "yes" "no"
  kill "$plugin"
  wait "$plugin" 2>/dev/null || true
  "$dir/stamp_exec" "$dir/t0" true
  expect "stamp" "1" "$(grep -cE '^[0-9]+$' "$dir/t0")"
  status=0
  "$dir/stamp_exec" "$dir/t0" false || status=$?
  expect "stamp runs the command" "1" "$status"
  BENCH_EXIT=0 BENCH_LOG="$dir/loop" "$dir/bare_loop" 0 "$dir/plugin" &
  loop=$!
  wait_until has_lines "$dir/loop" 3 && expect "bare loop restarts" "yes" "yes" ||
    expect "bare loop restarts" "yes" "no"
  kill "$loop"
  wait "$loop" 2>/dev/null || true
fi

[ "$failures" -eq 0 ] && echo "lib_test: all passed"
exit $((failures > 0))
