#!/usr/bin/env bash
# Benchmark build: compiles the benchmarks and runs every case once with a tiny minimum time (the
# stage cases) or on small generated nights (the whole-run cases, --quick; the Python module against
# the program), so the cases keep building and running (timings here mean nothing; see
# docs/performance.md).
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev libbenchmark-dev python3-dev pybind11-dev python3-numpy

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_TESTS=OFF -DCALSTARS2FP_BENCHMARKS=ON \
  -DCALSTARS2FP_VIEWER=OFF -DCALSTARS2FP_PYTHON=ON
cmake --build build/bench --target calstars2fp_bench calstars2fp_night_bench calstars2fp calstars2fp_python make_calstars
build/bench/bench/calstars2fp_bench --benchmark_min_time=0.001
build/bench/bench/calstars2fp_night_bench --quick --work build/bench
PYTHONPATH=build/bench/python /usr/bin/python3 bench/python_bench.py --program build/bench/calstars2fp \
  --make-calstars build/bench/make_calstars --records 5 --repetitions 1
