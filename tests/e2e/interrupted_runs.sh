#!/usr/bin/env bash
# Stops runs of calstars2fp at random moments with every signal whose default action ends a process
# (SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, and a
# SIGPIPE sent from outside) and checks what each
# leaves: never a temporary file; every output that exists whole and byte-identical to an
# uninterrupted run's, and the outputs a prefix of the records in order; the exit by the signal; one
# line naming the folder and the record. A run that ends before its signal arrives must equal the
# uninterrupted run. Outcomes are counted, not timed: the delays only spread the stops over a run.
#
#   interrupted_runs.sh <calstars2fp> <make_calstars> <runs> [options before the folder, e.g. --jobs 3]
#
# SEED=<n> replays the delays of an earlier invocation (its seed is printed first).
set -euo pipefail
program=$1
generator=$2
runs=$3
shift 3
options=("$@")

seed=${SEED:-$(( $$ % 32768 ))}
RANDOM=${seed}
echo "seed ${seed}, ${runs} runs, options: ${options[*]:-(none)}"

# SIGQUIT and SIGXCPU would leave a core dump.
ulimit -c 0
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
mkdir "${work}/inputs"
# Three files of 40 records: 120 records, long enough against the time a signal takes to be sent.
"${generator}" "${work}/inputs" --camera 5 --files 3 --records 40 --rows 120 --cols 160 --stars 8 --seed 13 > /dev/null

fail() {
  echo "FAILED (run $1, SEED=${seed}): $2"
  echo "--- output:"; cat "$3/out" || true
  echo "--- folder:"; ls -la "$3/night" || true
  exit 1
}

# Starts the program in the background with the stop signals at their default (a background job of a
# shell without job control would have SIGINT ignored, and ignored signals stay ignored).
start() {
  env --default-signal "${program}" "${options[@]}" "$1/night" > "$1/out" 2>&1 < /dev/null &
}

# Waits until the run in $1 has written its listing (its handlers are installed before that). The
# polling itself takes time, so the delays are measured from here in the reference run too: under a
# loaded machine the time from the start would let most runs finish before their signal.
wait_for_listing() {
  local poll=0
  while [ ! -e "$1/night/DirListingCalstars.txt" ] && [ "${poll}" -lt 10000 ]; do sleep 0.001; poll=$(( poll + 1 )); done
}

reference="${work}/reference"
mkdir "${reference}"
cp -r "${work}/inputs" "${reference}/night"
start "${reference}"
pid=$!
wait_for_listing "${reference}"
begin=$(date +%s%N)
status=0
wait "${pid}" || status=$?
duration_us=$(( ($(date +%s%N) - begin) / 1000 ))
[ "${status}" -eq 0 ] || fail reference "status ${status}" "${reference}"
mapfile -t names < "${reference}/out"
[ "${#names[@]}" -eq 120 ] || fail reference "${#names[@]} names printed, not 120" "${reference}"
echo "uninterrupted run, from its listing on: ${duration_us} us"

