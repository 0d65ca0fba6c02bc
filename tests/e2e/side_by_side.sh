#!/usr/bin/env bash
# Runs side by side on one folder never take each other's files, on any file system:
# 1. A run stopped while one of its temporary files exists (stop_at_mark.so stops it right after the
#    file's mark is written), another run on the folder to its end, then the first goes on: record
#    names are free text, so the second run's records are named like the first run's temporary files
#    of the old form; both runs' files are whole and under their own names, nothing is left over.
# 2. Leftovers of killed runs: what a run removes is the same whatever --jobs is: the abandoned hidden
#    folders and their marked files, never a held one, never a file beside the outputs (an old-style
#    marked "<name>.partial2" stays).
# 3. A file system that folds case (case_folding_fs.py through FUSE, where /dev/fuse and mounting
#    work; else it says why not): records "X.BIN.PARTIAL" and "x.bin" are both written with every
#    --jobs.
#
#   side_by_side.sh <calstars2fp> <stop_at_mark library> <case_folding_fs.py> [rounds, default 20]
#
# The stops are made by the program itself at a chosen write, never by timing; hang guards use
# timeout(1) with generous limits.
set -uo pipefail
checks="$(cd "$(dirname "$0")" && pwd)/checks.sh"
program=$1
stopper=$2
folding_fs=$3
rounds=${4:-20}

work=$(mktemp -d)
mounted=""
cleanup() {
  [ -n "${mounted}" ] && { fusermount -u "${mounted}" 2> /dev/null || fusermount3 -u "${mounted}" 2> /dev/null || umount "${mounted}"; }
  rm -rf "${work}"
}
trap cleanup EXIT
cd "${work}" || exit 1
source "${checks}"

# mk <file> <rows> <cols> <stars> <name>...: a CALSTARS file of one record per name, each with the
# given number of stars spread over the image.
mk() {
  local file=$1 rows=$2 cols=$3 stars=$4
  shift 4
  {
    printf 'a\nb\nc\nd\ne\nCamera = X\nn = 1\nNrows = %s\nNcols = %s\nNstars = %s\n' "${rows}" "${cols}" "${stars}"
    for name in "$@"; do
      printf -- '----\n%s\nwindow = 5\ndivisor = 4\n' "${name}"
      for (( s = 0; s < stars; ++s )); do
        printf '%d %d %d 2000\n' $(( 3 + (s * 37) % (rows - 6) )) $(( 3 + (s * 53) % (cols - 6) )) $(( 1000 + s ))
      done
    done
    printf '####\n'
  } > "${file}"
}
run() { timeout -s KILL 300 "${program}" "$@" < /dev/null; }
# Every entry of the folder, hidden ones and the insides of folders included, with the checksum of
# each file but the inputs: two folders that give the same text hold the same outputs and leftovers.
state() { (cd "$1" && find . -mindepth 1 ! -name 'CALSTARS*' | LC_ALL=C sort | while read -r entry; do
  if [ -f "${entry}" ]; then echo "${entry} $(md5sum < "${entry}" | cut -c 1-32)"; else echo "${entry}"; fi; done); }
stopped() { [ "$(awk '{ print $3 }' "/proc/$1/stat" 2> /dev/null)" = T ]; }

# 1. Stopped while its temporary file exists. Each case: the first run's --jobs, the mark it stops
# after (1: the listing's temporary file, 2: its first record's), the second run's --jobs, and the
# records of CALSTARS_1.txt (written first, 60 x 60) and of CALSTARS_2.txt (20 x 20).
stop_cases=(
  "1|2|1|A.bin|A.bin.partial"
  "1|2|2|A.bin|A.bin.partial"
  "2|2|1|A.bin|A.bin.partial"
  "1|1|1|A.bin|DirListingCalstars.txt.partial"
)
for entry in "${stop_cases[@]}"; do
  IFS='|' read -r first_jobs mark second_jobs big small <<< "${entry}"
  what="first run --jobs ${first_jobs} stopped after mark ${mark}, second run --jobs ${second_jobs}, records ${big} and ${small}"
  mkdir -p reference night
  mk reference/CALSTARS_1.txt 60 60 3 "${big}"
  mk reference/CALSTARS_2.txt 20 20 1 "${small}"
  run --jobs 1 reference > /dev/null 2>&1 || { check "${what}: reference run" false; continue; }
  expected=$(state reference)
  for (( round = 1; round <= rounds; ++round )); do
    rm -rf night && mkdir night && cp reference/CALSTARS_* night/
    env LD_PRELOAD="${stopper}" STOP_AT_MARK="${mark}" "${program}" --jobs "${first_jobs}" night > first.out 2>&1 < /dev/null &
    first=$!
    for (( poll = 0; poll < 3000; ++poll )); do stopped "${first}" && break; sleep 0.01; done
    if ! stopped "${first}"; then
      kill -KILL "${first}" 2> /dev/null; wait "${first}"
      check "${what}: the first run stops at its mark (round ${round})" false
      break
    fi
    run --jobs "${second_jobs}" night > second.out 2>&1; s2=$?
    kill -CONT "${first}"
    wait "${first}"; s1=$?
    if [ "${s1}" -ne 0 ] || [ "${s2}" -ne 0 ] || [ "$(state night)" != "${expected}" ]; then
      check "${what}: round ${round} (status ${s1}, ${s2}): every file whole under its own name" false
      diff <(echo "${expected}") <(state night)
      break
    fi
  done
  [ "${round}" -gt "${rounds}" ] && check "${what}: ${rounds} rounds, every file whole under its own name" true
  rm -rf reference night
