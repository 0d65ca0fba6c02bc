#!/usr/bin/env bash
# End-to-end runs of the Windows build under wine: the example folder through the real command
# interpreter with the folder given in each Windows form and with --jobs 3 and 1, a missing folder,
# the conformance cases,
# and the open-file dialog driven by xdotool on a virtual display. Every four-product file must be
# byte-identical to what the native build writes for the same folder.
#
# Usage: wine_e2e.sh WINE_LOADER WINDOWS_EXE NATIVE_EXE EXAMPLE_DIR CONFORMANCE_DIR
# WINEPREFIX must name an initialised prefix; its wineserver should already be running (wineserver -p)
# so that each run does not pay for starting it.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

wine=$1 exe=$(realpath "$2") native=$(realpath "$3") example=$(realpath "$4") conformance=$5
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all
scratch=$(mktemp -d)
trap 'stop_display; rm -f "${WINEPREFIX}/dosdevices/r:"; rm -rf "${scratch}"' EXIT

windows_path() { local path=${1//\//\\}; echo "Z:${path}"; }

# run_windows NAME ARGUMENTS...: runs the program under wine; its standard output lands in
# $scratch/NAME.out and its exit status in $status. Output goes to a file so that wine hands the
# status back unchanged.
run_windows() {
  local name=$1
  shift
  "${wine}" "${exe}" "$@" < /dev/null > "${scratch}/${name}.out" 2> "${scratch}/${name}.err"
  status=$?
}

# The reference: the native build on a copy of the example folder.
cp -r "${example}" "${scratch}/native"
"${native}" "${scratch}/native" < /dev/null > "${scratch}/native.out"
check "native run exit status" 0 $?
reference_output=$(cat "${scratch}/native.out")
reference_listing=$(cat "${scratch}/native/DirListingCalstars.txt")

# check_example_run LABEL OUTPUT FOLDER: status, printed names (in the file OUTPUT), listing and
# four-product files of one run.
check_example_run() {
  local name=$1 output=$2 folder=$3
  check "${name}: exit status" 0 "${status}"
  check "${name}: printed record names" "${reference_output}" "$(strip_cr "${output}")"
  check "${name}: listing" "${reference_listing}" "$(strip_cr "${folder}/DirListingCalstars.txt")"
  check_same_files "${name}: four-product files" "${scratch}/native" "${folder}" "*.bin"
}

# The folder argument without and with its trailing backslash.
for form in plain trailing; do
  cp -r "${example}" "${scratch}/${form}"
  argument=$(windows_path "${scratch}/${form}")
  [ "${form}" = trailing ] && argument="${argument}\\"
  run_windows "${form}" "${argument}"
  check_example_run "folder ${form}" "${scratch}/${form}.out" "${scratch}/${form}"
done

# Several workers, and one: the same names in the same order and the same bytes as the native run.
for jobs in 3 1; do
  cp -r "${example}" "${scratch}/jobs-${jobs}"
  run_windows "jobs-${jobs}" --jobs "${jobs}" "$(windows_path "${scratch}/jobs-${jobs}")"
  check_example_run "--jobs ${jobs}" "${scratch}/jobs-${jobs}.out" "${scratch}/jobs-${jobs}"
done

# A drive root, named with and without its backslash: the copy becomes drive R:.
for argument in 'R:' 'R:\'; do
  name="root-${#argument}"
  rm -rf "${scratch}/drive"
  cp -r "${example}" "${scratch}/drive"
  ln -sfn "${scratch}/drive" "${WINEPREFIX}/dosdevices/r:"
  run_windows "${name}" "${argument}"
  check_example_run "drive root ${argument}" "${scratch}/${name}.out" "${scratch}/drive"
done

# A folder that does not exist: the command interpreter writes no listing.
missing=$(windows_path "${scratch}/missing")
run_windows missing "${missing}"
check "missing folder: exit status" 1 "${status}"
check "missing folder: message" \
  " Directory listing file ${missing}\\DirListingCalstars.txt not found (or not generated)|||" \
  "$(strip_cr "${scratch}/missing.out" | tr '\n' '|')|"

# The conformance cases: one process per case, every expected file byte for byte.
cases=0
for case_dir in "${conformance}"/*/; do
  case_name=$(basename "${case_dir}")
  [ -d "${case_dir}/input" ] || continue
  cp -r "${case_dir}/input" "${scratch}/case-${case_name}"
  run_windows "case-${case_name}" "$(windows_path "${scratch}/case-${case_name}")"
  check "conformance ${case_name}: exit status" 0 "${status}"
  check_same_files "conformance ${case_name}" "${case_dir}/expected" "${scratch}/case-${case_name}"
  cases=$((cases + 1))
done
[ "${cases}" -gt 0 ] || check "conformance cases found in ${conformance}" "at least one" "none"

# The open-file dialog: cancelled with Escape, then answered with a CALSTARS file of a copy.
# Wine's desktop process stays bound to the display it first drew on: restart the wine server so
# that the dialog opens on this one, and again afterwards, when this display is gone.
wineserver="$(dirname "${wine}")/wineserver"
"${wineserver}" -k 2> /dev/null
"${wineserver}" -w
start_display
title="Navigate to CALSTARS File"
opening=" Opening dialog box to search for a CALSTARS*.txt file"

# dialog_run NAME KEYS...: runs the program without an argument while answer_dialog plays KEYS.
dialog_run() {
  local name=$1
  shift
  timeout 180 "${wine}" "${exe}" < /dev/null > "${scratch}/${name}.out" 2> "${scratch}/${name}.err" &
  local runner=$!
  answer_dialog "${title}" "${runner}" "$@"
  wait "${runner}"
  status=$?
}

dialog_run dialog-cancel key:Escape
check "dialog cancelled: exit status" 1 "${status}"
check "dialog cancelled: messages" "${opening}| ERROR getting CALSTARS filename |" \
  "$(strip_cr "${scratch}/dialog-cancel.out" | tr '\n' '|')"

cp -r "${example}" "${scratch}/chosen"
dialog_run dialog-chosen "$(windows_path "${scratch}/chosen/CALSTARS_C01_20140102.txt")" key:Return
check "dialog answered: opening message" "${opening}" "$(strip_cr "${scratch}/dialog-chosen.out" | head -n 1)"
strip_cr "${scratch}/dialog-chosen.out" | tail -n +2 > "${scratch}/dialog.out"
check_example_run "dialog answered" "${scratch}/dialog.out" "${scratch}/chosen"
"${wineserver}" -k 2> /dev/null
"${wineserver}" -w
stop_display

finish
