#!/usr/bin/env bash
# The test suite in a ThreadSanitizer build: the parallel runs (records reconstituted by several
# workers and written in order) and the rest of the tests. Any data race ends the process that
# raised it with a signal, which fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev clang-14 libclang-rt-14-dev libgtest-dev

export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1
tsan="-fsanitize=thread -fno-omit-frame-pointer"
# Without the viewer, whose libraries are not instrumented; GoogleTest's are not either, but the
# tests run it on one thread.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALSTARS2FP_VIEWER=OFF \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="${tsan}" -DCMAKE_EXE_LINKER_FLAGS="${tsan}"
cmake --build build/tsan -j2
# The tests whose code starts threads: the program's runs (several workers by default), the workers,
# safe output's writers, the host's settings and the interrupted runs with three workers. The unit
# tests of single stages run on one thread and are left to the other builds, as are the interrupted
# runs with one worker.
single_threaded='^(CalstarsReader|CalstarsWriter|Differential|GaussStar|GaussStarFast|Paths|FourProduct|DrawStars|MedianFilter'
single_threaded+='|CommandLine|MemoryBudget|HeapSortIndices|FillHoles|CalStarReconsitution|SeedBackground|PseudoRandom|Interruption'
single_threaded+='|DiscMask|FillPlanes|CompleteBorder|VectorTarget)\.|^interrupted_runs$'
ctest --test-dir build/tsan --output-on-failure -j2 -E "${single_threaded}"
