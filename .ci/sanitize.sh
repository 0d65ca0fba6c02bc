#!/usr/bin/env bash
# The whole test suite in a build with AddressSanitizer and UndefinedBehaviorSanitizer: any report
# (a leak included) ends the test that raised it, and so fails this stage.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev clang-14 libclang-rt-14-dev libgtest-dev pkg-config libpng-dev libcfitsio-dev fitsverify

# A report aborts the process (a signal, never the program's own exit status 1), so the end-to-end
# tests, which check every status, see it as well as the unit tests do.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="${sanitize}" \
  -DCMAKE_EXE_LINKER_FLAGS="${sanitize}"
cmake --build build/asan -j2
ctest --test-dir build/asan --output-on-failure -j2
