#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: what CI runs.
# Usage: scripts/test.sh [stage...]   (default: every stage, in this order)
#   format         formatting and include-layout checks, the benchmark helpers' own checks
#   default        plain build, all tests, static analysis (cppcheck, clang-tidy)
#   asan-ubsan     ASan+UBSan build, all tests
#   tsan           TSan build, all tests
#   release-clang  Release build with clang, all tests
#   armhf mipsel   cross builds: unit tests under qemu-user, and an end-to-end
#                  subset with the cross-built daemon under qemu-user
#   armel          cross build (ARMv5), unit tests under qemu-user
#   musl           the daemon against musl: the whole end-to-end suite with the
#                  dynamic build, a real-time smoke run of the static build
#   musl-cross     armhf and mipsel musl builds: the end-to-end subset with the
#                  dynamic daemon under qemu-user, an upgrade with the static one
#   busybox        end-to-end subset with busybox's killall, tar and sh
#   static         fully static size-optimised daemon, with a static cJSON
#   package        the .deb and .tar.gz, their man pages, and the packaged daemon run
#   fuzz           every fuzz target for 20 s (scripts/fuzz.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(format default asan-ubsan tsan release-clang armhf mipsel armel musl musl-cross busybox
            static package fuzz)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")

./scripts/setup.sh
for stage in "${stages[@]}"; do
  case $stage in
    armhf | mipsel | armel | musl | musl-cross | busybox | static) ./scripts/setup-cross.sh ;;
  esac
done

ctest_args=(-j2 --output-on-failure --timeout 300)

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build "build/$1" -j2
}

# The native end-to-end cases, run with the given environment and gtest filter.
run_e2e() {
  local filter=$1
  shift
  build_preset default >/dev/null
  cmake --install build/default --prefix build/default/stage >/dev/null
  env "$@" build/default/tests/e2e/e2e_tests --gtest_filter="$filter" --gtest_brief=1
}

# Cases that need no commands of their own on the emulated side: a start, the
# start-up checks, restarts, a launch cycle that kills stray copies, an upgrade
# and a watchdog kill.
emulated_cases='table/startup_config.*:table/startup_directory.*:launch_e2e.*:table/record_e2e.*'
emulated_cases+=':supervise_e2e.ordinary_exits*:supervise_e2e.exit_160*:supervise_e2e.stray_copies*'
emulated_cases+=':upgrade_e2e.*:watchdog_e2e.a_silent_program*'
# Its shell executes the program directly, which only the host can.
emulated_cases+='-launch_e2e.an_exec_failure_ends_with_129_when_no_one_reads_the_output'
busybox_cases='table/startup_directory.*dot_slash*:supervise_e2e.ordinary_exits*'
busybox_cases+=':supervise_e2e.exit_160*:supervise_e2e.stray_copies*:upgrade_e2e.exit_130*'
busybox_cases+=':watchdog_e2e.a_silent_program*'
# A static daemon cannot load the time-scaling library: cases without waits.
static_cases='table/startup_config.*:table/startup_directory.*:table/startup_run_file.*:startup.*'
static_cases+=':launch_e2e.a_valid_record*:launch_e2e.without_a_record*'
# Real time, for a static musl daemon: those, and a start, an upgrade and the
# restart with its reason.
smoke_cases="$static_cases:upgrade_e2e.exit_131*"

cross_stage() {
  local preset=$1 triplet=$2 qemu=$3
  build_preset "$preset"
  ctest --test-dir "build/$preset" "${ctest_args[@]}"
  [ "$preset" = armel ] && return
  # The daemon runs emulated, the plugins and tools natively: the loader's
  # "$LIB" picks each one's own time-scaling library.
  build_preset default >/dev/null
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
  build_preset default >/dev/null
  mkdir -p "$shims/\$LIB" "$shims/lib/$(gcc -print-multiarch)"
  ln -sfn "$PWD/build/$preset/tests/support/libtime_shim.so" "$shims/\$LIB/"
  ln -sfn "$PWD/build/default/tests/support/libtime_shim.so" "$shims/lib/$(gcc -print-multiarch)/"
  run_e2e "$filter" E2E_DAEMON="$PWD/build/$preset/plugsup" \
    E2E_TIME_SHIM="$shims/\$LIB/libtime_shim.so" "$@"
}
musl_static() {  # preset
  ./scripts/build-static-cjson.sh "$(musl_name "$1")"
  build_preset "$1"
  if readelf -l "build/$1/plugsup" | grep -q INTERP; then
    echo "$1: build/$1/plugsup is not statically linked"
    exit 1
  fi
}
musl_name() { case $1 in musl*) echo x86_64-musl ;; *) echo "${1%%-*}-musl" ;; esac; }

for stage in "${stages[@]}"; do
  echo "== $stage =="
  case $stage in
    format)
      ./scripts/check-format.sh
      ./scripts/check-layout.sh
      bash bench/lib_test.sh
      ;;
    default | asan-ubsan | tsan | release-clang)
      build_preset "$stage"
      ctest --test-dir "build/$stage" "${ctest_args[@]}"
      if [ "$stage" = default ]; then ./scripts/lint.sh; fi
      ;;
    armhf) cross_stage armhf arm-linux-gnueabihf qemu-arm ;;
    mipsel) cross_stage mipsel mipsel-linux-gnu qemu-mipsel ;;
    armel) cross_stage armel arm-linux-gnueabi qemu-arm ;;
    musl)
      ./scripts/build-static-cjson.sh x86_64-musl
      build_preset musl
      musl_e2e musl '*'
      musl_static musl-static
      run_e2e "$smoke_cases" E2E_DAEMON="$PWD/build/musl-static/plugsup"
      ;;
    musl-cross)
      for target in armhf:qemu-arm mipsel:qemu-mipsel; do
        ./scripts/build-static-cjson.sh "${target%:*}-musl"
        build_preset "${target%:*}-musl"
        musl_e2e "${target%:*}-musl" "$emulated_cases" E2E_EMULATOR="$(command -v "${target#*:}") -L /"
        musl_static "${target%:*}-musl-static"
        run_e2e 'upgrade_e2e.exit_131*' E2E_DAEMON="$PWD/build/${target%:*}-musl-static/plugsup" \
          E2E_EMULATOR="$(command -v "${target#*:}") -L /"
      done
      ;;
    busybox)
      tools=$PWD/build/busybox-tools
      mkdir -p "$tools"
      for tool in killall tar sh; do ln -sfn "$(command -v busybox)" "$tools/$tool"; done
      run_e2e "$busybox_cases" PATH="$tools:$PATH" E2E_SHELL="$(command -v busybox)"
      ;;
    static)
      ./scripts/build-static-cjson.sh
      build_preset static
      if readelf -l build/static/plugsup | grep -q INTERP; then
        echo "static: build/static/plugsup is not statically linked"
        exit 1
      fi
      run_e2e "$static_cases" E2E_DAEMON="$PWD/build/static/plugsup"
      ;;
    package) ./scripts/check-package.sh ;;
    fuzz) ./scripts/fuzz.sh 20 ;;
    *)
      echo "test.sh: unknown stage $stage (stages: ${all_stages[*]})"
      exit 2
      ;;
  esac
done
