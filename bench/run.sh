#!/usr/bin/env bash
# Side-by-side benchmark of the supervisor (the glibc build, and the static
# musl build a router ships) against two peer supervisors (runit: runsvdir +
# runsv, s6: s6-svscan + s6-supervise) and a bare C fork-exec-wait loop, all
# doing the same work in the same run:
#   - idle memory (Private_Dirty, Pss from smaps_rollup, the supervisor's own
#     processes summed, children excluded) with 1 and with 4 programs;
#   - stripped binary sizes;
#   - idle context switches per thread;
#   - supervisor CPU per single-program restart (schedstat deltas), ours at
#     two descriptor limits and per launch cycle, and the bare loop's;
#   - system calls per restart (strace -c -f attached for the restarts, the
#     program's own calls after its exec included, the same on both sides),
#     ours and the bare loop's;
#   - start-up to the first program's exec;
#   - the floor: a static musl program whose two threads only wait in pause().
# The static musl daemon cannot load the time shim: it restarts in real time,
# 10 s apart, so it gets fewer restarts.
# Every supervisor runs in its own PID and mount namespace with a tmpfs on
# /tmp. Rounds are interleaved (ours, runit, s6, ours, ...) and each cell is
# the median [min..max] over the rounds. Never part of the test suite.
#
# Usage: bench/run.sh [--quick|--full|--table|--descriptors]   (as root; quick
# is the default; --table prints the last run's table again without
# measuring; --descriptors measures only ours' CPU per restart at descriptor
# limit 1,024 and at the highest allowed, on this kernel and as Linux 4.4)
set -euo pipefail

mode=quick
case "${1:-}" in
  "" | --quick) ;;
  --full) mode=full ;;
  --table) mode=table ;;
  --descriptors) mode=descriptors ;;
  *) echo "usage: $0 [--quick|--full|--table|--descriptors]" >&2; exit 2 ;;
