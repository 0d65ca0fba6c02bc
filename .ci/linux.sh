#!/usr/bin/env bash
# Linux build (the viewer included): every unit, end-to-end, viewer and conformance test, then the
# README's example run.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build g++ libgtest-dev libbenchmark-dev pkg-config libpng-dev libcfitsio-dev fitsverify

cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=ON
cmake --build build/ci
ctest --test-dir build/ci --output-on-failure -j2
cmake --build build/ci --target example
test -z "$(git status --porcelain)" || { echo "the example run left the tree dirty"; git status --porcelain; exit 1; }
