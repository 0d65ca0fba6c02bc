#!/usr/bin/env bash
# Builds the libFuzzer targets (with AddressSanitizer and UndefinedBehaviorSanitizer) and runs each
# for about a minute from its committed seed corpus. A crash, a sanitizer report or a hang fails the
# stage; the input that caused it is left in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev clang-14 libclang-rt-14-dev libfuzzer-14-dev

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCALSTARS2FP_TESTS=OFF -DCALSTARS2FP_VIEWER=OFF -DCALSTARS2FP_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link ${sanitize}" -DCMAKE_EXE_LINKER_FLAGS="${sanitize}"
cmake --build build/fuzz -j2 --target calstars_reader_fuzz pipeline_fuzz fast_stages_fuzz

mkdir -p build/fuzz/artifacts
# The three run side by side (each single-threaded, for a minute): the stage takes one minute, not three.
pids=()
for target in calstars_reader_fuzz pipeline_fuzz fast_stages_fuzz; do
  # New inputs go to a scratch corpus, so the committed seeds stay as they are.
  work="build/fuzz/corpus/${target}"
  rm -rf "${work}" && mkdir -p "${work}"
  "build/fuzz/fuzz/${target}" -max_total_time=60 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/${target}-" "${work}" "fuzz/corpus/${target}" > "build/fuzz/${target}.log" 2>&1 &
  pids+=($!)
done
failed=0
index=0
for target in calstars_reader_fuzz pipeline_fuzz fast_stages_fuzz; do
  status=0
  wait "${pids[index]}" || status=$?
  index=$(( index + 1 ))
  echo "--- ${target}: status ${status}"
  tail -n 12 "build/fuzz/${target}.log"
  [ "${status}" -eq 0 ] || failed=1
done
exit "${failed}"