esac
if [ "$mode" != table ] && [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root (it creates PID and mount namespaces)" >&2
  exit 1
fi

cd "$(dirname "$0")/.."
source bench/lib.sh
source scripts/size-budget.sh
bash bench/lib_test.sh >/dev/null || { echo "bench: self-check of its helpers failed" >&2; exit 1; }

if [ "$mode" = full ]; then
  rounds=5 idle_s=60 ours_restarts=300 peer_restarts=15 cycles=150 musl_restarts=5
else
  rounds=3 idle_s=10 ours_restarts=100 peer_restarts=4 cycles=50 musl_restarts=2
fi
restart_scale=1000  # ours and the bare loop wait 10 s per restart: 10 ms here
watch_scale=1200    # the watchdog's 120 s pass comes every 100 ms
nr_open=$(cat /proc/sys/fs/nr_open)
# The highest descriptor limit allowed here: fs.nr_open, unless the hard limit
# is lower and cannot be raised (a root without CAP_SYS_RESOURCE).
high_limit=$( (ulimit -n "$nr_open" 2>/dev/null && ulimit -n) || ulimit -Hn)

# --- the table ----------------------------------------------------------------------
# The descriptor limit a measurement ran at, as read back inside its tree
# ("-" when its set-up failed).
limit_of() { cat "$results/limit.$1" 2>/dev/null || echo -; }
# The child closes the descriptors before its exec: while a launch forks, its
# time is apart from the supervisor's; "both" holds it either way.
old_limits_target() {
  printf '  %-8s %s\n' "$(verdict_at_most "$(m old-high.ours)" 1.1 "$(m old.ours)")" \
    "supervisor CPU per restart as Linux 4.4 at nofile $(limit_of old-high) <= 1.1 x at $(limit_of old) ($(ratio "$(m old-high.ours)" "$(m old.ours)") x)"
  printf '  %-8s %s\n' "$(verdict_at_most "$(m old-high-both.ours)" 1.1 "$(m old-both.ours)")" \
    "CPU per restart (both) as Linux 4.4 at nofile $(limit_of old-high) <= 1.1 x at $(limit_of old) ($(ratio "$(m old-high-both.ours)" "$(m old-both.ours)") x)"
}
# Ours alone, at two descriptor limits, on this kernel and as Linux 4.4.
print_descriptor_table() {
  m() { series_median "$results/$1"; }
  echo
  echo "CPU per restart by descriptor limit, $rounds interleaved rounds, median [min..max]; $measured_on"
  echo "machine: $(nproc) x $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), Linux $(uname -r)"
  echo
  printf '%-44s %-20s %-20s %s\n' "ours" "supervisor" "child" "both"
  local pair metric
  for pair in "restart:nofile $(limit_of restart) (us)" "nofile:nofile $(limit_of nofile) (us)" \
    "old:as Linux 4.4, nofile $(limit_of old) (us)" "old-high:as Linux 4.4, nofile $(limit_of old-high) (us)"; do
    metric=${pair%%:*}
    printf '%-44s %-20s %-20s %s\n' "${pair#*:}" "$(series_cell "$results/$metric.ours" 1000)" \
      "$(series_cell "$results/$metric-child.ours" 1000)" "$(series_cell "$results/$metric-both.ours" 1000)"
  done
  echo
  echo "targets"
  old_limits_target
}
print_table() {
  stripped_size() { local f; f=$(mktemp); strip -o "$f" "$1"; stat -c %s "$f"; rm -f "$f"; }
  size_ours=$(stripped_size "$build/plugsup")
  size_musl=$(stripped_size "$musl_build/plugsup")
  size_runit="$(stripped_size "$(command -v runsv)") + $(stripped_size "$(command -v runsvdir)")"
  size_s6="$(stripped_size "$(command -v s6-supervise)") + $(stripped_size "$(command -v s6-svscan)")"
  libs() { ldd "$1" | awk '$1 !~ /vdso|ld-linux|^libc\.so/ { printf "%s%s", sep, $1; sep = " " }'; }

  m() { series_median "$results/$1"; }
  row() {  # title, metric, unit, decimals, whos...
    local title=$1 metric=$2 unit=$3 decimals=$4
    shift 4
    local cells=() who
    for who in ours musl runit s6; do cells+=("$(series_cell "$results/$metric.$who" "$unit" "$decimals")"); done
    printf '%-44s %-20s %-20s %-20s %-20s %-6s %s\n' "$title" "${cells[@]}" \
      "$(ratio "$(m "$metric.ours")" "$(m "$metric.runit")")" "$(ratio "$(m "$metric.ours")" "$(m "$metric.s6")")"
  }
  text_row() { printf '%-44s %-20s %-20s %-20s %-20s %-6s %s\n' "$@"; }

  echo
  echo "Footprint and speed, $mode mode: $rounds interleaved rounds, median [min..max]; idle window $idle_s s; $measured_on, commit $(cat "$results/commit" 2>/dev/null || echo -)"
  echo "machine: $(nproc) x $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), Linux $(uname -r)"
  echo "peers: runit $(dpkg-query -W -f='${Version}' runit), s6 $(dpkg-query -W -f='${Version}' s6)"
  echo
  text_row "" "ours" "ours, static musl" "runit" "s6" "/runit" "/s6"
  text_row "processes / threads, 4 programs" "$(cat "$results/shape4.ours")" "$(cat "$results/shape4.musl")" \
    "$(cat "$results/shape4.runit")" "$(cat "$results/shape4.s6")" "" ""
  row "idle Private_Dirty, 4 programs (kB)" pd4 1 0
  row "idle Pss, 4 programs (kB)" pss4 1 0
  row "idle Private_Dirty, 1 program, all (kB)" pd1 1 0
  row "idle Private_Dirty, 1 program, 1 proc (kB)" pd1one 1 0
  row "idle Pss, 1 program, 1 proc (kB)" pss1one 1 0
  text_row "stripped binaries (bytes)" "$size_ours" "$size_musl" "$size_runit" "$size_s6" "" ""
  text_row "shared libraries beyond libc" "$(libs "$build/plugsup")" "none (static)" "$(libs "$(command -v runsv)")" \
    "$(libs "$(command -v s6-supervise)")" "" ""
  row "idle switches/60 s: main or scanner" wake_main 1 1
  row "idle switches/60 s: per-program procs" wake_prog 1 1
  row "idle switches/120 s: watchdog (time x$watch_scale)" wake_wd 1 2
  row "idle switches/60 s: 1 program, no check" wake1 1 1
  row "CPU per restart, supervisor (us)" restart 1000 0
  row "CPU per restart, child before exec (us)" restart-child 1000 0
  row "CPU per restart, both (us)" restart-both 1000 0
  row "start-up to first exec (ms, 3 a round)" startup 1000000 1
  text_row "system calls per restart (strace -f)" "$(series_cell "$results/syscalls.ours" 1 1)" "" "" "" "" ""
  text_row "floor: 2 threads in pause(), static musl" "Private_Dirty $(series_cell "$results/pd_floor.floor") kB" \
    "Pss $(series_cell "$results/pss_floor.floor") kB" "" "" "" ""
  text_row "" "" "" "" "" "" ""
  text_row "ours alone" "supervisor" "child" "both" "" "" ""
  for pair in "restart:CPU per restart, nofile $(limit_of restart) (us)" \
    "nofile:CPU per restart, nofile $(limit_of nofile) (us)" \
    "old:as Linux 4.4, nofile $(limit_of old) (us)" "old-high:as Linux 4.4, nofile $(limit_of old-high) (us)" \
    "cycle:CPU per launch cycle, exit 160 (us)"; do
    metric=${pair%%:*}
    text_row "${pair#*:}" "$(series_cell "$results/$metric.ours" 1000)" \
      "$(series_cell "$results/$metric-child.ours" 1000)" "$(series_cell "$results/$metric-both.ours" 1000)" "" "" ""
  done
  text_row "bare fork-exec-wait loop (us)" "$(series_cell "$results/restart.bare" 1000)" \
    "$(series_cell "$results/restart-child.bare" 1000)" "$(series_cell "$results/restart-both.bare" 1000)" "" "" ""
  text_row "bare loop: system calls per restart" "$(series_cell "$results/syscalls.bare" 1 1)" "" "" "" "" ""
  text_row "ours / bare loop" "$(ratio "$(m restart.ours)" "$(m restart.bare)")" \
    "$(ratio "$(m restart-child.ours)" "$(m restart-child.bare)")" \
    "$(ratio "$(m restart-both.ours)" "$(m restart-both.bare)")" "" "" ""
  text_row "nofile $(limit_of nofile) / nofile $(limit_of restart)" "$(ratio "$(m nofile.ours)" "$(m restart.ours)")" \
    "$(ratio "$(m nofile-child.ours)" "$(m restart-child.ours)")" \
    "$(ratio "$(m nofile-both.ours)" "$(m restart-both.ours)")" "" "" ""
  text_row "as 4.4: nofile $(limit_of old-high) / $(limit_of old)" "$(ratio "$(m old-high.ours)" "$(m old.ours)")" \
    "$(ratio "$(m old-high-child.ours)" "$(m old-child.ours)")" \
    "$(ratio "$(m old-high-both.ours)" "$(m old-both.ours)")" "" "" ""

  echo
  echo "targets"
  target() { printf '  %-8s %s\n' "$1" "$2"; }
  target "$(verdict_at_most "$(m pd4.ours)" 0.8 "$(m pd1one.s6)")" \
    "Private_Dirty of ours with 4 programs <= 0.8 x one s6-supervise with 1 ($(m pd4.ours) vs $(m pd1one.s6) kB)"
  target "$(verdict_at_most "$(m restart.ours)" 1.3 "$(m restart.bare)")" \
    "supervisor CPU per restart <= 1.3 x the bare loop's ($(ratio "$(m restart.ours)" "$(m restart.bare)") x)"
  target "$(awk -v o="$(m startup.ours)" -v r="$(m startup.runit)" -v s="$(m startup.s6)" \
      'BEGIN { print (o < r && o < s) ? "met" : "not met" }')" \
    "start-up to first exec ahead of runit and s6 ($(awk -v o="$(m startup.ours)" -v r="$(m startup.runit)" \
      -v s="$(m startup.s6)" 'BEGIN { printf "%.1f vs %.1f and %.1f ms", o / 1e6, r / 1e6, s / 1e6 }'))"
  local idle_ok
  idle_ok=$(awk -v a="$(series_max "$results/wake_main.ours")" -v b="$(m wake_wd.ours)" \
    -v c="$(series_max "$results/wake1.ours")" -v t="$(cat "$results/shape1.ours")" \
    'BEGIN { print (a == 0 && b >= 0.95 && b <= 1.05 && c == 0 && t == "1 / 1") ? "met" : "not met" }')
  target "$idle_ok" "idle: main thread 0 switches, watchdog 1 per 120 s, no watchdog without excheck"
  target "$(verdict_at_most "$(m nofile-both.ours)" 1.2 "$(m restart-both.ours)")" \
    "CPU per restart (both) at nofile $(limit_of nofile) <= 1.2 x at $(limit_of restart) ($(ratio "$(m nofile-both.ours)" "$(m restart-both.ours)") x)"
  old_limits_target
  target "$(verdict_at_most "$(m pd4.musl)" 1.25 "$(m pd_floor.floor)")" \
    "Private_Dirty of ours, static musl, with 4 programs <= 1.25 x the floor ($(m pd4.musl) vs $(m pd_floor.floor) kB)"
  local preset size
  for preset in musl-static armhf-musl-static mipsel-musl-static; do
    size=$(cat "$results/size.$preset" 2>/dev/null || echo -)
    target "$(verdict_at_most "$size" 1 "${size_budget[$preset]}")" \
      "stripped daemon, $preset: $size bytes within its budget of ${size_budget[$preset]} bytes"
  done
  echo
  echo "Private_Dirty by mapping (kB, name, perms, size), idle, last round:"
  local who
  for who in ours musl s6-supervise; do
    echo "  $who$([ "$who" = s6-supervise ] && echo ", 1 program" || echo ", 4 programs"):"
    awk '{ kb = $1; $1 = ""; printf "    %4d %s\n", kb, $0 }' "$results/mappings.$who" 2>/dev/null || true
  done
  echo "(measured in $elapsed s; raw series in $results)"
}

build=$PWD/build/bench
musl_build=$PWD/build/musl-static
results=$build/run/results
if [ "$mode" = table ]; then
  [ -f "$results/meta" ] || { echo "bench: no earlier run in $results" >&2; exit 1; }
  read -r mode rounds elapsed measured_on idle_s nr_open < "$results/meta"
  if [ "$mode" = descriptors ]; then print_descriptor_table; else print_table; fi | sed "s/ *$//"
  exit 0
fi

# --- build ------------------------------------------------------------------
./scripts/setup.sh
[ "$mode" = descriptors ] || ./scripts/setup-cross.sh  # musl, and the cross compilers for the size targets
peer_packages=()
command -v runsvdir >/dev/null && command -v runsv >/dev/null || peer_packages+=(runit)
command -v s6-svscan >/dev/null && command -v s6-supervise >/dev/null || peer_packages+=(s6)
command -v ps >/dev/null || peer_packages+=(procps)
command -v strace >/dev/null || peer_packages+=(strace)
if [ ${#peer_packages[@]} -gt 0 ] && [ "$mode" != descriptors ]; then
  echo "bench: installing ${peer_packages[*]}"
  apt_who=bench
  source scripts/apt.sh
  apt_update
  apt_install "${peer_packages[@]}"
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tools=$build/tools
mkdir -p "$tools"
cc -O2 -shared -fPIC -o "$tools/libtime_shim.so" tests/support/time_shim.c -ldl
# Static, so that a program's own start costs the same under every supervisor.
cc -O2 -static -o "$tools/plugin" bench/plugin.c
cc -O2 -static -o "$tools/stamp_exec" bench/stamp_exec.c
cc -O2 -o "$tools/bare_loop" bench/bare_loop.c
# Plays an older kernel: every system call from a number on answers ENOSYS.
cc -O2 -static -o "$tools/old_kernel" tests/support/old_kernel.c
[ "$mode" = descriptors ] || musl-gcc -Os -static -o "$tools/floor" bench/floor.c
# The build a router ships, for x86-64 (measured) and the targets (sizes).
[ "$mode" = descriptors ] || for preset in musl-static armhf-musl-static mipsel-musl-static; do
  ./scripts/build-static-cjson.sh "$([ "$preset" = musl-static ] && echo x86_64 || echo "${preset%%-*}")-musl" >/dev/null
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2 --target plugsup >/dev/null
done

# --- trees --------------------------------------------------------------------
work=$build/run
rm -rf "$work"
mkdir -p "$work/logs" "$results"
[ "$mode" = descriptors ] || for preset in musl-static armhf-musl-static mipsel-musl-static; do
  stat -c %s "build/$preset/plugsup" > "$results/size.$preset"  # stripped by the preset
done
git rev-parse --short HEAD > "$results/commit" 2>/dev/null || echo - > "$results/commit"
[ -z "$(git status --porcelain --untracked-files=no 2>/dev/null)" ] || sed -i 's/$/ (with local changes)/' "$results/commit"

make_ours_tree() {  # name, config, daemon
  mkdir -p "$work/$1/sup" "$work/$1/data"
  cp "$3" "$work/$1/sup/plugsup"
  for p in p0 p1 p2 p3; do cp "$tools/plugin" "$work/$1/sup/$p"; done
  echo "$2" > "$work/$1/sup/config"
}
make_service_tree() {  # name, program count
  local i
  for ((i = 0; i < $2; i++)); do
    mkdir -p "$work/$1/p$i"
    cp "$tools/plugin" "$work/$1/p$i/run"
  done
}
one='{"__watch":{"processes":[{"base":"p0"}]}}'
four='{"__watch":{"processes":[{"base":"p0","excheck":true},{"base":"p1"},{"base":"p2"},{"base":"p3"}]}}'
make_ours_tree ours1 "$one" "$build/plugsup"
make_ours_tree ours4 "$four" "$build/plugsup"
if [ "$mode" != descriptors ]; then
  make_ours_tree musl1 "$one" "$musl_build/plugsup"
  make_ours_tree musl4 "$four" "$musl_build/plugsup"
fi
make_service_tree svc1 1
make_service_tree svc4 4
# Freshly copied binaries still have dirty page cache, which would count as
# the supervisor's Private_Dirty.
sync

# --- namespaces -----------------------------------------------------------------
declare -A ns_pid=()
cleanup() {
  local label
  for label in "${!ns_pid[@]}"; do stop_tree "$label"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A checkout under /tmp keeps its build tree (binaries, logs) visible through
# the new tmpfs: the tree is held open and bound back in at its old path.
case $build in
  /tmp/*) keep_build="mkdir -p $build && mount --no-canonicalize --bind /proc/self/fd/9 $build" ;;
  *) keep_build=true ;;
esac
# Starts a command in a new PID and mount namespace with a tmpfs on /tmp, as
# PID 2 under a shell (a PID 1 without handlers would ignore SIGTERM).
# Killing the unshare process kills the whole namespace (--kill-child).
start_tree() {  # label, command (bash, run inside)
  unshare --mount --pid --fork --kill-child --mount-proc \
    bash -c "exec 9<$build && mount -t tmpfs tmpfs /tmp && $keep_build && exec 9<&- &&
      { $2 ; } </dev/null >/dev/null 2>&1 & wait" \
    </dev/null >/dev/null 2>&1 &
  ns_pid[$1]=$!
}
stop_tree() {
  local pid=${ns_pid[$1]:-}
  unset "ns_pid[$1]"
  [ -n "$pid" ] || return 0
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The command that starts a supervisor of the given kind inside its namespace.
# Environment: what the plugin does; ours and the bare loop may get the
# time shim (never in memory runs: its mapping would count).
supervisor_command() {  # kind (ours1|ours4|old1|musl1|musl4|runit1|runit4|s61|s64|bare|floor), label, env...
  local kind=$1 label=$2
  shift 2
  local env="env BENCH_LOG=$work/logs/$label.log $* $tools/stamp_exec $work/logs/$label.t0"
  case $kind in
    ours1 | ours4 | musl1 | musl4) echo "cd $work/$kind/sup && $env ./plugsup" ;;
    # ours1 as Linux 4.4 runs it: 326, copy_file_range, is the first call after it
    old1) echo "cd $work/ours1/sup && $env $tools/old_kernel 326 ./plugsup ./plugsup" ;;
    runit1 | runit4) echo "cp -a $work/svc${kind#runit} /tmp/service && cd / && $env runsvdir /tmp/service" ;;
    s61 | s64) echo "cp -a $work/svc${kind#s6} /tmp/service && cd / && $env s6-svscan /tmp/service" ;;
    bare) echo "cd /tmp && $env $tools/bare_loop 10 $tools/plugin" ;;
    floor) echo "cd /tmp && $env $tools/floor" ;;
  esac
}
supervisor_names() {  # kind: the command names of its own processes
  case $1 in
    ours* | old* | musl*) echo plugsup ;;
    runit*) echo "runsvdir runsv" ;;
    s6*) echo "s6-svscan s6-supervise" ;;
    bare) echo bare_loop ;;
    floor) echo floor ;;
  esac
}

# Pids of the supervisor's own processes in a namespace, "pid name" a line.
supervisor_pids() {  # label, kind
  ps -e -o pid= -o ppid= -o comm= | own_processes "${ns_pid[$1]}" "$(supervisor_names "$2")"
}

starts() { local n=0; [ -f "$1" ] && n=$(wc -l < "$1"); echo "$n"; }
# Polls (no bare sleeps) until a log holds at least n starts; 1 when it
# does not before the deadline.
wait_starts() {  # log, n, deadline s
  local end=$((SECONDS + $3))
  while [ "$(starts "$1")" -lt "$2" ]; do
    [ $SECONDS -lt "$end" ] || return 1
    sleep 0.02
  done
}

cpu_ns() {  # pids: on-CPU time of all their threads (schedstat)
  local pid task total=0 run _
  for pid in "$@"; do
    for task in /proc/"$pid"/task/*; do
      [ -r "$task/schedstat" ] || continue
      read -r run _ < "$task/schedstat" || continue
      total=$((total + run))
    done
  done
  echo "$total"
}
switches() {  # "pid tid switches" for every thread of the pids
  local pid task
  for pid in "$@"; do
    for task in /proc/"$pid"/task/*; do
      awk -v p="$pid" -v t="${task##*/}" '/^(non)?voluntary_ctxt_switches/ { s += $2 }
        END { print p, t, s }' "$task/status"
    done
  done
}
smaps_kb() {  # field, pids: summed over the processes
  local field=$1 pid total=0 v
  shift
  for pid in "$@"; do
    v=$(awk -v f="$field:" '$1 == f { print $2 }' /proc/"$pid"/smaps_rollup)
    total=$((total + v))
  done
  echo "$total"
}
record() { echo "$3" >> "$results/$1.$2"; }  # metric, who, value

# --- idle: memory and wake-ups ------------------------------------------------------
# All trees of a round idle side by side: an idle supervisor does not compete
# for the CPU, and one window serves every tree.
idle_round() {  # round
  local r=$1 label kind who
  local -A kinds=([o1]=ours1 [o4]=ours4 [ow]=ours4 [m1]=musl1 [m4]=musl4 [r1]=runit1 [r4]=runit4 [s1]=s61
                  [s4]=s64 [fl]=floor)
  local -A needed=([o1]=1 [o4]=4 [ow]=4 [m1]=1 [m4]=4 [r1]=1 [r4]=4 [s1]=1 [s4]=4 [fl]=0)
  local labels=(o1 o4 m1 m4 r1 r4 s1 s4 ow fl)
  for label in "${labels[@]}"; do
    local env=""
    [ "$label" = ow ] && env="LD_PRELOAD=$tools/libtime_shim.so SUP_TIME_SCALE=$watch_scale BENCH_ALIVE_MS=$((60000 / watch_scale))"
    start_tree "idle-$label-$r" "ulimit -n 1024; $(supervisor_command "${kinds[$label]}" "idle-$label-$r" $env)"
  done
  for label in "${labels[@]}"; do
    wait_starts "$work/logs/idle-$label-$r.log" "${needed[$label]}" 20 ||
      { echo "bench: ${kinds[$label]} did not start its programs" >&2; exit 1; }
  done
  sleep 2  # let every supervisor settle into its idle wait
  local -A before=() since=()
  for label in "${labels[@]}"; do
    kind=${kinds[$label]}
    local pids one=""
    pids=$(supervisor_pids "idle-$label-$r" "$kind" | awk '{ print $1 }' | xargs)
    who=${kind%[14]}
    case $label in
      o1 | m1 | r1 | s1)
        record pd1 "$who" "$(smaps_kb Private_Dirty $pids)"
        record pss1 "$who" "$(smaps_kb Pss $pids)"
        # the one process that watches the program
        one=$(supervisor_pids "idle-$label-$r" "$kind" | awk '$2 != "runsvdir" && $2 != "s6-svscan" { print $1 }')
        record pd1one "$who" "$(smaps_kb Private_Dirty $one)"
        record pss1one "$who" "$(smaps_kb Pss $one)" ;;
      o4 | m4 | r4 | s4)
        record pd4 "$who" "$(smaps_kb Private_Dirty $pids)"
        record pss4 "$who" "$(smaps_kb Pss $pids)"
        echo "$(wc -w <<< "$pids") / $(switches $pids | wc -l)" > "$results/shape4.$who" ;;
      fl)
        record pd_floor floor "$(smaps_kb Private_Dirty $pids)"
        record pss_floor floor "$(smaps_kb Pss $pids)" ;;
    esac
    # Where the dirty pages lie (the last round's are kept).
    case $label in
      o4) awk -f bench/pd_mappings.awk /proc/"$pids"/smaps | sort -rn > "$results/mappings.ours" ;;
      m4) awk -f bench/pd_mappings.awk /proc/"$pids"/smaps | sort -rn > "$results/mappings.musl" ;;
      s1) awk -f bench/pd_mappings.awk /proc/"$one"/smaps | sort -rn > "$results/mappings.s6-supervise" ;;
    esac
    [ "$label" = o1 ] && echo "1 / $(switches $pids | wc -l)" > "$results/shape1.ours"
    before[$label]=$(switches $pids)
    since[$label]=$EPOCHREALTIME
  done
  sleep "$idle_s"
  for label in "${labels[@]}"; do
    local after
    # shellcheck disable=SC2046 # pids, one word each
    after=$(switches $(awk '{ print $1 }' <<< "${before[$label]}" | sort -u))
    local window
    window=$(awk -v a="${since[$label]}" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')
    # per thread: "pid/tid delta"
    local deltas
    deltas=$(join <(echo "${before[$label]}" | awk '{ print $1 "/" $2, $3 }' | sort) \
                  <(echo "$after" | awk '{ print $1 "/" $2, $3 }' | sort) |
             awk '{ print $1, $3 - $2 }')
    local names
    names=$(supervisor_pids "idle-$label-$r" "${kinds[$label]}")
    per_thread "$label" "$deltas" "$names" "$window"
  done
  for label in "${labels[@]}"; do stop_tree "idle-$label-$r"; done
}

