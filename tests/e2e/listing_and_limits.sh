#!/usr/bin/env bash
# What a hostile folder, a limit or a broken standard output does to a run of calstars2fp: the listing
# is never written through a link or into a FIFO and a failed listing stops the run before anything is
# processed; every listed file is processed once; a file size limit fails a write with one line; a
# stop signal ends the run by that signal even with standard output a full or closed pipe; long names
# and the leftovers of killed runs; standard output that cannot be written ends the run 1
# with every file written; two runs at once on one folder each see the whole folder.
#
#   listing_and_limits.sh <calstars2fp> [concurrent rounds, default 10] [thread-sanitizer]
#
# A ThreadSanitizer build cannot run the file size limit cases (its runtime writes a file as it
# starts, which the limit refuses by killing it) nor the stops while a write waits on a full pipe
# (it holds an arriving signal until the blocking write returns): it says so and runs the rest.
#
# Hang guards use timeout(1) with generous limits: they catch a run that never ends, they time nothing.
set -uo pipefail
checks="$(cd "$(dirname "$0")" && pwd)/checks.sh"
program=$1
rounds=${2:-10}
instrumented=${3:-}
limits_apply=1
if [ "${instrumented}" = thread-sanitizer ]; then
  limits_apply=0
  echo "(ThreadSanitizer build: the file size limit and full-pipe stop cases are left to the other builds)"
fi
ulimit -c 0

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
cd "${work}" || exit 1
source "${checks}"

# mk <file> <rows> <cols> <record name>: a CALSTARS file of one record with one star.
mk() {
  printf 'a\nb\nc\nd\ne\nCamera = X\nn = 1\nNrows = %s\nNcols = %s\nNstars = 1\n----\n%s\nwindow = 3\ndivisor = 4\n5 5 1900 2000\n####\n' \
    "$2" "$3" "$4" > "$1"
}
run() { timeout 60 "${program}" "$@" < /dev/null; }
# Neither a temporary file of the old form nor a hidden folder of temporary files is left.
no_temporaries() { ! ls -A "$1" | grep -q -e '\.partial' -e '^\.calstars2fp-'; }

# A link at the listing's name: the file it leads to stays as it was, the listing is a file of its own.
mkdir link && mk link/CALSTARS_A.txt 20 20 A.bin && echo precious > victim.txt
ln -s "${work}/victim.txt" link/DirListingCalstars.txt
run link > link.out 2>&1; status=$?
check "link at the listing: status 0, A.bin written" test "${status}" -eq 0 -a -f link/A.bin
check "link at the listing: victim untouched" grep -qx precious victim.txt
check "link at the listing: listing is a regular file" test -f link/DirListingCalstars.txt -a ! -L link/DirListingCalstars.txt

# A FIFO at the listing's name is replaced, never opened (opening it would wait for a reader).
mkdir fifo && mk fifo/CALSTARS_A.txt 20 20 A.bin && mkfifo fifo/DirListingCalstars.txt
run fifo > fifo.out 2>&1; status=$?
check "FIFO at the listing: no hang, status 0, A.bin written" test "${status}" -eq 0 -a -f fifo/A.bin -a ! -p fifo/DirListingCalstars.txt

# A listing that cannot be written (file size limit of 0 blocks): one line, status 1, nothing done.
if [ "${limits_apply}" -eq 1 ]; then
mkdir limited && mk limited/CALSTARS_A.txt 20 20 A.bin
# (The line goes through a pipe: the limit would refuse it in a file as well.)
( ulimit -f 0; run limited ) 2>&1 | cat > limited.out; status=${PIPESTATUS[0]}
check "listing over the file size limit: status 1" test "${status}" -eq 1
check "listing over the file size limit: nothing processed, no temporary" test ! -e limited/A.bin -a ! -e limited/DirListingCalstars.txt
check "listing over the file size limit: the line" grep -q "^ Cannot write directory listing file limited/DirListingCalstars.txt: " limited.out
echo "(a full disk is not made here, which needs a file system mounted for the test: a write that the"
echo " system refuses is covered by the file size limit above, whose failure takes the same path)"
fi

# Names holding ".txt" twice: each file once.
mkdir twice && mk twice/CALSTARS_A.txt 20 20 A.bin && mk twice/CALSTARS_A.txt.v2.txt 20 20 B.bin
run twice > twice.out 2>&1; status=$?
check "CALSTARS_A.txt and CALSTARS_A.txt.v2.txt: each processed once" test "${status}" -eq 0 -a "$(cat twice.out)" = "$(printf 'A.bin\nB.bin')"

