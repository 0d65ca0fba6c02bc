#!/usr/bin/env bash
# Under a control group's memory limit no allocation fails: a process that takes more is killed. A
# limit that holds the sequential loop of a record but not one worker with its records in flight:
# every number of workers runs as --jobs 1 does (same files, status 0), and takes no more memory
# (peak resident size within a small margin of --jobs 1's), never the OOM killer.
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

# Images of 2000 x 2000: the sequential loop takes 11 bytes a pixel (44 MB), a worker 15 and a stack
# (61 MB). A limit of 72 MB gives a budget of 54 MB: the sequential loop fits, one worker does not.
# Between two such files, one of small images that workers take: the run goes from the sequential
# loop to the workers and back.
mkdir "${work}/night"
"${generator}" "${work}/night" --camera 1 --records 3 --rows 2000 --cols 2000 --stars 40 --window 9 > /dev/null
"${generator}" "${work}/night" --camera 2 --records 6 --rows 480 --cols 640 --stars 40 --window 9 > /dev/null
"${generator}" "${work}/night" --camera 3 --records 2 --rows 2000 --cols 2000 --stars 40 --window 9 > /dev/null
echo $(( 72 << 20 )) > "${limit_file}" || { echo "cannot set the limit in ${limit_file}"; exit 1; }

time_command=""
if [ -x /usr/bin/time ]; then time_command="/usr/bin/time -f %M -o ${work}/peak"; else echo "(no /usr/bin/time here: peak sizes are not compared)"; fi

failures=0
reference_peak=""
for jobs in 1 2 8 default; do
  rm -f "${work}"/night/*.bin
  options=(--jobs "${jobs}")
  [ "${jobs}" = default ] && options=()
  # The shell joins the group, then becomes the program.
  bash -c 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"' _ "${group}" ${time_command} \
    timeout -s KILL 300 "${program}" "${options[@]}" "${work}/night" > "${work}/out.${jobs}" 2>&1 < /dev/null
  status=$?
  peak=$( [ -n "${time_command}" ] && tail -n 1 "${work}/peak" || echo "")
  echo "jobs ${jobs}: status ${status}, peak ${peak:-unknown} KB"
  if [ "${status}" -ne 0 ]; then echo "FAILED: jobs ${jobs} ended with ${status}"; cat "${work}/out.${jobs}"; failures=$(( failures + 1 )); continue; fi
  if [ "${jobs}" = 1 ]; then
    mkdir "${work}/reference" && cp "${work}"/night/*.bin "${work}/reference/"
    reference_peak=${peak}
    continue
  fi
  cmp -s "${work}/out.1" "${work}/out.${jobs}" || { echo "FAILED: jobs ${jobs} printed other lines"; failures=$(( failures + 1 )); }
  for file in "${work}"/reference/*.bin; do
    cmp -s "${file}" "${work}/night/$(basename "${file}")" || { echo "FAILED: jobs ${jobs}: $(basename "${file}") differs"; failures=$(( failures + 1 )); }
  done
  # A margin of 8 MB for the thread stacks and allocator pages the workers touch.
  if [ -n "${peak}" ] && [ -n "${reference_peak}" ] && [ "${peak}" -gt $(( reference_peak + 8192 )) ]; then
    echo "FAILED: jobs ${jobs} took ${peak} KB, --jobs 1 ${reference_peak} KB"
    failures=$(( failures + 1 ))
  fi
done
[ "${failures}" -eq 0 ] && echo passed || echo "${failures} FAILED"
exit $(( failures > 0 ))
