#!/usr/bin/env bash
# Linux builds (the viewer and the Python module included): the README's quick start on this fresh
# clone, timed, which runs every unit, end-to-end, viewer, conformance and Python test; then the
# packages' build, its tests, the Python package installed with pip, tested, type-checked and
# removed, and the Debian packages, checked and linted; then the example run of that build.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev libbenchmark-dev time pkg-config libpng-dev libcfitsio-dev fitsverify \
  python3-dev pybind11-dev python3-numpy python3-pytest python3-astropy python3-pandas python3-matplotlib python3-venv python3-pip \
  python3-mypy dpkg-dev file lintian locales fuse3 python3-fusepy
# fuse3 and python3-fusepy: the case-folding file system that the side-by-side test mounts (as root).
# A locale with a decimal comma, in which a host process of the reader may run (the reader's tests use it).
if ! locale -a | grep -qi '^de_DE.utf-\?8$'; then
  echo "de_DE.UTF-8 UTF-8" >> /etc/locale.gen
  locale-gen > /dev/null
fi

# The README's quick start, as a newcomer runs it: its two commands as written there, each timed, in
# a fresh clone of what is committed; the first leaves the clone's tree clean. It builds against
# Debian's shared Highway and runs every test.
mapfile -t quick_start < <(sed -n '/^## Quick start/,/^## Command lines/{/^```sh$/,/^```$/{/^```/d;p}}' README.md)
[ "${#quick_start[@]}" -eq 2 ] || { echo "the README's quick start is not two commands: ${quick_start[*]}"; exit 1; }
clone=build/quick-start
rm -rf "${clone}" && git clone --quiet . "${clone}"
for command in "${quick_start[@]}"; do
  echo "--- quick start: ${command}"
  start=${SECONDS}
  (cd "${clone}" && bash -c "set -euo pipefail; ${command}")
  echo "--- quick start: $(( (SECONDS - start) / 60 )) min $(( (SECONDS - start) % 60 )) s for: ${command}"
  test -z "$(git -C "${clone}" status --porcelain)" ||
    { echo "the quick start left the tree dirty"; git -C "${clone}" status --porcelain; exit 1; }
done
rm -rf "${clone}"

# The packages' build: Highway from source, since Debian's shared library calibrates a timer at load,
# milliseconds at every start of the program. Every test that the way Highway is linked can change
# runs on it; the long runs of the driver's files and signals ran on the quick start's build.
highway=$(highway_source)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=ON -DCALSTARS2FP_PYTHON=ON \
  -DCALSTARS2FP_HIGHWAY_SOURCE="${highway}"
cmake --build build/ci
for program in build/ci/calstars2fp build/ci/fpview build/ci/python/calstars2fp/_core.*.so; do
  if ldd "${program}" | grep -q libhwy; then echo "${program} loads the shared Highway library"; exit 1; fi
done
ctest --test-dir build/ci --output-on-failure -j2 -E '^(listing_and_limits|interrupted_runs.*|own_files_only|memory_cgroup)$'
bash .ci/python_package.sh build/ci
cmake --build build/ci --target example
test -z "$(git status --porcelain)" || { echo "the example run left the tree dirty"; git status --porcelain; exit 1; }
