#!/usr/bin/env bash
# Runs the 32-bit x86 Linux build under a user-mode emulator on the example folder and on every
# conformance case, and checks that each output file is byte-identical to what the native 64-bit
# build writes for the same folder. This exercises 32-bit SSE2 code generation on machines whose
# kernel cannot start 32-bit programs (and so cannot run the 32-bit Windows build under wine).
#
# Usage: emulated_e2e.sh EMULATOR I686_EXE NATIVE_EXE EXAMPLE_DIR CONFORMANCE_DIR
set -uo pipefail
source "$(dirname "$0")/../windows/lib.sh"

emulator=$1 exe=$(realpath "$2") native=$(realpath "$3") example=$(realpath "$4") conformance=$5
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT

# run_pair NAME SOURCE_DIR [OPTIONS...]: runs both builds, each on its own copy of SOURCE_DIR (the
# emulated one with OPTIONS before the folder), and compares their exit statuses, printed output,
# and every file they write (listing and four-product files).
run_pair() {
  local name=$1 source=$2
  shift 2
  cp -r "${source}" "${scratch}/${name}-native"
  cp -r "${source}" "${scratch}/${name}-i686"
  "${native}" "${scratch}/${name}-native" < /dev/null > "${scratch}/${name}-native.out" 2>&1
  local native_status=$?
  "${emulator}" "${exe}" "$@" "${scratch}/${name}-i686" < /dev/null > "${scratch}/${name}-i686.out" 2>&1
  local status=$?
  check "${name}: exit status" "${native_status}" "${status}"
  # The printed lines name the folder, which differs between the two copies.
  check "${name}: printed output" "$(sed "s|${scratch}/${name}-native|FOLDER|g" "${scratch}/${name}-native.out")" \
    "$(sed "s|${scratch}/${name}-i686|FOLDER|g" "${scratch}/${name}-i686.out")"
  check_same_files "${name}: written files" "${scratch}/${name}-native" "${scratch}/${name}-i686"
}

run_pair example "${example}"
run_pair example-jobs-3 "${example}" --jobs 3

# The conformance cases: one process per case, and the expected files as well as the native ones.
cases=0
for case_dir in "${conformance}"/*/; do
  case_name=$(basename "${case_dir}")
  [ -d "${case_dir}/input" ] || continue
  run_pair "case-${case_name}" "${case_dir}/input"
  check_same_files "conformance ${case_name}" "${case_dir}/expected" "${scratch}/case-${case_name}-i686"
  cases=$((cases + 1))
done
[ "${cases}" -gt 0 ] || check "conformance cases found in ${conformance}" "at least one" "none"

finish
