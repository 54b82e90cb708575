#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: what CI runs.
# Usage: scripts/test.sh [stage...]   (default: every stage, in this order)
#   format         formatting and include-layout checks, the example service files,
#                  the benchmark helpers' own checks, the set-up scripts against a
#                  failing registry (scripts/setup_test.sh)
#   default        plain build, all tests, static analysis (cppcheck, clang-tidy)
#   asan-ubsan     ASan+UBSan build, all tests
#   tsan           TSan build, all tests
#   release-clang  Release build with clang, all tests
#   armhf mipsel   cross builds: unit tests under qemu-user, and an end-to-end
#                  subset with the cross-built daemon under qemu-user
#   armel          cross build (ARMv5), unit tests under qemu-user
#   musl           the daemon against musl: the whole end-to-end suite with the
#                  dynamic build, a real-time smoke run of the static build,
#                  its size against its budget (scripts/size-budget.sh)
#   musl-cross     armhf and mipsel musl builds: the end-to-end subset with the
#                  dynamic daemon under qemu-user, an upgrade with the static one,
#                  each static one's size against its budget
#   busybox        end-to-end subset with busybox's killall, tar and sh
#   loaded         the whole end-to-end suite while stress-ng keeps every core busy
#   static         fully static size-optimised daemon, with a static cJSON
#   package        the .debs (lintian) and .tar.gz, their man pages, and the packaged daemon run
#   sdk            a plugin built against the installed SDK in every C and C++ mode
#   fuzz           every fuzz target for 20 s (scripts/fuzz.sh)
#   old-kernel     the whole end-to-end suite with the daemon under a launcher that
#                  answers ENOSYS to every system call newer than Linux 4.4, then
#                  newer than 3.10, at the highest descriptor limit allowed
#   router         the static musl daemon on emulated routers (qemu-system, mipsel
#                  malta and armhf virt, Debian's kernels, busybox as init): the
#                  scenarios in real time on both, and 10 power cuts during
#                  upgrade installs on each (scripts/router/, bench/router-cuts.sh)
#   docs           the README's demo in a fresh clone, and every other command that
#                  README.md and CONTRIBUTING.md show, as written (scripts/check-docs.sh)
#
# Each stage writes its build and test output to build/logs/<stage>.log and
# prints one line: stage, result, test counts, duration. A failed stage also
# prints the end of its log; the run goes on with the next stage and ends with
# a non-zero status. The set-up scripts write to build/logs/setup.log.
#
# A new stage: a function stage_<name> below, its name in all_stages, and in
# cross_stages too when it needs what scripts/setup-cross.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/size-budget.sh

all_stages=(format default asan-ubsan tsan release-clang armhf mipsel armel musl musl-cross busybox
            loaded static package sdk fuzz router docs old-kernel)
cross_stages=(armhf mipsel armel musl musl-cross busybox static package sdk router docs)

ctest_args=(-j2 --output-on-failure --timeout 300)
logs=build/logs
tail_lines=60

# --- test counts ----------------------------------------------------------------
# Test runs add "passed failed" lines to the stage's counts file; the stage's
# line shows their sums.

# ctest in a build tree, counted from its summary ("N tests failed out of T").
run_ctest() {
  local out status=0
  out=$(mktemp)
  ctest --test-dir "$@" "${ctest_args[@]}" 2>&1 | tee "$out" || status=$?
  sed -n 's/.* tests passed, \([0-9]*\) tests\? failed out of \([0-9]*\)$/\1 \2/p' "$out" |
    awk '{ print $2 - $1, $1 }' >>"$counts"
  rm -f "$out"
  return "$status"
}

# A gtest binary run directly, counted from its "[  PASSED  ]" and
# "[  FAILED  ]" summary lines. The cases are split into $shards parts run
# side by side (the end-to-end cases mostly wait for their scaled clocks);
# each part's output is shown whole once it has ended.
shards=2
run_gtest() {
  local outs=() pids=() shard status=0
  for ((shard = 0; shard < shards; shard++)); do
    outs+=("$(mktemp)")
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard "$@" >"${outs[shard]}" 2>&1 &
    pids+=($!)
  done
  for ((shard = 0; shard < shards; shard++)); do
    wait "${pids[shard]}" || status=1
    cat "${outs[shard]}"
    # --gtest_brief leaves out the list of failures: each failed case's own line counts then.
    awk '/^\[  PASSED  \] [0-9]+ tests?\./ { p = $4 }
         /^\[  FAILED  \] [0-9]+ tests?, listed below/ { f = $4 }
         /^\[  FAILED  \] .* \([0-9]+ ms\)$/ { each++ }
         END { print p + 0, (f ? f : each) + 0 }' "${outs[shard]}" >>"$counts"
    rm -f "${outs[shard]}"
  done
  return "$status"
}

