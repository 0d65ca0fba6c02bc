#!/bin/bash
# One camera-night per task of a Slurm job array.
#
#   sbatch --array=1-N[%M] [--cpus-per-task=C] calstars2fp-array.sbatch <list-file>
#
# <list-file> holds one folder per line (relative paths are taken from the folder sbatch was run
# in); array task i processes line i with calstars2fp from PATH, or with the program that the
# variable CALSTARS2FP names. With --cpus-per-task the task runs "calstars2fp --jobs C <folder>",
# otherwise "calstars2fp <folder>". Each task's output goes to the log Slurm names (by default
# calstars2fp-<job>_<task>.log in the folder sbatch was run in; sbatch -o changes it).
#
# Exit status of a task: the program's (0 done, 1 a failure named in the log, or death by a signal
# after the interruption line), so sbatch --wait, sacct and scontrol show which nights failed. A
# list line that is missing or empty, or a program that cannot be found, ends the task with status 2
# and one line in its log. A requeued or re-submitted task runs its night again from the start and
# writes the same bytes: each output replaces the earlier one whole.
#SBATCH --job-name=calstars2fp
#SBATCH --output=calstars2fp-%A_%a.log
#SBATCH --ntasks=1
set -u

me=calstars2fp-array
refuse() {
  echo " ${me}: $* "
  exit 2
}

list=${1:-}
[ -n "${list}" ] || refuse "no list file: sbatch --array=1-N calstars2fp-array.sbatch <list-file>"
index=${SLURM_ARRAY_TASK_ID:-}
case "${index}" in
  '' | *[!0-9]*) refuse "not a task of a job array (SLURM_ARRAY_TASK_ID is '${index}'): submit with sbatch --array=1-N" ;;
esac
[ -f "${list}" ] && [ -r "${list}" ] || refuse "cannot read the list file ${list}"
lines=$(awk 'END { print NR }' "${list}")
[ "${index}" -ge 1 ] && [ "${index}" -le "${lines}" ] || refuse "line ${index} of ${list} does not exist: it has ${lines} lines"
folder=$(awk -v n="${index}" 'NR == n { sub(/\r$/, ""); print; exit }' "${list}")
[ -n "${folder}" ] || refuse "line ${index} of ${list} is empty"

program=${CALSTARS2FP:-calstars2fp}
command -v "${program}" > /dev/null 2>&1 || refuse "program ${program} not found (put calstars2fp on PATH or name it in CALSTARS2FP)"
options=()
if [ -n "${SLURM_CPUS_PER_TASK:-}" ]; then options=(--jobs "${SLURM_CPUS_PER_TASK}"); fi

echo "${me}: job ${SLURM_ARRAY_JOB_ID:-?} task ${index}: ${folder}" >&2
# exec: the program is the task, so its exit status is the task's and scancel's SIGTERM reaches it.
exec "${program}" "${options[@]}" "${folder}" < /dev/null
