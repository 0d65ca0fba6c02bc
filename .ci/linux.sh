#!/usr/bin/env bash
# Linux build (the viewer and the Python module included): every unit, end-to-end, viewer, conformance
# and Python test, then the README's example run.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev libbenchmark-dev pkg-config libpng-dev libcfitsio-dev fitsverify \
  python3-dev pybind11-dev python3-numpy python3-pytest python3-astropy

cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=ON -DCALSTARS2FP_PYTHON=ON
cmake --build build/ci
ctest --test-dir build/ci --output-on-failure -j2
cmake --build build/ci --target example
test -z "$(git status --porcelain)" || { echo "the example run left the tree dirty"; git status --porcelain; exit 1; }