# Files the idle deltas under their metrics; per 60 s, the watchdog per 120 s
# of (scaled) supervisor time. The window is the measured one, which is a
# little longer than asked for on a loaded machine.
per_thread() {  # label, "pid/tid delta" lines, "pid name" lines, window s
  local label=$1 window=$4
  per60() { awk -v d="$1" -v w="$window" 'BEGIN { printf "%.2f\n", d * 60 / w }'; }
  local main=0 watchdog=0 scanner=0 programs=0 key delta pid tid name
  while read -r key delta; do
    pid=${key%/*} tid=${key#*/}
    name=$(awk -v p="$pid" '$1 == p { print $2 }' <<< "$3")
    case $name in
      plugsup) if [ "$pid" = "$tid" ]; then main=$((main + delta)); else watchdog=$((watchdog + delta)); fi ;;
      runsvdir | s6-svscan) scanner=$((scanner + delta)) ;;
      *) programs=$((programs + delta)) ;;
    esac
  done <<< "$2"
  case $label in
    o1) record wake1 ours "$(per60 $((main + watchdog)))" ;;
    o4) record wake_main ours "$(per60 "$main")" ;;
    ow) record wake_wd ours "$(awk -v d="$watchdog" -v w="$window" -v s="$watch_scale" \
          'BEGIN { printf "%.2f\n", d * 120 / (w * s) }')" ;;
    r4) record wake_main runit "$(per60 "$scanner")"; record wake_prog runit "$(per60 "$programs")" ;;
    s4) record wake_main s6 "$(per60 "$scanner")"; record wake_prog s6 "$(per60 "$programs")" ;;
  esac
}

