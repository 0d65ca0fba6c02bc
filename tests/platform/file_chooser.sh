#!/usr/bin/env bash
# How the native build asks for a CALSTARS file when no folder is given: on the console without a
# desktop (standard input piped: a path, an empty line, end of input, a path that does not exist), and
# through zenity on a virtual display driven by xdotool (a typed path, Escape). The console runs have
# no controlling terminal (setsid), so the prompt goes to standard error; standard output holds the
# run's own lines only.
#
# Usage: file_chooser.sh NATIVE_EXE EXAMPLE_DIR
set -uo pipefail
source "$(dirname "$0")/../windows/lib.sh"

exe=$(realpath "$1") example=$(realpath "$2")
scratch=$(mktemp -d)
trap 'stop_display; rm -rf "${scratch}"' EXIT

opening=" Opening dialog box to search for a CALSTARS*.txt file"
prompt=" Path of a CALSTARS file: "
cancelled=" ERROR getting CALSTARS filename "

cp -r "${example}" "${scratch}/reference"
"${exe}" "${scratch}/reference" < /dev/null > "${scratch}/reference.out"
records=$(cat "${scratch}/reference.out")

# console NAME INPUT: runs without an argument, a desktop or a controlling terminal, INPUT on standard
# input; `output` is standard output, `prompted` standard error, each with its line ends as "|".
console() {
  printf '%b' "$2" | env -u DISPLAY -u WAYLAND_DISPLAY setsid -w "${exe}" > "${scratch}/$1.out" 2> "${scratch}/$1.err"
  status=$?
  output=$(tr '\n' '|' < "${scratch}/$1.out")
  prompted=$(tr '\n' '|' < "${scratch}/$1.err")
}

cp -r "${example}" "${scratch}/console"
console path "${scratch}/console/CALSTARS_C02_20140101.txt"$'\n'
check "console path: exit status" 0 "${status}"
check "console path: output" "${opening}|$(tr '\n' '|' < "${scratch}/reference.out")" "${output}"
check "console path: prompt" "${prompt}" "${prompted}"
check_same_files "console path: four-product files" "${scratch}/reference" "${scratch}/console" "*.bin"

# A file name relative to the current folder is completed to its full path.
cp -r "${example}" "${scratch}/relative"
(cd "${scratch}/relative" && console relative $'CALSTARS_C01_20140101.txt\n')
check "console relative path: exit status" 0 "$(cd "${scratch}/relative" && console relative $'CALSTARS_C01_20140101.txt\n'; echo "${status}")"
check_same_files "console relative path: four-product files" "${scratch}/reference" "${scratch}/relative" "*.bin"

# No usable answer: the same message and status as a cancelled dialog. End of input ends the prompt's
# line first so that on a terminal the message starts on a line of its own.
while IFS='=' read -r name input expected; do
  console "${name}" "${input}"
  check "console ${name}: exit status" 1 "${status}"
  check "console ${name}: output" "${opening}|${cancelled}|" "${output}"
  check "console ${name}: prompt" "${prompt}${expected}" "${prompted}"
done << EOF_CASES
empty-line=\n=
end-of-input==|
missing-file=${scratch}/nowhere/CALSTARS_x.txt\n=
EOF_CASES

# zenity on a virtual display: a typed path is taken, Escape cancels.
start_display
export GSETTINGS_BACKEND=memory  # no desktop settings service to write to
title="Navigate to CALSTARS File"

zenity_run() {
  local name=$1
  shift
  timeout 120 "${exe}" < /dev/null > "${scratch}/${name}.out" 2> "${scratch}/${name}.err" &
  local runner=$!
  answer_dialog "${title}" "${runner}" "$@"
  wait "${runner}"
  status=$?
  output=$(tr '\n' '|' < "${scratch}/${name}.out")
}

zenity_run zenity-cancel key:Escape
check "zenity cancelled: exit status" 1 "${status}"
check "zenity cancelled: output" "${opening}|${cancelled}|" "${output}"

cp -r "${example}" "${scratch}/zenity"
zenity_run zenity-path key:ctrl+l key:ctrl+a "${scratch}/zenity/CALSTARS_C01_20140102.txt" key:Return
check "zenity path: exit status" 0 "${status}"
check "zenity path: output" "${opening}|$(tr '\n' '|' < "${scratch}/reference.out")" "${output}"
check_same_files "zenity path: four-product files" "${scratch}/reference" "${scratch}/zenity" "*.bin"
stop_display

finish
