#!/usr/bin/env bash
# Runs dyadmill-slurm against a real single-node SLURM cluster brought up on
# this machine for the duration of the test: a multi-process run must give
# the single-process results byte for byte, and a failing worker must keep
# the assembly from running.
#
# Usage: test_slurm_launcher.sh DYADMILL_BINARY SOURCE_DIR
# Needs root and the slurmctld, slurmd, slurm-client and munge packages;
# without them it exits 77 (skipped).
set -euo pipefail

skip() {
  printf 'SKIP: %s\n' "$1"
  exit 77
}
(($# == 2)) || {
  echo "usage: $0 DYADMILL_BINARY SOURCE_DIR" >&2
  exit 2
}
((EUID == 0)) || skip "the SLURM daemons must be started as root"
for tool in slurmctld slurmd sbatch squeue scontrol sinfo scancel munged munge unmunge setpriv; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (packages slurmctld, slurmd, slurm-client, munge)"
done
id munge >/dev/null 2>&1 || skip "there is no munge user"

dyadmill=$(readlink -f -- "$1")
launcher=$(readlink -f -- "$2")/scripts/dyadmill-slurm
here=$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")
# shellcheck source=tests/launchers/launcher_test_lib.sh
source "$here/launcher_test_lib.sh"

# Under /tmp whatever TMPDIR says: munged runs as the munge user, which must
# reach its key and socket here, and socket paths must stay short.
work=$(mktemp -d /tmp/dyadmill-slurm-test.XXXXXX)
chmod 755 "$work"
cluster=$work/cluster
mkdir -p "$cluster/munge" "$cluster/state" "$cluster/spool"
daemon_pids=()
submitted=()

dump_logs() {
  local f
  for f in "$cluster"/*.log "$cluster"/munge/*.log; do
    [[ -f $f ]] || continue
    printf -- '--- %s (last lines)\n' "$f"
    tail -n 15 -- "$f"
  done
}

# Slurm commands hang for many seconds when the controller is gone, so each
# one gets a time limit.
sl() { timeout 10 "$@"; }

cleanup() {
  local status=$? pid i
  trap - EXIT
  if ((status != 0 && status != 77)); then dump_logs; fi
  if ((${#submitted[@]} > 0)); then sl scancel "${submitted[@]}" >/dev/null 2>&1 || true; fi
  for ((i = ${#daemon_pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${daemon_pids[i]}" 2>/dev/null || true
  done
  for pid in "${daemon_pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf -- "$work"
  exit "$status"
}
trap cleanup EXIT

# --- munge, with its key, socket and files all inside the test directory ---
chown munge:munge "$cluster/munge"
chmod 711 "$cluster/munge"
dd if=/dev/urandom of="$cluster/munge/munge.key" bs=1024 count=1 status=none
chown munge:munge "$cluster/munge/munge.key"
chmod 400 "$cluster/munge/munge.key"
socket=$cluster/munge/munge.socket
setpriv --reuid=munge --regid=munge --init-groups -- munged --foreground --force \
  --socket="$socket" --key-file="$cluster/munge/munge.key" --pid-file="$cluster/munge/munged.pid" \
  --seed-file="$cluster/munge/munged.seed" --log-file="$cluster/munge/munged.log" \
  >"$cluster/munge/munged.out" 2>&1 &
daemon_pids+=($!)
for _ in $(seq 50); do
  munge -n -S "$socket" 2>/dev/null | unmunge -S "$socket" >/dev/null 2>&1 && break
  sleep 0.1
done
munge -n -S "$socket" | unmunge -S "$socket" >/dev/null || fail "munged did not come up"

# --- slurmctld and slurmd on this host, on ports of their own ---
host=$(hostname -s)
node_line=$(slurmd -C | head -n 1)
memory=$(sed -n 's/.*RealMemory=\([0-9]*\).*/\1/p' <<<"$node_line")
node_line=${node_line/RealMemory=$memory/RealMemory=$((memory * 9 / 10))}
port=$((20000 + $$ % 20000))
cat >"$cluster/slurm.conf" <<EOF
ClusterName=dyadtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/slurmctld.log
SlurmdLogFile=$cluster/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
ReturnToService=2
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
DependencyParameters=kill_invalid_depend
SchedulerParameters=batch_sched_delay=0,sched_interval=2,sched_min_interval=0
$node_line NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
printf 'CgroupPlugin=cgroup/v1\n' >"$cluster/cgroup.conf"
export SLURM_CONF=$cluster/slurm.conf

slurmctld -D -i >"$cluster/slurmctld.out" 2>&1 &
daemon_pids+=($!)
slurmd -D -N "$host" >"$cluster/slurmd.out" 2>&1 &
daemon_pids+=($!)
ready=0
for _ in $(seq 100); do
  if sl scontrol ping >/dev/null 2>&1 &&
    [[ $(sl sinfo -h -N -n "$host" -o '%t' 2>/dev/null) == idle* ]]; then
    ready=1
    break
  fi
  sleep 0.2
done
((ready)) || fail "the SLURM cluster did not come up"
echo "ok - single-node SLURM cluster is up"

# Prints "STATE REASON" for every line that scontrol reports for the job (an
# array that has started shows one line per task).
job_states() {
  sl scontrol -o show job "$1" 2>/dev/null |
    sed -n 's/.*JobState=\([A-Z_]*\) .*Reason=\([^ ]*\) .*/\1 \2/p'
}

# Waits until every part of job ID has ended; prints the final states.
wait_for_job() {
  local id=$1 states
  for _ in $(seq 300); do
    states=$(job_states "$id")
    if [[ -n $states ]] && ! grep -Eq '^(PENDING|RUNNING|CONFIGURING|COMPLETING|SUSPENDED|REQUEUED)' <<<"$states"; then
      printf '%s\n' "$states"
      return
    fi
    sleep 0.2
  done
  fail "job $id did not end within a minute: $(job_states "$id" | tr '\n' ' ')"
}

data=$work/genotypes.txt
make_genotypes "$data" 30 200
options=(-i "$data" -o res -b 3 -t 6 --epistasis --likelihood --maxT --nomissing --permutations 9 -r 7)

mkdir "$work/single"
(cd "$work/single" && "$dyadmill" "${options[@]}" -n 1 -p 1 >run.log) ||
  fail "the single-process run failed"

# --- a run of three workers and the assembly ---
mkdir "$work/cluster-run"
cd "$work/cluster-run"
"$launcher" --dyadmill "$dyadmill" --assembly-sbatch --time=3 --time=5 -- "${options[@]}" -n 3 >submit.out 2>&1 ||
  { cat submit.out; fail "dyadmill-slurm failed"; }
cat submit.out
read -r array_id assembly_id < <(sed -n 's/.*job array \([0-9]*\) .*as job \([0-9]*\),.*/\1 \2/p' submit.out)
[[ -n ${array_id:-} && -n ${assembly_id:-} ]] || fail "no job ids in the launcher's output"
submitted+=("$array_id" "$assembly_id")
grep -q "squeue -j $array_id,$assembly_id" submit.out || fail "the launcher does not say how to follow the jobs"
# The sbatch options reach both jobs, the assembly's own ones only the
# assembly, where they win over the shared ones.
field() { sl scontrol -o show job "$1" | head -n 1 | grep -o " $2=[^ ]*" | cut -d= -f2-; }
[[ $(field "$array_id" TimeLimit) == 00:05:00 ]] || fail "the workers did not get --time=5"
[[ $(field "$assembly_id" TimeLimit) == 00:03:00 ]] || fail "the assembly did not get --time=3"
wait_for_job "$array_id" >/dev/null
states=$(wait_for_job "$assembly_id")
[[ $states == "COMPLETED "* ]] || fail "the assembly job ended as: $states"
same_outputs "$work/single" "$work/cluster-run" "cluster run"
for k in 1 2 3; do
  grep -q "res_partial$k.txt" "res_worker$k.log" || fail "res_worker$k.log is not the log of worker $k"
done
grep -q "Partial output file res_partial3.txt" res_assembly.log || fail "res_assembly.log is not the assembly's log"
echo "ok - three workers and the assembly on SLURM give the single-process results"

# --- failing workers: the assembly must not run ---
# Worker 2 of one run exits 1; worker 3 of another exits 0 without writing
# its partial file, which the job must turn into a failure as well.
submit_failing() {
  local dir=$1 special=$2 action=$3
  mkdir "$dir"
  make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" "$special" "$action"
  (cd "$dir" && "$launcher" --dyadmill "$dir/fake-dyadmill" --parsable -- "${options[@]}" -n 3) ||
    fail "dyadmill-slurm failed in $dir"
}
read -r fail_array fail_assembly < <(submit_failing "$work/fail-exit" 2 1)
submitted+=("$fail_array" "$fail_assembly")
read -r quiet_array quiet_assembly < <(submit_failing "$work/fail-quiet" 3 0)
submitted+=("$quiet_array" "$quiet_assembly")
check_blocked() {
  local dir=$1 array=$2 assembly=$3 bad=$4 states
  states=$(wait_for_job "$array")
  [[ $(grep -c '^FAILED' <<<"$states") == 1 && $(grep -c '^COMPLETED' <<<"$states") == 2 ]] ||
    fail "$dir: expected one failed and two completed workers, got: $(tr '\n' ' ' <<<"$states")"
  grep -q "simulated failure of process $bad" "$dir/res_worker$bad.log" ||
    fail "$dir: res_worker$bad.log does not hold worker $bad's output"
  states=$(wait_for_job "$assembly")
  [[ $states == "CANCELLED DependencyNeverSatisfied" ]] || fail "$dir: the assembly job ended as: $states"
  [[ ! -e $dir/res.txt && ! -e $dir/res_assembly.log ]] || fail "$dir: the assembly ran"
  ! grep -q '^start 0' "$dir/fake-dyadmill.trace" || fail "$dir: dyadmill -p 0 was started"
}
check_blocked "$work/fail-exit" "$fail_array" "$fail_assembly" 2
echo "ok - a worker that fails keeps the assembly from running"

# --resume after the failure: only task 2 goes out again, then the assembly.
read -r resume_array resume_assembly < <(cd "$work/fail-exit" &&
  "$launcher" --dyadmill "$dyadmill" --resume --parsable -- "${options[@]}" -n 3 2>resume.err)
[[ -n ${resume_array:-} && -n ${resume_assembly:-} ]] || fail "--resume: no job ids"
submitted+=("$resume_array" "$resume_assembly")
grep -q "rerunning: 2$" "$work/fail-exit/resume.err" || fail "--resume: $(cat "$work/fail-exit/resume.err")"
states=$(wait_for_job "$resume_array")
[[ $states == "COMPLETED "* && $(wc -l <<<"$states") == 1 ]] || fail "--resume: the workers ended as: $states"
states=$(wait_for_job "$resume_assembly")
[[ $states == "COMPLETED "* ]] || fail "--resume: the assembly job ended as: $states"
same_outputs "$work/single" "$work/fail-exit" "resumed cluster run"
echo "ok - --resume reruns only the failed worker, then assembles the single-process results"
check_blocked "$work/fail-quiet" "$quiet_array" "$quiet_assembly" 3
grep -q "wrote no res_partial3.txt" "$work/fail-quiet/res_worker3.log" ||
  fail "the job of worker 3 does not say that the partial file is missing"
echo "ok - a worker that exits 0 without its partial file keeps the assembly from running"