# --- restarts: CPU and start-up ----------------------------------------------------
# One program that exits at once, restarted n times after a warm-up; the
# supervisor's CPU over them divided by their count, and the child's own CPU
# before its program ran (from the plugin's log lines).
restart_run() {  # metric, who, kind, restarts, limit, env...
  local metric=$1 who=$2 kind=$3 n=$4 limit=$5
  shift 5
  local label=$metric-$who-$round log failed
  log=$work/logs/$label.log
  failed=$work/logs/$label.failed
  # The limit in force is read back inside the tree; a limit that cannot be
  # set ends the measurement, never measures another one.
  start_tree "$label" "if ! ulimit -n $limit 2>$failed; then echo \"ulimit -n $limit: \$(cat $failed)\" >$failed; exit; fi;
    rm -f $failed; ulimit -n >$work/logs/$label.limit; $(supervisor_command "$kind" "$label" "$@")"
  local deadline=$((30 + n * 3))
  [[ $kind != musl* ]] || deadline=$((30 + n * 12))  # real time: 10 s a restart
  if ! wait_starts "$log" 2 "$deadline"; then
    stop_tree "$label"
    if [ -s "$failed" ]; then
      echo "bench: $label: set-up failed, not measured: $(cat "$failed")" >&2
      return 0
    fi
    echo "bench: $label: no restarts" >&2
    exit 1
  fi
  cp "$work/logs/$label.limit" "$results/limit.$metric"
  local pids c0 c1 s0 s1
  pids=$(supervisor_pids "$label" "$kind" | awk '{ print $1 }' | xargs)
  c0=$(starts "$log")
  s0=$(cpu_ns $pids)
  wait_starts "$log" $((c0 + n)) "$deadline" || { echo "bench: $label: too few restarts" >&2; exit 1; }
  s1=$(cpu_ns $pids)
  c1=$(starts "$log")
  stop_tree "$label"
  record "$metric" "$who" $(((s1 - s0) / (c1 - c0)))
  record "$metric-child" "$who" "$(awk -v a="$c0" -v b="$c1" 'NR > a && NR <= b { s += $2 }
    END { printf "%d\n", s / (b - a) }' "$log")"
  record "$metric-both" "$who" $(( $(tail -n1 "$results/$metric.$who") + $(tail -n1 "$results/$metric-child.$who") ))
}