build_preset() {
  cmake --preset "$1"
  cmake --build "build/$1" -j2
}

# The native end-to-end cases, run with the given environment and gtest filter.
run_e2e() {
  local filter=$1
  shift
  build_preset default
  cmake --install build/default --prefix build/default/stage
  run_gtest env "$@" build/default/tests/e2e/e2e_tests --gtest_filter="$filter" --gtest_brief=1
}

# Cases that need no commands of their own on the emulated side: a start, the
# start-up checks, restarts, a launch cycle that kills stray copies, an upgrade
# and a watchdog kill.
emulated_cases='table/startup_config.*:table/startup_directory.*:launch_e2e.*:table/record_e2e.*'
emulated_cases+=':supervise_e2e.ordinary_exits*:supervise_e2e.exit_160*:table/supervise_strays.*'
emulated_cases+=':upgrade_e2e.*:table/upgrade_*:watchdog_e2e.a_silent_program*'
# These execute a foreign program directly (the case's shell; the second
# supervisor), which only the host can.
emulated_cases+='-table/exec_failure_output_e2e.*'
emulated_cases+=':upgrade_e2e.a_supervisor_killed_while_tar_runs_can_start_again_at_once'
busybox_cases='table/startup_directory.*dot_slash*:supervise_e2e.ordinary_exits*'
busybox_cases+=':supervise_e2e.exit_160*:table/supervise_strays.*:upgrade_e2e.*:table/upgrade_*'
busybox_cases+=':watchdog_e2e.a_silent_program*'
# A static daemon cannot load the time-scaling library: cases without waits.
static_cases='table/startup_config.*:table/startup_directory.*:table/startup_run_file.*:startup.*'
static_cases+=':launch_e2e.a_valid_record*:launch_e2e.without_a_record*'
static_cases+=':table/startup_lost_run_file.*'
# Real time, for a static musl daemon: those, and a start, an upgrade and the
# restart with its reason.
smoke_cases="$static_cases:upgrade_e2e.exit_131*"

cross_stage() {
  local preset=$1 triplet=$2 qemu=$3
  build_preset "$preset"
  run_ctest "build/$preset"
  [ "$preset" = armel ] && return
  # The daemon runs emulated, the plugins and tools natively: the loader's
  # "$LIB" picks each one's own time-scaling library.
  build_preset default
  local shims=$PWD/build/$preset/shims native_lib
  native_lib=lib/$(gcc -print-multiarch)
  mkdir -p "$shims/lib/$triplet" "$shims/$native_lib"
  ln -sfn "$PWD/build/$preset/tests/support/libtime_shim.so" "$shims/lib/$triplet/"
  ln -sfn "$PWD/build/default/tests/support/libtime_shim.so" "$shims/$native_lib/"
  run_e2e "$emulated_cases" E2E_DAEMON="$PWD/build/$preset/plugsup" \
    E2E_EMULATOR="$(command -v "$qemu") -L /" E2E_TIME_SHIM="$shims/\$LIB/libtime_shim.so"
}

# A musl daemon's loader takes "$LIB" literally: a directory of that name
# holds its time-scaling library, beside the native tools' own.
musl_e2e() {  # preset, gtest filter, environment...
  local preset=$1 filter=$2 shims=$PWD/build/$1/shims
  shift 2
  build_preset default
  mkdir -p "$shims/\$LIB" "$shims/lib/$(gcc -print-multiarch)"
  ln -sfn "$PWD/build/$preset/tests/support/libtime_shim.so" "$shims/\$LIB/"
  ln -sfn "$PWD/build/default/tests/support/libtime_shim.so" "$shims/lib/$(gcc -print-multiarch)/"
  run_e2e "$filter" E2E_DAEMON="$PWD/build/$preset/plugsup" \
    E2E_TIME_SHIM="$shims/\$LIB/libtime_shim.so" "$@"
}
# The static musl daemon: static, and within its flash budget.
musl_static() {  # preset
  ./scripts/build-static-cjson.sh "$(musl_name "$1")"
  build_preset "$1"
  if readelf -l "build/$1/plugsup" | grep -q INTERP; then
    echo "$1: build/$1/plugsup is not statically linked"
    return 1
  fi
  check_size_budget "$1"
}
musl_name() { case $1 in musl*) echo x86_64-musl ;; *) echo "${1%%-*}-musl" ;; esac; }

