#!/usr/bin/env bash
# Runs a Linux build for another processor under a user-mode emulator on the example folder and on
# every conformance case, and checks that each output file is byte-identical to what the native build
# writes for the same folder (and, for the conformance cases, to the expected files). Used for the
# 32-bit x86, ARM and big-endian builds.
#
# Usage: emulated_e2e.sh EMULATOR EXE NATIVE_EXE EXAMPLE_DIR CONFORMANCE_DIR [SCRATCH_PARENT]
# The runs take place in a fresh folder under SCRATCH_PARENT (default: the temporary folder); pass a
# folder on the machine's disk to read folders the way the disk's file system hands them out.
set -uo pipefail
source "$(dirname "$0")/../windows/lib.sh"

emulator=$1 exe=$(realpath "$2") native=$(realpath "$3") example=$(realpath "$4") conformance=$5
scratch_parent=${6:-${TMPDIR:-/tmp}}
mkdir -p "${scratch_parent}"
scratch=$(mktemp -d "$(realpath "${scratch_parent}")/emulated.XXXXXX")
trap 'rm -rf "${scratch}"' EXIT
echo "runs in ${scratch} (file system: $(stat -f -c %T "${scratch}"))"
compared=0

# same_files NAME EXPECTED_DIR ACTUAL_DIR: check_same_files, counting the files compared.
same_files() {
  local file
  for file in "$2"/*; do [ -f "${file}" ] && compared=$((compared + 1)); done
  check_same_files "$@"
}

# run_pair NAME SOURCE_DIR [OPTIONS...]: runs both builds, each on its own copy of SOURCE_DIR (the
# emulated one with OPTIONS before the folder), and compares their exit statuses, printed output, and
# every file they write (listing and four-product files).
run_pair() {
  local name=$1 source=$2
  shift 2
  cp -r "${source}" "${scratch}/${name}-native"
  cp -r "${source}" "${scratch}/${name}-emulated"
  "${native}" "${scratch}/${name}-native" < /dev/null > "${scratch}/${name}-native.out" 2>&1
  local native_status=$?
  "${emulator}" "${exe}" "$@" "${scratch}/${name}-emulated" < /dev/null > "${scratch}/${name}-emulated.out" 2>&1
  local status=$?
  check "${name}: exit status" "${native_status}" "${status}"
  # The printed lines name the folder, which differs between the two copies.
  check "${name}: printed output" "$(sed "s|${scratch}/${name}-native|FOLDER|g" "${scratch}/${name}-native.out")" \
    "$(sed "s|${scratch}/${name}-emulated|FOLDER|g" "${scratch}/${name}-emulated.out")"
  # A folder that lists as empty would compare equal to nothing: the native run wrote files.
  [ -n "$(ls "${scratch}/${name}-native"/*.bin 2> /dev/null)" ] || check "${name}: files written" "some" "none"
  same_files "${name}: written files" "${scratch}/${name}-native" "${scratch}/${name}-emulated"
}

run_pair example "${example}"
run_pair example-jobs-3 "${example}" --jobs 3

# The conformance cases: one process per case, and the expected files as well as the native ones.
cases=0
for case_dir in "${conformance}"/*/; do
  case_name=$(basename "${case_dir}")
  [ -d "${case_dir}/input" ] || continue
  run_pair "case-${case_name}" "${case_dir}/input"
  same_files "conformance ${case_name}" "${case_dir}/expected" "${scratch}/case-${case_name}-emulated"
  cases=$((cases + 1))
done
[ "${cases}" -gt 0 ] || check "conformance cases found in ${conformance}" "at least one" "none"

echo "${compared} files compared byte for byte, ${cases} conformance cases"
finish
