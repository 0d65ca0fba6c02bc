#!/usr/bin/env bash
# A one-node Slurm cluster on this machine (Debian's slurmctld, slurmd, slurm-client and munge,
# started here as root without systemd, stopped at the end) runs the installed job-array script over
# generated camera-nights of different sizes plus one bad night: every good night's files are
# byte-identical to a plain sequential run's, the bad night's task fails with its message in its
# log, the others are unaffected, and sbatch --wait reports the failure. A re-submitted and a
# requeued task write the same bytes; a list line that is missing or empty fails with one line.
#
# No accounting daemon (slurmdbd) is set up, so sacct has nothing to show here: the tasks' exit
# codes are read from scontrol show job, which keeps finished jobs for MinJobAge seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
source .ci/nights.sh
install_packages cmake ninja-build libhwy-dev g++ slurmctld slurmd slurm-client munge

work=$(pwd)/build/slurm
rm -rf "${work}" && mkdir -p "${work}/logs"
make_nights "${work}"
script="${work}/prefix/share/calstars2fp/calstars2fp-array.sbatch"
test -x "${script}"

# --- the cluster
host=$(hostname -s)
state="${work}/state"
mkdir -p "${state}/ctld" "${state}/d" /etc/slurm /run/munge /var/log/munge /var/lib/munge
chown munge:munge /run/munge /var/log/munge /var/lib/munge
if [ ! -s /etc/munge/munge.key ]; then
  mkdir -p /etc/munge && chown munge:munge /etc/munge && chmod 700 /etc/munge
  runuser -u munge -- mungekey --create --keyfile=/etc/munge/munge.key
fi
cat > /etc/slurm/slurm.conf <<CONF
ClusterName=ci
SlurmctldHost=${host}(127.0.0.1)
SlurmUser=root
AuthType=auth/munge
StateSaveLocation=${state}/ctld
SlurmdSpoolDir=${state}/d
SlurmctldPidFile=${state}/slurmctld.pid
SlurmdPidFile=${state}/slurmd.pid
SlurmctldLogFile=${state}/slurmctld.log
SlurmdLogFile=${state}/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=${host} NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=ci Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF

