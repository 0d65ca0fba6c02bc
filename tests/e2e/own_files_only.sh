#!/usr/bin/env bash
# A run removes only files it created and abandoned. Record names are free text, so a night may name
# its records like the temporary files of other records or of the listing; every such finished file
# survives byte for byte a second run that fails midway, a second run beside the first, and a run
# stopped by SIGTERM, whatever the number of workers. A file that merely looks like a temporary one
# is left as it is.
#
#   own_files_only.sh <calstars2fp> [rounds of two runs at once, default 5]
set -uo pipefail
checks="$(cd "$(dirname "$0")" && pwd)/checks.sh"
program=$1
rounds=${2:-5}

work=$(mktemp -d)
# Only this shell cleans up: a signal that finds a child of it before its exec would run the trap there.
main_shell=${BASHPID}
trap '[ "${BASHPID}" = "${main_shell}" ] && rm -rf "${work}"' EXIT
cd "${work}" || exit 1
source "${checks}"

# mk <file> <rows> <cols> <name>... : a CALSTARS file of one record per name, one star each; a name
# given as "!name" is a record whose star line the reader refuses.
mk() {
  local file=$1 rows=$2 cols=$3
  shift 3
  {
    printf 'a\nb\nc\nd\ne\nCamera = X\nn = 1\nNrows = %s\nNcols = %s\nNstars = 1\n' "${rows}" "${cols}"
    for name in "$@"; do
      if [ "${name:0:1}" = '!' ]; then
        printf -- '----\n%s\nwindow = 3\ndivisor = 4\nnot a star line\n' "${name:1}"
      else
        printf -- '----\n%s\nwindow = 3\ndivisor = 4\n7 9 1900 2000\n' "${name}"
      fi
    done
    printf '####\n'
  } > "${file}"
}
run() { timeout -s KILL 120 "${program}" "$@" < /dev/null; }
# The names and checksums of every file but the inputs and the listing.
outputs() { (cd "$1" && ls -A | grep -v -e '^CALSTARS' -e '^DirListingCalstars.txt$' | sort | xargs -r -d '\n' md5sum); }
# A file that begins with the temporary mark was left behind.
no_marked_file() { ! grep -rlq "^$(printf '\377\377\377\377')C2FP partial" "$1"; }

long=$(printf 'L%.0s' $(seq 1 246)).bin                 # 250 characters
cut="${long:0:241}.partial"                             # the cut temporary name earlier versions gave it, as a record's name
# Each set: the names of one night, the middle one made bad for the failing run.
name_sets=(
  "A.bin|mid.bin|A.bin.partial"
  "A.bin|A.bin.partial|mid.bin|A.bin.partial2|A.bin.partial3"
  "DirListingCalstars.txt.partial|mid.bin|DirListingCalstars.txt.partial2"
  "A.bin.partial|A.bin|mid.bin|A.bin.partial.partial"
  "${long}|mid.bin|${cut}|${cut}2"
)

set_number=0
for set in "${name_sets[@]}"; do
  set_number=$(( set_number + 1 ))
  IFS='|' read -r -a names <<< "${set}"
  for jobs in 1 4; do
    what="set ${set_number}, --jobs ${jobs}"
    folder="n${set_number}${jobs}"  # short: the long names must fit the 255-character path
    mkdir "${folder}"
    mk "${folder}/CALSTARS_A.txt" 40 40 "${names[@]}"
    # A file of the user's that looks like a temporary one, of a record and of the listing.
    printf 'the user'"'"'s own' > "${folder}/mid.bin.partial"
    printf 'the user'"'"'s own' > "${folder}/DirListingCalstars.txt.partial9"
    run --jobs "${jobs}" "${folder}" > first.out 2>&1
    check "${what}: first run writes every record" test $? -eq 0 -a "$(grep -c . first.out)" -eq "${#names[@]}"
    before=$(outputs "${folder}")

    # The same night with its middle record refused: the run fails there.
    bad=("${names[@]}")
    for i in "${!bad[@]}"; do [ "${bad[$i]}" = mid.bin ] && bad[$i]='!mid.bin'; done
    mk "${folder}/CALSTARS_A.txt" 40 40 "${bad[@]}"
    run --jobs "${jobs}" "${folder}" > second.out 2>&1
    check "${what}: failing run ends 1" test $? -eq 1
    check "${what}: failing run leaves every finished file as it was" test "$(outputs "${folder}")" = "${before}"
    check "${what}: no temporary left" no_marked_file "${folder}"

    # Two runs at once on the good night: neither removes the other's files.
    mk "${folder}/CALSTARS_A.txt" 40 40 "${names[@]}"
    for (( round = 1; round <= rounds; ++round )); do
      run --jobs "${jobs}" "${folder}" > one.out 2>&1 & first=$!
      run --jobs 2 "${folder}" > two.out 2>&1 & second=$!
      wait "${first}"; s1=$?; wait "${second}"; s2=$?
      if [ "${s1}" -ne 0 ] || [ "${s2}" -ne 0 ] || [ "$(outputs "${folder}")" != "${before}" ] || ! no_marked_file "${folder}"; then
        check "${what}: two runs at once, round ${round} (status ${s1}, ${s2})" false
        diff <(echo "${before}") <(outputs "${folder}")
        break
      fi
    done
    [ "${round}" -gt "${rounds}" ] && check "${what}: ${rounds} rounds of two runs at once keep every file" true
  done
done

# Stopped by SIGTERM during its first record (a large image, so that the signal finds it at work):
# the finished record named like the listing's temporary file stays.
mkdir stopped
mk stopped/CALSTARS_A.txt 2000 2000 DirListingCalstars.txt.partial big.bin
run stopped > /dev/null 2>&1
before=$(outputs stopped)
for jobs in 1 3; do
  for delay in 0 0.05 0.2; do
    "${program}" --jobs "${jobs}" stopped > stopped.out 2>&1 < /dev/null & pid=$!
    sleep "${delay}"
    kill -TERM "${pid}" 2> /dev/null
    wait "${pid}"; status=$?
    check "SIGTERM after ${delay} s, --jobs ${jobs} (status ${status}): every finished file as it was" test "$(outputs stopped)" = "${before}"
    check "SIGTERM after ${delay} s, --jobs ${jobs}: no temporary left" no_marked_file stopped
  done
done

[ "${failures}" -eq 0 ] && echo passed || echo "${failures} FAILED"
exit $(( failures > 0 ))
