#!/usr/bin/env bash
# A long batch: 30 CALSTARS files of three image sizes (318 frame records) run under LeakSanitizer
# (the AddressSanitizer build) with no leak, and the peak memory of the Release build measured for a
# third of the files repeated three and nine times: it must not grow with the number of files.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ clang-14 libclang-rt-14-dev libgtest-dev pkg-config libpng-dev libcfitsio-dev time

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build/ci --target calstars2fp make_calstars
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_CXX_FLAGS="${sanitize}" -DCMAKE_EXE_LINKER_FLAGS="${sanitize}" > /dev/null
cmake --build build/asan --target calstars2fp

batch=build/long_batch
rm -rf "${batch}" && mkdir -p "${batch}/all" "${batch}/third" "${batch}/thrice" "${batch}/nine" "${batch}/leaks"
generate() { build/ci/make_calstars "${batch}/all" "$@"; }
generate --camera 1 --files 4 --records 2 --rows 480 --cols 640 --seed 1
generate --camera 2 --files 8 --records 5 --rows 240 --cols 320 --stars 40 --seed 2
generate --camera 3 --files 18 --records 15 --rows 60 --cols 80 --stars 12 --seed 3
# Every third file in listing order: the same image sizes, a third of the files.
ls "${batch}/all" | awk 'NR % 3 == 1' | while read -r name; do cp "${batch}/all/${name}" "${batch}/third/"; done
# The same files three and nine times over (as CALSTARS_1_..., _2_, ...). The profile factor tables
# that a run keeps grow with the first pass over new windows and widths, up to a small fixed bound;
# from the second pass on nothing is new, so nine passes may take no more than three.
for copy in 1 2 3 4 5 6 7 8 9; do
  for file in "${batch}/third"/CALSTARS*; do
    [ "${copy}" -le 3 ] && cp "${file}" "${batch}/thrice/CALSTARS_${copy}_$(basename "${file}")"
    cp "${file}" "${batch}/nine/CALSTARS_${copy}_$(basename "${file}")"
  done
done
cp "${batch}/all"/CALSTARS* "${batch}/leaks/"
all_files=$(ls "${batch}/all" | wc -l)
third_files=$(ls "${batch}/third" | wc -l)
echo "files: ${all_files} and ${third_files}; records: $(cat "${batch}"/all/CALSTARS* | grep -c '^window')"

# Any leak makes LeakSanitizer end the process with a non-zero status.
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1 \
  build/asan/calstars2fp "${batch}/leaks" > "${batch}/leaks.out"
echo "sanitized run: $(wc -l < "${batch}/leaks.out") files written, no leak"

# One worker: with several, the peak depends on how many records happen to be in flight when the
# largest image is reconstituted, which timing decides.
peak_kb() {
  /usr/bin/time -v build/ci/calstars2fp --jobs "${2:-1}" "$1" 2>&1 > /dev/null | awk -F: '/Maximum resident set size/ { print $2 + 0 }'
}
thrice_kb=$(peak_kb "${batch}/thrice")
nine_kb=$(peak_kb "${batch}/nine")
echo "peak RSS: ${third_files} files once $(peak_kb "${batch}/third") kB, three times ${thrice_kb} kB, nine times" \
  "${nine_kb} kB (one worker); all ${all_files} files $(peak_kb "${batch}/all") kB, $(peak_kb "${batch}/all" 2) kB with two"
# Three times the files may not take noticeably more memory: allow 10 % for allocator noise.
test "${nine_kb}" -le $(( thrice_kb + thrice_kb / 10 )) || { echo "peak memory grows with the number of files"; exit 1; }
