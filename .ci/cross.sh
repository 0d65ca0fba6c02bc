#!/usr/bin/env bash
# Linux builds for the cameras' ARM computers (arm64, armhf) and for a big-endian processor (s390x):
# static cross builds run under user-mode emulators on the example folder and every conformance case,
# in a folder on the machine's disk, each file byte-identical to the native build's; their unit tests
# under the emulator (every fast stage and the conformance cases under each vector target of the
# build, NEON and the plain one on ARM); and Debian packages for the two ARM targets, whose control
# data is checked. The vector instructions the emulated program runs with are printed (and must be
# NEON on ARM). Highway is built from Debian's source package with each cross compiler: Debian ships
# no static library of it, and these programs are linked statically.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source .ci/install.sh
# Debian's cross compilers conflict with gcc-multilib, which the Windows stage installs for its 32-bit
# x86 Linux build: apt removes it here, and that stage installs it again when it runs.
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev googletest dpkg-dev file lintian qemu-user-static \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-s390x-linux-gnu

# The native program is the reference for the bytes; the Linux stage may have built it already.
if [ ! -x build/ci/calstars2fp ]; then
  cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build build/ci --target calstars2fp
fi
native="${root}/build/ci/calstars2fp"
highway=$(highway_source)
echo "Highway from Debian's source package: ${highway}"

# The runs read folders on the disk, not on tmpfs: a 32-bit build without 64-bit directory offsets
# lists an ext4 folder as unreadable but a tmpfs one correctly.
scratch="${root}/build/emulated"
mkdir -p "${scratch}"
filesystem=$(stat -f -c %T "${scratch}")
echo "emulated runs in ${scratch}, file system ${filesystem}"
[ "${filesystem}" != tmpfs ] || echo "warning: ${scratch} is on tmpfs, which hides 32-bit directory offset faults"

# Under the emulator the exhaustive fast-versus-literal pipeline comparison takes a minute per target;
# the end-to-end bytes below cover the fast stages on each processor, the native and sanitizer stages
# run it in full. The kernels' differential test checks fewer offsets on these processors by itself.
export GTEST_FILTER=-Differential.FastPipelineWritesTheReferencePlanes

declare -A qemu=([aarch64]=qemu-aarch64-static [armhf]=qemu-arm-static [s390x]=qemu-s390x-static)
declare -A machine=([aarch64]="ARM aarch64" [armhf]="ARM, EABI5" [s390x]="IBM S/390")
declare -A package_architecture=([aarch64]=arm64 [armhf]=armhf)
declare -A vector_target=([aarch64]=NEON [armhf]=NEON [s390x]=SCALAR)
# What a target's program does under its emulator: the vector instructions it runs with, the
# example folder and the conformance cases against the native program, its unit tests. Runs in the
# background while the next target builds (the emulator takes one core, the build both).
emulated_checks() {  # emulated_checks <target> <build folder>
  local target=$1 build=$2 instructions
  instructions=$("/usr/bin/${qemu[${target}]}" "${build}/calstars2fp" --version | sed -n 's/^vector instructions: //p')
  echo "${target}: the fast stages run with ${instructions}"
  [ "${instructions}" = "${vector_target[${target}]}" ] ||
    { echo "${target}: expected ${vector_target[${target}]} vector instructions, not '${instructions}'"; return 1; }
  bash tests/cross/emulated_e2e.sh "/usr/bin/${qemu[${target}]}" "${build}/calstars2fp" "${native}" \
    "${root}/examples/night" "${root}/tests/data/conformance" "${scratch}" || return 1
  ctest --test-dir "${build}" --output-on-failure
}

emulated=()  # "<target> <pid> <build folder>" of each check under way
for target in aarch64 armhf s390x; do
  echo "--- ${target}"
  start=$(date +%s)
  build="build/linux-${target}"
  cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=OFF \
    -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/linux-${target}.cmake" -DCALSTARS2FP_HIGHWAY_SOURCE="${highway}" > /dev/null
  # The build's output (the linker's notes on GoogleTest's unused network code among it) is shown
  # only when the build fails.
  cmake --build "${build}" --target calstars2fp unit_tests > "${build}/build.log" 2>&1 ||
    { cat "${build}/build.log"; echo "${target}: the build failed"; exit 1; }
  description=$(file -b "${build}/calstars2fp")
  echo "${description}"
  [[ "${description}" == *"${machine[${target}]}"* && "${description}" == *"statically linked"* ]] ||
    { echo "${target}: not a static ${machine[${target}]} program"; exit 1; }

  # Some kernels refuse what an emulator needs (its address-space layout, for instance): then the
  # build is compiled and checked, and the stage says that it could not be run.
  if "/usr/bin/${qemu[${target}]}" "${build}/calstars2fp" --version > /dev/null 2>&1; then
    emulated_checks "${target}" "${build}" > "${build}/emulated.log" 2>&1 &
    emulated+=("${target} $! ${build}")
  else
    echo "${target}: this machine cannot run ${qemu[${target}]}: built and checked, not run"
  fi

  if [ -n "${package_architecture[${target}]:-}" ]; then
    (cd "${build}" && cpack -G DEB > /dev/null)
    package=$(ls "${build}"/calstars2fp_*_"${package_architecture[${target}]}".deb)
    dpkg-deb -I "${package}"
    check_field() {
      [ "$(dpkg-deb -f "${package}" "$1")" = "$2" ] || { echo "${package}: $1 is '$(dpkg-deb -f "${package}" "$1")', not '$2'"; exit 1; }
    }
    check_field Package calstars2fp
    check_field Architecture "${package_architecture[${target}]}"
    # The program is linked statically: it depends on no other package.
    check_field Depends ""
    contents=$(dpkg-deb -c "${package}")
    [[ "${contents}" == *" ./usr/bin/calstars2fp"* ]] || { echo "${package}: no /usr/bin/calstars2fp"; exit 1; }
    [[ "${contents}" != *"/usr/bin/fpview"* ]] || { echo "${package}: holds fpview"; exit 1; }
    # No lintian error or warning (the static program carries the override that says it is one on purpose).
    lint=0
    lintian --fail-on error,warning "${package}" > "${build}/lintian.out" 2>&1 || lint=$?
    grep -v '^running with root privileges' "${build}/lintian.out" || true
    [ "${lint}" -eq 0 ] || { echo "lintian: ${package} has errors or warnings (status ${lint})"; exit 1; }
  fi
  echo "--- ${target} built in $(( $(date +%s) - start )) s"
done

failed=0
for entry in "${emulated[@]}"; do
  read -r target pid build <<< "${entry}"
  status=0
  wait "${pid}" || status=$?
  echo "--- ${target} under its emulator: status ${status}"
  cat "${build}/emulated.log"
  [ "${status}" -eq 0 ] || failed=1
done
[ "${failed}" -eq 0 ] || { echo "the emulated checks failed"; exit 1; }
test -z "$(git status --porcelain)" || { echo "the cross stage left the tree dirty"; git status --porcelain; exit 1; }