done

# 2. Leftovers: the same removed and kept for every --jobs. An old-style marked temporary beside the
# outputs stays; a hidden folder that a killed run left (its lock free, a marked file in it) goes; one
# whose lock a live process holds stays; one holding a file without the mark keeps that file.
marked() { printf '\377\377\377\377C2FP partial%s' "$2" > "$1"; }
leftovers() {  # leftovers <folder>
  mkdir -p "$1"
  mk "$1/CALSTARS_A.txt" 20 20 1 B.bin B.bin.partial
  marked "$1/B.bin.partial2" "cut short"
  mkdir "$1/.calstars2fp-1-2-3" "$1/.calstars2fp-4-5-6" "$1/.calstars2fp-7-8-9"
  for hidden in 1-2-3 4-5-6 7-8-9; do : > "$1/.calstars2fp-${hidden}/lock"; marked "$1/.calstars2fp-${hidden}/1" "cut short"; done
  printf 'a user file' > "$1/.calstars2fp-7-8-9/2"
}
reference_state=""
for jobs in 1 2 4; do
  what="leftovers, --jobs ${jobs}"
  leftovers "left${jobs}"
  if command -v flock > /dev/null; then
    flock "left${jobs}/.calstars2fp-4-5-6/lock" -c "timeout -s KILL 300 \"${program}\" --jobs ${jobs} left${jobs} < /dev/null > /dev/null 2>&1"
  else
    echo "(no flock command here: the held folder is not held)"
    rm -rf "left${jobs}/.calstars2fp-4-5-6"
    run --jobs "${jobs}" "left${jobs}" > /dev/null 2>&1
  fi
  status=$?
  check "${what}: status 0" test "${status}" -eq 0
  check "${what}: the old-style marked B.bin.partial2 stays" test -f "left${jobs}/B.bin.partial2"
  check "${what}: the abandoned hidden folder goes" test ! -e "left${jobs}/.calstars2fp-1-2-3"
  check "${what}: the one holding a user's file keeps it" test "$(cat "left${jobs}/.calstars2fp-7-8-9/2")" = 'a user file'
  if [ -z "${reference_state}" ]; then
    reference_state=$(state "left${jobs}")
  else
    check "${what}: the same files as --jobs 1" test "$(state "left${jobs}")" = "${reference_state}"
  fi
done

# 3. A file system that folds case. Records X.BIN.PARTIAL (large, written second) and x.bin (small),
# in two CALSTARS files; every --jobs writes both, whole.
fuse_python=""
for candidate in python3 /usr/bin/python3; do
  if command -v "${candidate}" > /dev/null && "${candidate}" -c 'import fusepy' 2> /dev/null; then fuse_python=${candidate}; break; fi
done
if [ -z "${fuse_python}" ]; then
  echo "(case-folding file system not checked: no python3 with the fusepy module here; Debian: python3-fusepy)"
elif [ ! -c /dev/fuse ] || [ ! -w /dev/fuse ]; then
  echo "(case-folding file system not checked: /dev/fuse is missing or not writable here)"
else
  mkdir backing folded
  "${fuse_python}" "${folding_fs}" "${work}/backing" "${work}/folded" > fuse.log 2>&1 &
  for (( poll = 0; poll < 1000; ++poll )); do mountpoint -q folded && break; sleep 0.01; done
  if ! mountpoint -q folded; then
    echo "(case-folding file system not checked: mounting it failed here:"; cat fuse.log; echo ")"
  else
    mounted="${work}/folded"
    mkdir folded/night
    mk folded/night/CALSTARS_1.txt 1500 1500 300 X.BIN.PARTIAL
    mk folded/night/CALSTARS_2.txt 20 20 1 x.bin
    check "case folding: the layer folds case" test -f folded/night/calstars_1.TXT
    for jobs in 1 2; do
      for (( round = 1; round <= 5; ++round )); do
        rm -f folded/night/*.bin folded/night/*.PARTIAL
        run --jobs "${jobs}" folded/night > folded.out 2>&1; status=$?
        sizes="$(stat -c %s folded/night/X.BIN.PARTIAL 2> /dev/null) $(stat -c %s folded/night/x.bin 2> /dev/null)"
        names=$(cd folded/night && ls -A | grep -v '^CALSTARS' | LC_ALL=C sort | tr '\n' ' ')
        if [ "${status}" -ne 0 ] || [ "${sizes}" != "9000020 1620" ] || [ "${names}" != "DirListingCalstars.txt X.BIN.PARTIAL x.bin " ]; then
          check "case folding, --jobs ${jobs}, round ${round} (status ${status}, sizes ${sizes}, entries ${names})" false
          break
        fi
      done
      [ "${round}" -gt 5 ] && check "case folding, --jobs ${jobs}: 5 rounds write both records whole" true
    done
  fi
fi

[ "${failures}" -eq 0 ] && echo passed || echo "${failures} FAILED"
exit $(( failures > 0 ))