# --- the stages -------------------------------------------------------------------
stage_format() {
  ./scripts/check-format.sh
  ./scripts/check-layout.sh
  ./scripts/check-service-files.sh
  bash bench/lib_test.sh
  ./scripts/setup_test.sh
}
preset_stage() {
  build_preset "$1"
  run_ctest "build/$1"
}
stage_default() {
  local lint status=0
  build_preset default
  # The analysis takes the cores that the end-to-end cases leave while they wait.
  ./scripts/lint.sh >"$logs/lint.log" 2>&1 &
  lint=$!
  run_ctest build/default || status=1
  wait "$lint" || status=1
  cat "$logs/lint.log"
  return "$status"
}
stage_asan-ubsan() { preset_stage asan-ubsan; }
stage_tsan() { preset_stage tsan; }
stage_release-clang() { preset_stage release-clang; }
stage_armhf() { cross_stage armhf arm-linux-gnueabihf qemu-arm; }
stage_mipsel() { cross_stage mipsel mipsel-linux-gnu qemu-mipsel; }
stage_armel() { cross_stage armel arm-linux-gnueabi qemu-arm; }
stage_musl() {
  ./scripts/build-static-cjson.sh x86_64-musl
  build_preset musl
  musl_e2e musl '*'
  musl_static musl-static
  run_e2e "$smoke_cases" E2E_DAEMON="$PWD/build/musl-static/plugsup"
}
stage_musl-cross() {
  local target
  for target in armhf:qemu-arm mipsel:qemu-mipsel; do
    ./scripts/build-static-cjson.sh "${target%:*}-musl"
    build_preset "${target%:*}-musl"
    musl_e2e "${target%:*}-musl" "$emulated_cases" E2E_EMULATOR="$(command -v "${target#*:}") -L /"
    musl_static "${target%:*}-musl-static"
    run_e2e 'upgrade_e2e.exit_131*' E2E_DAEMON="$PWD/build/${target%:*}-musl-static/plugsup" \
      E2E_EMULATOR="$(command -v "${target#*:}") -L /"
  done
}
stage_busybox() {
  local tools=$PWD/build/busybox-tools tool
  mkdir -p "$tools"
  for tool in killall tar sh; do ln -sfn "$(command -v busybox)" "$tools/$tool"; done
  run_e2e "$busybox_cases" PATH="$tools:$PATH" E2E_SHELL="$(command -v busybox)"
}
# A developer's machine is busy while CI runs: the suite must hold with every
# core taken by other work. The load starts once the build is done and ends
# with the stage, however it ends.
stage_loaded() {
  build_preset default
  local load
  stress-ng --cpu "$(nproc)" --timeout 2h --temp-path build/default --quiet &
  load=$!
  # shellcheck disable=SC2064  # the pid is known now
  trap "kill $load 2>/dev/null; wait $load 2>/dev/null || true" EXIT
  # One case at a time, as a developer would run them beside a busy build.
  shards=1 run_e2e '*'
}
stage_static() {
  ./scripts/build-static-cjson.sh
  build_preset static
  if readelf -l build/static/plugsup | grep -q INTERP; then
    echo "static: build/static/plugsup is not statically linked"
    return 1
  fi
  run_e2e "$static_cases" E2E_DAEMON="$PWD/build/static/plugsup"
}
# Routers' kernels: 326 is the first system call after Linux 4.4, 314 the
# first after 3.10. The descriptor limit as high as this machine allows: a
# start must not cost more with it.
stage_old-kernel() {
  build_preset default
  ulimit -n "$(ulimit -Hn)"
  echo "old-kernel: descriptor limit $(ulimit -n)"
  local level
  for level in 326 314; do
    run_e2e '*' E2E_WRAPPER="$PWD/build/default/tests/support/old_kernel $level"
  done
}
# The docs stage finds these commands here, as README.md and CONTRIBUTING.md show them.
stage_package() { ./scripts/check-package.sh; }
stage_sdk() { ./scripts/check-sdk.sh; }
stage_fuzz() { ./scripts/fuzz.sh; }
stage_docs() { ./scripts/check-docs.sh; }
# Each scenario run and each campaign counts as one test.
counted() {
  if "$@"; then echo "1 0" >>"$counts"; else echo "0 1" >>"$counts"; return 1; fi
}
# Each emulated router is one qemu thread: the two run side by side, each
# architecture's output shown whole once it has ended.
router_of() {  # arch, medium of the campaign; its image is built
  local status=0
  counted scripts/router/scenarios.sh "$1" ext4 || status=1
  counted bench/router-cuts.sh "$1" 10 "$2" || status=1
  return "$status"
}
stage_router() {
  local status=0 armhf mipsel
  # What both image builds set up first, once, before they run side by side.
  ./scripts/setup.sh >/dev/null
  ./scripts/setup-cross.sh >/dev/null
  { ./scripts/router/build-image.sh armhf; router_of armhf ext4; } >"$logs/router-armhf.log" 2>&1 &
  armhf=$!
  { ./scripts/router/build-image.sh mipsel; router_of mipsel jffs2; } >"$logs/router-mipsel.log" 2>&1 &
  mipsel=$!
  wait "$armhf" || status=1
  cat "$logs/router-armhf.log"
  wait "$mipsel" || status=1
  cat "$logs/router-mipsel.log"
  return "$status"
}

# --- running them -----------------------------------------------------------------
duration() {
  local s=$1
  if [ "$s" -ge 60 ]; then printf '%d min %02d s' $((s / 60)) $((s % 60)); else printf '%d s' "$s"; fi
}
report() {  # name, result, counts, seconds
  printf '%-14s %-7s %-22s %s\n' "$1" "$2" "$3" "$(duration "$4")"
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
  if [[ ! " ${all_stages[*]} " =~ [[:space:]]$stage[[:space:]] ]]; then
    echo "test.sh: unknown stage $stage (stages: ${all_stages[*]})"
    exit 2
  fi
done

mkdir -p "$logs"
started=$SECONDS
setup_scripts=(./scripts/setup.sh)
for stage in "${stages[@]}"; do
  if [[ " ${cross_stages[*]} " =~ [[:space:]]$stage[[:space:]] ]]; then
    setup_scripts+=(./scripts/setup-cross.sh)
    break
  fi
done
if ! (for script in "${setup_scripts[@]}"; do "$script" || exit; done) >"$logs/setup.log" 2>&1; then
  report setup FAILED - $((SECONDS - started))
  tail -n "$tail_lines" "$logs/setup.log"
  exit 1
fi
report setup ok - $((SECONDS - started))

failed=()
for stage in "${stages[@]}"; do
  log=$logs/$stage.log
  counts=$logs/$stage.counts
  : >"$counts"
  begun=$SECONDS
  # A subshell with errexit, so the first failing command ends the stage
  # (errexit would not hold in it if its status were tested with ||).
  set +e
  (
    set -e
    "stage_$stage"
  ) >"$log" 2>&1 </dev/null
  status=$?
  set -e
  tests=$(awk '{ p += $1; f += $2; n++ } END {
    if (n) printf "%d tests, %d failed", p + f, f; else print "-" }' "$counts")
  if [ "$status" -eq 0 ]; then
    report "$stage" ok "$tests" $((SECONDS - begun))
  else
    report "$stage" FAILED "$tests" $((SECONDS - begun))
    echo "--- last $tail_lines lines of $log:"
    tail -n "$tail_lines" "$log" | sed 's/^/  /'
    echo "---"
    failed+=("$stage")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "test.sh: ${#failed[@]} of ${#stages[@]} stages failed: ${failed[*]} ($(duration $((SECONDS - started))))"
  exit 1
fi
echo "test.sh: every stage passed: ${stages[*]} ($(duration $((SECONDS - started))))"