pids=()
# Prints the daemons' and the tasks' logs (on failure).
show_logs() {
  for log in "${state}/slurmctld.log" "${state}/slurmd.log" "${work}"/logs/*.log; do
    [ -f "${log}" ] && { echo "--- ${log}"; tail -n 40 "${log}"; }
  done
  return 0
}
stop_cluster() {
  local status=$?
  [ "${status}" -eq 0 ] || show_logs
  for pid in "${pids[@]}"; do kill "${pid}" 2> /dev/null || true; done
  local tries
  for pid in "${pids[@]}"; do
    tries=0
    while kill -0 "${pid}" 2> /dev/null && [ "${tries}" -lt 50 ]; do sleep 0.1; tries=$(( tries + 1 )); done
  done
  exit "${status}"
}
trap stop_cluster EXIT

# Waits up to 10 s for a daemon's pid file and notes the pid for stop_cluster.
note_pid() {
  local tries=0
  while [ ! -s "$1" ] && [ "${tries}" -lt 100 ]; do sleep 0.1; tries=$(( tries + 1 )); done
  [ -s "$1" ] || { echo "no pid file $1"; exit 1; }
  pids+=("$(cat "$1")")
}
# A munged that answers already (started by the system) is used as it is.
if ! munge -n 2> /dev/null | unmunge > /dev/null 2>&1; then
  rm -f /run/munge/munged.pid
  runuser -u munge -- /usr/sbin/munged --pid-file=/run/munge/munged.pid
  note_pid /run/munge/munged.pid
fi
munge -n | unmunge > /dev/null
/usr/sbin/slurmctld -c
note_pid "${state}/slurmctld.pid"
/usr/sbin/slurmd
note_pid "${state}/slurmd.pid"
node=""
for (( i = 0; i < 120; ++i )); do
  node=$(sinfo -h -N -o %T 2> /dev/null || true)
  [ "${node}" = idle ] && break
  sleep 0.5
done
[ "${node}" = idle ] || { echo "the node is '${node}', not idle, after 60 s"; exit 1; }
echo "cluster up: node ${host} idle"

# --- the job array: four good nights and the bad one, two tasks at a time
list="${work}/nights.txt"
: > "${list}"
for night in C01/20140101 "${BAD_NIGHT}" C01/20140102 C02/20140101 C03/20140101; do echo "archive/${night}" >> "${list}"; done
count=$(wc -l < "${list}")
export PATH="${work}/prefix/bin:${PATH}"
# The chapter's way to the script, for either install: beside the calstars2fp on PATH.
[ "$(dirname "$(command -v calstars2fp)")/../share/calstars2fp/calstars2fp-array.sbatch" -ef "${script}" ] ||
  { echo "the script is not at <prefix>/share/calstars2fp beside <prefix>/bin/calstars2fp"; exit 1; }
status=0
# Each task gets both CPUs (--cpus-per-task=2), so the script runs it with --jobs 2.
(cd "${work}" && sbatch --wait --parsable --array="1-${count}%2" --cpus-per-task=2 --output="${work}/logs/%A_%a.log" "${script}" "${list}") \
  > "${work}/job" || status=$?
job=$(head -n 1 "${work}/job")
echo "job ${job}: sbatch --wait ended with ${status}"
[ "${status}" -ne 0 ] || { echo "sbatch --wait reported no failure"; exit 1; }

for night in "${GOOD_NIGHTS[@]}"; do same_as_reference "${work}" "${night}"; done
echo "good nights: byte-identical to sequential runs"
bad_log="${work}/logs/${job}_2.log"
grep -q "^ ReadCalStarFrame: .* of archive/${BAD_NIGHT}/CALSTARS" "${bad_log}" || { echo "the bad night's message is not in its log"; cat "${bad_log}"; exit 1; }
echo "bad night's log: $(grep '^ ' "${bad_log}")"
for (( task = 1; task <= count; ++task )); do
  expected="0:0"
  [ "${task}" -ne 2 ] || expected="1:0"
  code=$(scontrol show job "${job}_${task}" | grep -o 'ExitCode=[0-9:]*' | head -n 1)
  [ "${code}" = "ExitCode=${expected}" ] || { echo "task ${task}: ${code}, expected ${expected}"; exit 1; }
  [ "${task}" -eq 2 ] || grep -q "^IMG_" "${work}/logs/${job}_${task}.log" || { echo "task ${task}: no record names in its log"; exit 1; }
done
echo "scontrol: task 2 ExitCode=1:0, the others 0:0"

# --- a re-submitted task writes the same bytes
(cd "${work}" && sbatch --wait --parsable --array=4 --output="${work}/logs/%A_%a.log" "${script}" "${list}") > "${work}/job2"
same_as_reference "${work}" C02/20140101
echo "re-submitted task 4: same bytes"

# --- a requeued task runs again and writes the same bytes
scontrol requeue "${job}_3"
# Slurm holds a requeued job back for a while (its begin time); let it start at once.
scontrol update JobId="${job}_3" StartTime=now
requeued=""
for (( i = 0; i < 120; ++i )); do
  requeued=$(scontrol show job "${job}_3")
  grep -q 'Restarts=1' <<< "${requeued}" && grep -q 'JobState=COMPLETED' <<< "${requeued}" && break
  sleep 0.5
done
grep -q 'JobState=COMPLETED' <<< "${requeued}" && grep -q 'Restarts=1' <<< "${requeued}" ||
  { echo "the requeued task did not complete again in 60 s"; echo "${requeued}"; exit 1; }
same_as_reference "${work}" C01/20140102
echo "requeued task 3: ran again, same bytes"

# --- bad list lines: missing and empty
printf 'archive/C01/20140101\n\n' > "${work}/short.txt"
status=0
(cd "${work}" && sbatch --wait --parsable --array=2-3 --output="${work}/logs/%A_%a.log" "${script}" "${work}/short.txt") \
  > "${work}/job3" || status=$?
job3=$(head -n 1 "${work}/job3")
[ "${status}" -eq 2 ] || { echo "bad list lines: sbatch --wait ended with ${status}, not 2"; exit 1; }
grep -qx " calstars2fp-array: line 2 of ${work}/short.txt is empty " "${work}/logs/${job3}_2.log"
grep -qx " calstars2fp-array: line 3 of ${work}/short.txt does not exist: it has 2 lines " "${work}/logs/${job3}_3.log"
echo "bad list lines: one line each, status 2"
