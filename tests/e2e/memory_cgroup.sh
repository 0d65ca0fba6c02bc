#!/usr/bin/env bash
# Under a control group's memory limit no allocation fails: a process that takes more is killed. For
# each case of the table below, under its limit, every number of workers ends as --jobs 1 does (the
# same files, the same lines, the same status), never by the OOM killer (137); a record that does not
# fit is refused with its line and status 1. Where a case says so, the workers also take no more
# memory than --jobs 1 (peak resident size within a small margin).
#
#   memory_cgroup.sh <calstars2fp> <make_calstars>
#
# Needs a control group it can make (root, cgroup v2 with the memory controller, or v1's memory
# hierarchy): where it cannot make one, it says so and checks nothing.
set -uo pipefail
program=$1
generator=$2

work=$(mktemp -d)
group=""
cleanup() {
  [ -n "${group}" ] && rmdir "${group}" 2> /dev/null
  rm -rf "${work}"
}
trap cleanup EXIT

# A fresh group under v2 (the memory controller enabled for the root's children) or v1.
make_group() {
  local name="calstars2fp-test-$$"
  if [ "$(stat -f -c %T /sys/fs/cgroup 2> /dev/null)" = cgroup2fs ] && grep -qw memory /sys/fs/cgroup/cgroup.controllers 2> /dev/null; then
    grep -qw memory /sys/fs/cgroup/cgroup.subtree_control || echo +memory > /sys/fs/cgroup/cgroup.subtree_control 2> /dev/null
    if mkdir "/sys/fs/cgroup/${name}" 2> /dev/null; then
      group="/sys/fs/cgroup/${name}"
      limit_file="${group}/memory.max"
      [ -w "${limit_file}" ] && { echo "control group v2: ${group}"; return 0; }
    fi
  fi
  if [ -d /sys/fs/cgroup/memory ] && mkdir "/sys/fs/cgroup/memory/${name}" 2> /dev/null; then
    group="/sys/fs/cgroup/memory/${name}"
    limit_file="${group}/memory.limit_in_bytes"
    echo "control group v1: ${group}"
    return 0
  fi
  return 1
}

if ! make_group; then
  echo "no control group with a memory limit can be made here (not root, or no memory controller): nothing checked"
  exit 0
fi

# The cases, each a folder written by make_calstars into $1. They are the faults once measured on
# larger inputs, scaled down to where the same fault shows (the sizes of then in brackets):
#  - night: images of 2000 x 2000 between files of 640 x 480 (window 9). At 90 MB the sequential loop
#    holds a large record and not even one worker does: the run goes from the workers to the
#    sequential loop and back.
#  - window: four records of 2000 x 2000 with window 1999 and one star (3000 x 3000, window 2999, at
#    360 MB): the star window's two arrays (32 MB) were left out of the budget, and two workers were
#    killed after a record.
#  - window_refused: one record of 2500 x 2500 with window 2499 (5000 x 5000, window 4999, at 400 MB):
#    killed with no line at --jobs 1; the image does not fit, and is refused with its line.
#  - stars: ten records of 1000 x 1000 with 200,000 stars each (1,000,000 at 480 MB): the records'
#    star copies in flight were left out, and eight workers were killed before any line.
case_night() {
  "${generator}" "$1" --camera 1 --records 3 --rows 2000 --cols 2000 --stars 40 --window 9 > /dev/null &&
    "${generator}" "$1" --camera 2 --records 6 --rows 480 --cols 640 --stars 40 --window 9 > /dev/null &&
    "${generator}" "$1" --camera 3 --records 2 --rows 2000 --cols 2000 --stars 40 --window 9 > /dev/null
}
case_window() { "${generator}" "$1" --records 4 --rows 2000 --cols 2000 --stars 1 --window 1999 > /dev/null; }
case_window_refused() { "${generator}" "$1" --records 1 --rows 2500 --cols 2500 --stars 1 --window 2499 > /dev/null; }
case_stars() { "${generator}" "$1" --records 10 --rows 1000 --cols 1000 --stars 200000 --window 1 > /dev/null; }

#     case            limit (MB)  expected status of --jobs 1  compare peaks
cases="night          90          0                            yes
       window         170         0                            no
       window_refused 115         1                            no
       stars          180         0                            no"

time_command=""
if [ -x /usr/bin/time ]; then time_command="/usr/bin/time -f %M -o ${work}/peak"; else echo "(no /usr/bin/time here: peak sizes are not compared)"; fi

failures=0
fail() {
  echo "FAILED: $*"
  failures=$(( failures + 1 ))
}
while read -r name limit expected compare; do
  folder="${work}/${name}"
  mkdir "${folder}" && "case_${name}" "${folder}" || { fail "${name}: cannot write its CALSTARS files"; continue; }
  echo $(( limit << 20 )) > "${limit_file}" || { echo "cannot set the limit in ${limit_file}"; exit 1; }
  reference_peak=""
  for jobs in 1 2 8 default; do
    rm -f "${folder}"/*.bin
    options=(--jobs "${jobs}")
    [ "${jobs}" = default ] && options=()
    # The shell joins the group, then becomes the program.
    bash -c 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"' _ "${group}" ${time_command} \
      timeout -s KILL 300 "${program}" "${options[@]}" "${folder}" > "${work}/out.${jobs}" 2>&1 < /dev/null
    status=$?
    peak=$( [ -n "${time_command}" ] && tail -n 1 "${work}/peak" || echo "")
    echo "${name} at ${limit} MB, jobs ${jobs}: status ${status}, $(grep -c . "${work}/out.${jobs}") lines, peak ${peak:-unknown} KB"
    [ "${status}" -eq 137 ] && fail "${name}, jobs ${jobs}: killed"
    if [ "${jobs}" = 1 ]; then
      [ "${status}" -eq "${expected}" ] || { fail "${name}: --jobs 1 ended with ${status}, not ${expected}"; cat "${work}/out.1"; }
      rm -rf "${work}/reference" && mkdir "${work}/reference" && cp "${folder}"/*.bin "${work}/reference/" 2> /dev/null
      reference_status=${status}
      reference_peak=${peak}
      continue
    fi
    [ "${status}" -eq "${reference_status}" ] || fail "${name}, jobs ${jobs}: ended with ${status}, --jobs 1 with ${reference_status}"
    cmp -s "${work}/out.1" "${work}/out.${jobs}" || { fail "${name}, jobs ${jobs}: printed other lines"; diff "${work}/out.1" "${work}/out.${jobs}" | head -5; }
    [ "$(ls "${folder}"/*.bin 2> /dev/null | wc -l)" -eq "$(ls "${work}"/reference/*.bin 2> /dev/null | wc -l)" ] ||
      fail "${name}, jobs ${jobs}: other files than --jobs 1"
    for file in "${work}"/reference/*.bin; do
      [ -e "${file}" ] || continue
      cmp -s "${file}" "${folder}/$(basename "${file}")" || fail "${name}, jobs ${jobs}: $(basename "${file}") differs"
    done
    # A margin of 8 MB for the thread stacks and allocator pages the workers touch.
    if [ "${compare}" = yes ] && [ -n "${peak}" ] && [ -n "${reference_peak}" ] && [ "${peak}" -gt $(( reference_peak + 8192 )) ]; then
      fail "${name}, jobs ${jobs}: took ${peak} KB, --jobs 1 ${reference_peak} KB"
    fi
  done
  rm -rf "${folder}"
done <<< "${cases}"
[ "${failures}" -eq 0 ] && echo passed || echo "${failures} FAILED"
exit $(( failures > 0 ))