# From the exec of the supervisor to the exec of its first program, without
# the time shim (its loading would count for ours alone).
# strace attached to the running supervisor for at least n restarts: its
# calls and those of its children, per restart. Every restart executes the
# program once, so the restarts are the execve calls counted, whenever the
# attach took hold. The tree is ended under the tracer, which then stops by
# itself: a tracer detaching meanwhile could wait forever for a supervisor
# that waits in vfork for a child the tracer holds stopped.
syscall_run() {  # who, kind, restarts, env...
  local who=$1 kind=$2 n=$3
  shift 3
  local label=syscalls-$who-$round log out
  log=$work/logs/$label.log out=$work/logs/$label.strace
  start_tree "$label" "ulimit -n 1024; $(supervisor_command "$kind" "$label" "$@")"
  wait_starts "$log" 2 60 || { echo "bench: $label: no restarts" >&2; exit 1; }
  local pid c0 tracer
  pid=$(supervisor_pids "$label" "$kind" | awk '{ print $1 }' | head -n 1)
  strace -f -c -o "$out" -p "$pid" 2>/dev/null &
  tracer=$!
  sleep 0.5  # attached
  c0=$(starts "$log")
  wait_starts "$log" $((c0 + n)) $((30 + n * 3)) || { echo "bench: $label: too few restarts" >&2; exit 1; }
  stop_tree "$label"
  wait "$tracer" 2>/dev/null || true
  record syscalls "$who" "$(awk '$NF == "execve" { e = $4 } $NF == "total" { t = $4 }
    END { if (e > 0) printf "%.1f\n", t / e }' "$out")"
}

