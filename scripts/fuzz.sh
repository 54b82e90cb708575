#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, ASan+UBSan) in build/fuzz and
# gives each the given number of seconds; each begins with the sample inputs
# kept in fuzz/corpus/<target>/. New inputs go to build/fuzz/corpus/<target>/, a
# failing input to build/fuzz/artifacts/. The upgrade target needs root (it
# makes a private mount namespace).
# Usage: scripts/fuzz.sh [seconds]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

seconds=${1:-20}
build=build/fuzz
targets=(config_fuzz plugin_mode_fuzz upgrade_record_fuzz version_fuzz)
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUGSUP_BUILD_TESTS=OFF -DPLUGSUP_FUZZ=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
  echo "== $target: ${seconds}s =="
  mkdir -p "$build/corpus/$target"
  # The first directory takes new inputs; the seeds in the tree stay as they are.
  # Inputs up to 10 kB reach names and paths beyond their 4096-byte buffers.
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=10000 \
    -dict=fuzz/json.dict -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "fuzz/corpus/$target"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"
