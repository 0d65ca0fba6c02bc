#!/usr/bin/env bash
# Linux build (the viewer and the Python module included): every unit, end-to-end, viewer, conformance
# and Python test; the Python package installed with pip, tested, type-checked and removed, and the
# Debian packages; then the README's example run.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev libbenchmark-dev time pkg-config libpng-dev libcfitsio-dev fitsverify \
  python3-dev pybind11-dev python3-numpy python3-pytest python3-astropy python3-pandas python3-matplotlib python3-venv python3-pip \
  python3-mypy dpkg-dev locales
# A locale with a decimal comma, in which a host process of the reader may run (the reader's tests use it).
if ! locale -a | grep -qi '^de_DE.utf-\?8$'; then
  echo "de_DE.UTF-8 UTF-8" >> /etc/locale.gen
  locale-gen > /dev/null
fi

# Highway from source: Debian's shared library calibrates a timer at load, 7 ms a start of the program.
highway=$(highway_source)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=ON -DCALSTARS2FP_PYTHON=ON \
  -DCALSTARS2FP_HIGHWAY_SOURCE="${highway}"
cmake --build build/ci
for program in build/ci/calstars2fp build/ci/fpview build/ci/python/calstars2fp/_core.*.so; do
  if ldd "${program}" | grep -q libhwy; then echo "${program} loads the shared Highway library"; exit 1; fi
done
ctest --test-dir build/ci --output-on-failure -j2
bash .ci/python_package.sh build/ci
cmake --build build/ci --target example
test -z "$(git status --porcelain)" || { echo "the example run left the tree dirty"; git status --porcelain; exit 1; }