startup_run() {  # who, kind, sample
  local label=startup-$1-$round-$3
  start_tree "$label" "$(supervisor_command "$2" "$label")"
  wait_starts "$work/logs/$label.log" 1 20 || { echo "bench: $label: no start" >&2; exit 1; }
  stop_tree "$label"
  local t0 first _
  t0=$(cat "$work/logs/$label.t0")
  read -r first _ < "$work/logs/$label.log"
  record startup "$1" $((first - t0))
}

shim="LD_PRELOAD=$tools/libtime_shim.so SUP_TIME_SCALE=$restart_scale"
started=$SECONDS
# Ours at two descriptor limits, on this kernel and as Linux 4.4 (no close_range).
descriptor_runs() {
  restart_run restart ours ours1 "$ours_restarts" 1024 $shim BENCH_EXIT=0
  restart_run nofile ours ours1 "$ours_restarts" "$high_limit" $shim BENCH_EXIT=0
  restart_run old ours old1 "$ours_restarts" 1024 $shim BENCH_EXIT=0
  restart_run old-high ours old1 "$ours_restarts" "$high_limit" $shim BENCH_EXIT=0
}
if [ "$mode" = descriptors ]; then
  for ((round = 1; round <= rounds; round++)); do
    echo "bench: round $round of $rounds (descriptors)" >&2
    descriptor_runs
  done
  echo "$mode $rounds $((SECONDS - started)) $(date -u +%F) - $nr_open" > "$results/meta"
  read -r mode rounds elapsed measured_on idle_s nr_open < "$results/meta"
  print_descriptor_table | sed "s/ *$//"
  exit 0
