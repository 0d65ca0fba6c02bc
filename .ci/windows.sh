#!/usr/bin/env bash
# Windows build: cross-compiles the 32-bit and 64-bit programs and tests with MinGW-w64, checks that
# they import only system DLLs, then under wine runs the unit tests, the example folder through the
# real command interpreter, the conformance cases and the open-file dialog; finally the native build's
# console prompt and desktop file chooser. Where the kernel cannot run 32-bit programs, a 32-bit x86
# Linux build runs under a user-mode emulator instead, so 32-bit SSE2 code is still checked byte for byte.
# Highway is built from Debian's source package with each compiler (Debian has no MinGW build of it);
# the vector instructions each program runs with are printed, and the unit tests run every fast stage
# under each vector target of the build, the plain one included.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev googletest \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  wine wine64 fonts-wine xvfb xdotool zenity gcc-multilib g++-multilib qemu-user-static

# Some kernels run without 32-bit emulation; there the 32-bit build is compiled and checked but
# cannot be run under wine.
can_run_32bit() {
  local probe
  probe=$(mktemp -d)
  printf '.globl _start\n_start: movl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' > "${probe}/probe.s"
  as --32 "${probe}/probe.s" -o "${probe}/probe.o" && ld -m elf_i386 "${probe}/probe.o" -o "${probe}/probe" \
    && "${probe}/probe" 2> /dev/null
  local result=$?
  rm -rf "${probe}"
  return "${result}"
}
architectures=(x86_64)
if can_run_32bit; then
  dpkg --add-architecture i386
  update_package_lists
  install_packages wine32:i386
  architectures=(x86_64 i686)
else
  echo "This kernel cannot run 32-bit programs: the i686 build is compiled and checked, not run."
fi

# The native program is the reference for the bytes; the Linux stage may have built it already.
if [ ! -x build/ci/calstars2fp ]; then
  cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build build/ci --target calstars2fp
fi
native="${root}/build/ci/calstars2fp"
highway=$(highway_source)
echo "Highway from Debian's source package: ${highway}"

wine64_loader=/usr/lib/wine/wine64
declare -A loader=([x86_64]="${wine64_loader}" [i686]=/usr/lib/wine/wine)
for arch in i686 x86_64; do
  cmake -S . -B "build/win-${arch}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/mingw-${arch}.cmake" -DCALSTARS2FP_HIGHWAY_SOURCE="${highway}" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="${loader[${arch}]}" > /dev/null
  cmake --build "build/win-${arch}"
  # Only DLLs that every Windows installation has: the runtimes are linked in.
  for exe in "build/win-${arch}/calstars2fp.exe" "build/win-${arch}/tests/unit_tests.exe"; do
    imports=$("${arch}-w64-mingw32-objdump" -p "${exe}" | awk '/DLL Name:/ {print tolower($3)}' | sort | tr '\n' ' ')
    echo "${exe} imports: ${imports}"
    for dll in ${imports}; do
      case "${dll}" in
        kernel32.dll | msvcrt.dll | user32.dll | comdlg32.dll) ;;
        *) echo "${exe} imports ${dll}, which is not a system DLL"; exit 1 ;;
      esac
    done
  done
done
grep -q -- '-msse2 -mfpmath=sse' build/win-i686/build.ninja || { echo "i686 build without SSE2 arithmetic"; exit 1; }

# A private wine prefix, made once wine is installed; its server stays up for all runs.
export WINEPREFIX="${root}/build/wineprefix" WINEARCH=win64 WINELOADER="${wine64_loader}" WINEDEBUG=-all
rm -rf "${WINEPREFIX}"
mkdir -p "${WINEPREFIX}"
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k || true' EXIT
"${wine64_loader}" wineboot -i > /dev/null 2>&1

for arch in "${architectures[@]}"; do
  echo "--- ${arch} under wine"
  /usr/lib/wine/wineserver -p 2> /dev/null || true  # the dialog runs end the previous server
  # The first program of an architecture starts wine's services, which can keep the output pipe of
  # whoever started them open: start them here, not under ctest, which would wait for that pipe.
  "${loader[${arch}]}" "build/win-${arch}/calstars2fp.exe" --version < /dev/null > /dev/null 2>&1 || true
  echo "${arch}: the fast stages run with $("${loader[${arch}]}" "build/win-${arch}/calstars2fp.exe" --version < /dev/null 2> /dev/null |
    tr -d '\r' | sed -n 's/^vector instructions: //p')"
  ctest --test-dir "build/win-${arch}" --output-on-failure --timeout 600
  bash tests/windows/wine_e2e.sh "${loader[${arch}]}" "${root}/build/win-${arch}/calstars2fp.exe" "${native}" \
    "${root}/examples/night" "${root}/tests/data/conformance"
done

# wine cannot run 32-bit programs under a user-mode emulator (its address-space reservation fails and
# each start takes about a minute), so where the kernel cannot start them the 32-bit arithmetic is
# checked with a static 32-bit Linux build of the same sources and flags, run by qemu-i386.
if [[ " ${architectures[*]} " != *" i686 "* ]]; then
  echo "--- i686 Linux build under qemu-i386"
  cmake -S . -B build/linux-i686 -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_TESTS=OFF \
    -DCALSTARS2FP_VIEWER=OFF -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/linux-i686.cmake" -DCALSTARS2FP_HIGHWAY_SOURCE="${highway}" > /dev/null
  cmake --build build/linux-i686 --target calstars2fp
  grep -q -- '-msse2 -mfpmath=sse' build/linux-i686/build.ninja || { echo "i686 build without SSE2 arithmetic"; exit 1; }
  # The emulator's fullest processor, so that the program runs with the vector instructions of a
  # processor of today (the default one has none beyond SSE2).
  export QEMU_CPU=max
  echo "i686: the fast stages run with $(/usr/bin/qemu-i386-static build/linux-i686/calstars2fp --version | sed -n 's/^vector instructions: //p')"
  bash tests/i686/emulated_e2e.sh /usr/bin/qemu-i386-static build/linux-i686/calstars2fp "${native}" \
    "${root}/examples/night" "${root}/tests/data/conformance" "${root}/build/emulated"
  unset QEMU_CPU
fi

echo "--- native file chooser"
bash tests/platform/file_chooser.sh "${native}" "${root}/examples/night"
test -z "$(git status --porcelain)" || { echo "the Windows stage left the tree dirty"; git status --porcelain; exit 1; }