# A record file over the file size limit: SIGXFSZ does not kill the run, the write fails with its line.
if [ "${limits_apply}" -eq 1 ]; then
mkdir big && mk big/CALSTARS_A.txt 1000 1000 A.bin
( ulimit -f 100; run big ) 2>&1 | cat > big.out; status=${PIPESTATUS[0]}
check "record over the file size limit: status 1 and the write line" test "${status}" -eq 1
check "record over the file size limit: the line and its reason" grep -qx " Cannot write output file big/A.bin: File too large " big.out
check "record over the file size limit: no temporary" no_temporaries big
fi

# Stop signals with a standard output nobody reads. A full pipe: the handler's line is dropped, the
# run ends by SIGTERM. A closed pipe: its SIGPIPE does not replace SIGTERM.
mkdir stalled && for k in $(seq 1 30); do mk "stalled/CALSTARS_$k.txt" 300 300 "F$k.bin"; done
for jobs in $( [ "${limits_apply}" -eq 1 ] && echo 1 3 ); do
  rm -f stalled/*.bin stalled/DirListingCalstars.txt
  mkfifo pipe
  exec 8<> pipe  # held open for reading, never read
  dd if=/dev/zero bs=65536 count=1 >&8 2> /dev/null  # fills the pipe: the run's first name waits
  env --default-signal timeout -s KILL 60 "${program}" --jobs "${jobs}" stalled > pipe 2> /dev/null < /dev/null &
  pid=$!
  # Once the listing is there the run is at its first name, waiting on the pipe.
  for (( poll = 0; poll < 2000; ++poll )); do [ -e stalled/DirListingCalstars.txt ] && break; sleep 0.01; done
  sleep 0.2
  kill -TERM "$(pgrep -P "${pid}" -x calstars2fp || echo "${pid}")" 2> /dev/null
  wait "${pid}"; status=$?
  exec 8<&-
  rm -f pipe
  check "full stdout pipe, --jobs ${jobs}: SIGTERM ends the run (status ${status})" test "${status}" -eq 143
  check "full stdout pipe, --jobs ${jobs}: no temporary" no_temporaries stalled
done
for jobs in 1 3; do
  rm -f stalled/*.bin
  # The reader goes away at once; the run's first name raises SIGPIPE, which only fails that write.
  ( env --default-signal "${program}" --jobs "${jobs}" stalled < /dev/null 2> closed.err & echo $! > closed.pid; wait $! ; echo $? > closed.status ) | true
  status=$(cat closed.status)
  check "closed stdout pipe, --jobs ${jobs}: every file written, status 1" test "${status}" -eq 1 -a "$(ls stalled | grep -c '\.bin$')" -eq 30
  check "closed stdout pipe, --jobs ${jobs}: the line" grep -qx " Cannot write standard output: Broken pipe " closed.err
done
# SIGTERM while standard output is a closed pipe: the handler's own write must not end it by SIGPIPE.
# Where the stopping library is given (STOP_AT_MARK_LIBRARY, an uninstrumented 64-bit build), the run
# stops itself while its third record's temporary file exists, so that the signal surely finds it
# running; elsewhere the signal follows the first file, which a fast machine may outrun.
rm -f stalled/*.bin
mkfifo pipe
( exec 9< pipe; exec 9<&- ) & reader=$!
if [ -n "${STOP_AT_MARK_LIBRARY:-}" ] && [ -z "${instrumented}" ]; then
  env --default-signal LD_PRELOAD="${STOP_AT_MARK_LIBRARY}" STOP_AT_MARK=4 "${program}" --jobs 1 stalled > pipe 2> /dev/null < /dev/null &
  pid=$!
  wait "${reader}"
  for (( poll = 0; poll < 6000; ++poll )); do [ "$(ps -o stat= -p "${pid}" | cut -c1)" = T ] && break; sleep 0.01; done
  kill -TERM "${pid}" 2> /dev/null; kill -CONT "${pid}" 2> /dev/null
else
  env --default-signal "${program}" --jobs 1 stalled > pipe 2> /dev/null < /dev/null &
  pid=$!
  wait "${reader}"
  for (( poll = 0; poll < 2000; ++poll )); do [ "$(ls stalled | grep -c '\.bin$')" -ge 1 ] && break; sleep 0.01; done
  kill -TERM "${pid}" 2> /dev/null
fi
wait "${pid}"; status=$?
rm -f pipe
check "closed stdout pipe + SIGTERM: ends by SIGTERM (status ${status})" test "${status}" -eq 143

# Standard output that cannot be written: every file, then status 1 and one line on standard error.
for jobs in 1 3; do
  for kind in full closed; do
    rm -f stalled/*.bin
    if [ "${kind}" = full ]; then run --jobs "${jobs}" stalled > /dev/full 2> out.err; else run --jobs "${jobs}" stalled >&- 2> out.err; fi
    status=$?
    check "stdout ${kind}, --jobs ${jobs}: status 1 with all 30 files" test "${status}" -eq 1 -a "$(ls stalled | grep -c '\.bin$')" -eq 30
    check "stdout ${kind}, --jobs ${jobs}: one line on standard error" test "$(grep -c '^ Cannot write standard output: ' out.err)" -eq 1
  done
done

# Long names: a record name of 250 characters is written.
mkdir long && name=$(printf 'L%.0s' $(seq 1 246)).bin && mk long/CALSTARS_A.txt 20 20 "${name}"
run long > long.out 2>&1; status=$?
check "record name of 250 characters: written" test "${status}" -eq 0 -a -f "long/${name}"
check "record name of 250 characters: no temporary" no_temporaries long

# Leftovers of killed runs: a hidden folder of temporary files whose lock a live process holds stays,
# one whose lock nobody holds goes with its marked files. Files beside the outputs are never touched,
# marked or not: a marked "A.bin.partial" of an earlier version stays, as a user's "A.bin.partial2".
mark='\377\377\377\377C2FP partial'
hidden=stale/.calstars2fp-1-2-3
mkdir stale "${hidden}" && mk stale/CALSTARS_A.txt 20 20 A.bin && : > "${hidden}/lock" && printf "${mark}cut short" > "${hidden}/1"
printf "${mark}cut short" > stale/A.bin.partial
if command -v flock > /dev/null; then
  flock "${hidden}/lock" -c "\"${program}\" stale < /dev/null > /dev/null 2>&1"
  check "hidden folder held by a live process: kept" test -f "${hidden}/1" -a -f stale/A.bin
else
  echo "(no flock command here: the held case is not checked)"
fi
printf 'a user file' > stale/A.bin.partial2
run stale > /dev/null 2>&1
check "hidden folder left by a killed run: removed by the rerun" test ! -e "${hidden}"
check "hidden folder left by a killed run: output written" test -f stale/A.bin
check "marked file of an earlier version beside the output: kept" test "$(cat stale/A.bin.partial)" = "$(printf "${mark}cut short")"
check "unmarked file beside the output: kept as it was" test "$(cat stale/A.bin.partial2)" = 'a user file'

# Two runs at once on one folder of many files: each reads its own whole listing.
mkdir many && for k in $(seq 1 3000); do mk "many/CALSTARS_$k.txt" 20 20 "F$k.bin"; done
run --jobs 1 many > many.reference 2>&1 && mkdir many_reference && cp many/*.bin many_reference/
for (( round = 1; round <= rounds; ++round )); do
  rm -f many/*.bin
  run --jobs 1 many > many.1 2>&1 & first=$!
  run --jobs 2 many > many.2 2>&1 & second=$!
  wait "${first}"; s1=$?; wait "${second}"; s2=$?
  same=1
  cmp -s many.1 many.reference && cmp -s many.2 many.reference || same=0
  for k in 1 1500 3000; do cmp -s "many/F$k.bin" "many_reference/F$k.bin" || same=0; done
  [ "$(ls many | grep -c '\.bin$')" -eq 3000 ] || same=0
  if [ "${s1}" -ne 0 ] || [ "${s2}" -ne 0 ] || [ "${same}" -ne 1 ] || ! no_temporaries many; then
    check "two runs at once, round ${round}: both complete with identical files (status ${s1}, ${s2})" false
    tail -n 2 many.1 many.2
    break
  fi
done
check "two runs at once: ${rounds} rounds completed" test "${round}" -gt "${rounds}"

[ "${failures}" -eq 0 ] && echo passed || { echo "${failures} FAILED"; exit 1; }