signals=(TERM INT HUP QUIT USR1 USR2 ALRM VTALRM PROF XCPU PIPE)
numbers=()
for signal in "${signals[@]}"; do numbers+=("$(kill -l "${signal}")"); done
declare -A outcome=()
for (( run = 1; run <= runs; ++run )); do
  folder="${work}/run${run}"
  mkdir "${folder}"
  cp -r "${work}/inputs" "${folder}/night"
  which=$(( RANDOM % ${#signals[@]} ))
  signal=${signals[which]}
  # A delay up to 1.2 times the whole run, counted from the moment the listing is there (the
  # handlers are installed before it is written).
  delay_us=$(( (RANDOM * 32768 + RANDOM) % (duration_us * 6 / 5 + 1) ))
  start "${folder}"
  pid=$!
  wait_for_listing "${folder}"
  sleep "$(printf '%d.%06d' $(( delay_us / 1000000 )) $(( delay_us % 1000000 )))"
  kill -s "${signal}" "${pid}" 2> /dev/null || true
  status=0
  wait "${pid}" 2> /dev/null || status=$?

  # Whatever the moment: only inputs, the listing and outputs of the reference, each identical.
  present=()
  for (( k = 0; k < ${#names[@]}; ++k )); do
    [ -e "${folder}/night/${names[k]}" ] && present+=("${k}")
  done
  for entry in "${folder}/night"/*; do
    name=${entry##*/}
    if [ -e "${work}/inputs/${name}" ] || [ "${name}" = DirListingCalstars.txt ]; then continue; fi
    [ -e "${reference}/night/${name}" ] || fail "${run}" "unexpected file ${name}" "${folder}"
    cmp -s "${entry}" "${reference}/night/${name}" || fail "${run}" "${name} differs from the uninterrupted run's" "${folder}"
  done
  # The hidden folder of temporary files goes with them.
  leftover=$(ls -A "${folder}/night" | grep '^\.calstars2fp-' || true)
  [ -z "${leftover}" ] || fail "${run}" "hidden folder ${leftover} left" "${folder}"
  written=${#present[@]}
  # The outputs are the first records in order.
  [ "${written}" -eq 0 ] || [ "${present[written - 1]}" -eq $(( written - 1 )) ] || fail "${run}" "outputs are not a prefix of the records" "${folder}"

  mapfile -t lines < "${folder}/out"
  if [ "${status}" -eq 0 ]; then
    cmp -s "${folder}/out" "${reference}/out" || fail "${run}" "finished run printed other names" "${folder}"
    [ "${written}" -eq 120 ] || fail "${run}" "finished run wrote ${written} files" "${folder}"
    outcome[finished]=$(( ${outcome[finished]:-0} + 1 ))
    continue
  fi
  [ "${status}" -eq $(( 128 + numbers[which] )) ] || fail "${run}" "status ${status} after SIG${signal}" "${folder}"
  [ "${#lines[@]}" -ge 1 ] || fail "${run}" "no line printed" "${folder}"
  last=${lines[${#lines[@]} - 1]}
  # Every line before the last is a record name, in order, ahead of the files by at most one.
  printed=$(( ${#lines[@]} - 1 ))
  for (( k = 0; k < printed; ++k )); do
    [ "${lines[k]}" = "${names[k]}" ] || fail "${run}" "line $(( k + 1 )) is not the record name ${names[k]}" "${folder}"
  done
  [ "${printed}" -eq "${written}" ] || [ "${printed}" -eq $(( written + 1 )) ] ||
    fail "${run}" "${printed} names printed for ${written} files" "${folder}"
  at="${folder}/night/"
  case "${last}" in
    " Interrupted by SIG${signal}: record "*" in ${at} not finished ") ;;
    " Interrupted by SIG${signal} in ${at} before its first record ") [ "${written}" -eq 0 ] || fail "${run}" "files before the first record" "${folder}" ;;
    " Interrupted by SIG${signal} in ${at} after record "*" ")
      record=${last#" Interrupted by SIG${signal} in ${at} after record "}
      record=${record% }
      [ -e "${folder}/night/${record}" ] || fail "${run}" "the finished record ${record} has no file" "${folder}" ;;
    *) fail "${run}" "last line is not the interruption line" "${folder}" ;;
  esac
  outcome[${signal}]=$(( ${outcome[${signal}]:-0} + 1 ))
  rm -rf "${folder}"
done
summary=""
interrupted=0
for key in "${signals[@]}" finished; do summary+=" ${key}: ${outcome[${key}]:-0}"; done
for key in "${signals[@]}"; do interrupted=$(( interrupted + ${outcome[${key}]:-0} )); done
echo "outcomes of ${runs} runs (interrupted by each signal; finished first):${summary}"
[ "${interrupted}" -gt 0 ] || { echo "FAILED: no run was interrupted"; exit 1; }
echo "passed"