fi
for ((round = 1; round <= rounds; round++)); do
  echo "bench: round $round of $rounds ($mode)" >&2
  descriptor_runs
  restart_run restart runit runit1 "$peer_restarts" 1024 BENCH_EXIT=0
  restart_run restart s6 s61 "$peer_restarts" 1024 BENCH_EXIT=0
  restart_run restart bare bare "$ours_restarts" 1024 $shim BENCH_EXIT=0
  restart_run cycle ours ours1 "$cycles" 1024 $shim BENCH_EXIT=160
  restart_run restart musl musl1 "$musl_restarts" 1024 BENCH_EXIT=0
  syscall_run ours ours1 "$ours_restarts" $shim BENCH_EXIT=0
  syscall_run bare bare "$ours_restarts" $shim BENCH_EXIT=0
  for sample in 1 2 3; do
    startup_run ours ours1 "$sample"
    startup_run musl musl1 "$sample"
    startup_run runit runit1 "$sample"
    startup_run s6 s61 "$sample"
  done
  idle_round "$round"
done
echo "$mode $rounds $((SECONDS - started)) $(date -u +%F) $idle_s $nr_open" > "$results/meta"
read -r mode rounds elapsed measured_on idle_s nr_open < "$results/meta"
print_table | sed "s/ *$//"

