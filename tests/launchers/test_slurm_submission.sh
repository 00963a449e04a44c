#!/usr/bin/env bash
# Checks what dyadmill-slurm hands to sbatch, with stand-ins for sbatch and
# scancel that record their arguments and job scripts: the array and the
# afterok dependency, the pass-through of sbatch options, the workers' CPUs
# per task and --threads, the refusals, the cancellation of the workers when
# the assembly cannot be submitted, and that the recorded job scripts, run
# here by hand, reproduce a single-process run. Needs no SLURM installation.
#
# Usage: test_slurm_submission.sh DYADMILL_BINARY SOURCE_DIR
set -euo pipefail

(($# == 2)) || {
  echo "usage: $0 DYADMILL_BINARY SOURCE_DIR" >&2
  exit 2
}
dyadmill=$(readlink -f -- "$1")
launcher=$(readlink -f -- "$2")/scripts/dyadmill-slurm
here=$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")
# shellcheck source=tests/launchers/launcher_test_lib.sh
source "$here/launcher_test_lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/dyadmill-slurm-submission.XXXXXX")
trap 'rm -rf -- "$work"' EXIT

# sbatch stand-in: call n stores its arguments (one a line) in argsN and the
# script it read in scriptN, and answers job id 1000+n the way --parsable
# does on a multi-cluster set-up ("id;cluster"). It fails at call
# FAKE_SBATCH_FAIL_AT.
mkdir -p "$work/bin"
cat >"$work/bin/sbatch" <<'EOF'
#!/usr/bin/env bash
calls=$FAKE_SLURM_DIR/calls
n=$(($(cat "$calls" 2>/dev/null || echo 0) + 1))
echo "$n" >"$calls"
printf '%s\n' "$@" >"$FAKE_SLURM_DIR/args$n"
cat >"$FAKE_SLURM_DIR/script$n"
if [[ $n == "${FAKE_SBATCH_FAIL_AT:-}" ]]; then
  echo "sbatch: error: Batch job submission failed" >&2
  exit 1
fi
echo "$((1000 + n));testcluster"
EOF
cat >"$work/bin/scancel" <<'EOF'
#!/usr/bin/env bash
printf '%s\n' "$@" >"$FAKE_SLURM_DIR/scancel"
EOF
chmod +x "$work/bin/sbatch" "$work/bin/scancel"
export PATH="$work/bin:$PATH"

# Submits from a fresh directory NAME; the stand-ins record into NAME/slurm.
status=0
submit() {
  local dir=$work/$1
  shift
  mkdir -p "$dir/slurm"
  status=0
  (cd "$dir" && FAKE_SLURM_DIR=$dir/slurm "$launcher" "$@" >launcher.out 2>launcher.err) || status=$?
}
has_arg() { grep -qxF -- "$2" "$1" || fail "$(basename "$1") lacks $2: $(tr '\n' ' ' <"$1")"; }
calls() { cat "$work/$1/slurm/calls" 2>/dev/null || echo 0; }

# Names with a space, a % (which sbatch would expand in log names) and a
# quote check that the job scripts and options carry them literally.
mkdir -p "$work/in put"
data="$work/in put/geno'types.txt"
make_genotypes "$data" 30 200
out="res 50%"
options=(-i "$data" -o "$out" -b 3 -t 6 --epistasis --likelihood --maxT --nomissing --permutations 9 -r 7)
mkdir "$work/single"
(cd "$work/single" && "$dyadmill" "${options[@]}" -n 1 -p 1 >run.log) || fail "the single-process run failed"

# --- a run of three workers ---
submit run --dyadmill "$dyadmill" --max-running 2 --assembly-sbatch --time=10 \
  --partition=short --mem 1G -- "${options[@]}" -n 3
((status == 0)) || fail "the launcher exited $status: $(cat "$work/run/launcher.err")"
dir=$work/run
[[ $(calls run) == 2 ]] || fail "expected 2 submissions, got $(calls run)"
for n in 1 2; do
  has_arg "$dir/slurm/args$n" --parsable
  has_arg "$dir/slurm/args$n" "--chdir=$dir"
  has_arg "$dir/slurm/args$n" --partition=short
  has_arg "$dir/slurm/args$n" --mem
  has_arg "$dir/slurm/args$n" 1G
done
has_arg "$dir/slurm/args1" "--array=1-3%2"
has_arg "$dir/slurm/args1" "--output=res 50%%_worker%a.log"
has_arg "$dir/slurm/args2" "--dependency=afterok:1001"
has_arg "$dir/slurm/args2" "--kill-on-invalid-dep=yes"
has_arg "$dir/slurm/args2" "--output=res 50%%_assembly.log"
! grep -q -- '^--array' "$dir/slurm/args2" || fail "the assembly was submitted as an array"
! grep -q -- '^--time' "$dir/slurm/args1" || fail "the assembly's own option reached the workers"
[[ $(tail -n 1 "$dir/slurm/args2") == --time=10 ]] || fail "the assembly's own option does not come last"
grep -q "job array 1001 (tasks 1-3%2) and the assembly as job 1002" "$dir/launcher.out" ||
  fail "the job ids are not reported: $(cat "$dir/launcher.out")"
grep -q "squeue -j 1001,1002" "$dir/launcher.out" || fail "the launcher does not say how to follow the jobs"
grep -qF "$dir/$out""_worker<k>.log" "$dir/launcher.out" || fail "the launcher does not name the logs"
echo "ok - workers go out as an array, the assembly after them with afterok, both with the sbatch options"

# The recorded job scripts, run the way SLURM would run them, reproduce the
# single-process run.
for k in 1 2 3; do
  (cd "$dir" && SLURM_ARRAY_TASK_ID=$k bash slurm/script1 >"worker$k.log") || fail "worker script, task $k, failed"
done
(cd "$dir" && bash slurm/script2 >assembly.log) || fail "the assembly script failed"
same_outputs "$work/single" "$dir" "job scripts"
echo "ok - the job scripts reproduce the single-process results"

# A worker script whose dyadmill exits 0 without its partial file fails,
# even when an earlier run left a file of that name.
make_fake_dyadmill "$work/quiet-dyadmill" "$dyadmill" 2 0
submit quiet --dyadmill "$work/quiet-dyadmill" -- "${options[@]}" -n 2
((status == 0)) || fail "submitting with the stand-in failed"
cp "$dir/$out""_partial2.txt" "$work/quiet/"
worker_status=0
(cd "$work/quiet" && SLURM_ARRAY_TASK_ID=2 bash slurm/script1 >worker2.log 2>&1) || worker_status=$?
((worker_status != 0)) || fail "a worker that wrote no partial file ended with status 0"
grep -q "wrote no res 50%_partial2.txt" "$work/quiet/worker2.log" || fail "the silent worker's failure is not explained"
failing_status=0
make_fake_dyadmill "$work/failing-dyadmill" "$dyadmill" 1 3
submit failing --dyadmill "$work/failing-dyadmill" -- "${options[@]}" -n 2
(cd "$work/failing" && SLURM_ARRAY_TASK_ID=1 bash slurm/script1 >worker1.log 2>&1) || failing_status=$?
((failing_status == 3)) || fail "a failing worker's job ended with $failing_status, not dyadmill's 3"
echo "ok - a worker job fails when dyadmill fails or writes no partial file"

# --- --resume submits only the tasks whose partial files do not pass ---
# The directory of the three-worker run holds complete partial files: damage
# one and remove another, and only those two go out again.
mkdir -p "$work/resume"
cp "$dir/$out""_partial"[123].txt "$work/resume/"
rm -- "$work/resume/$out""_partial2.txt"
sed -i '$d' "$work/resume/$out""_partial3.txt" # the pair-count line: a killed worker
submit resume --dyadmill "$dyadmill" --resume --max-running 1 -- "${options[@]}" -n 3
((status == 0)) || fail "--resume: the launcher exited $status: $(cat "$work/resume/launcher.err")"
has_arg "$work/resume/slurm/args1" "--array=2,3%1"
has_arg "$work/resume/slurm/args2" "--dependency=afterok:1001"
grep -q "resuming: 1 of 3 workers have complete partial files; rerunning: 2 3" "$work/resume/launcher.err" ||
  fail "--resume: the workers to rerun are not reported: $(cat "$work/resume/launcher.err")"
for k in 2 3; do
  (cd "$work/resume" && SLURM_ARRAY_TASK_ID=$k bash slurm/script1 >"worker$k.log") || fail "resumed task $k failed"
done
(cd "$work/resume" && bash slurm/script2 >assembly.log) || fail "the resumed assembly failed"
same_outputs "$work/single" "$work/resume" "--resume"
# Everything complete now: only the assembly, without a dependency.
submit resume --dyadmill "$dyadmill" --resume --parsable -- "${options[@]}" -n 3
[[ $(cat "$work/resume/launcher.out") == 1003 ]] || fail "--resume, all complete: $(cat "$work/resume/launcher.out")"
! grep -q -- '^--dependency' "$work/resume/slurm/args3" || fail "--resume, all complete: the assembly waits on nothing"
echo "ok - --resume submits only the missing or damaged tasks, or only the assembly"

# --- one process: no assembly ---
submit one --dyadmill "$dyadmill" --parsable -- "${options[@]}" -n 1
((status == 0)) || fail "-n 1: the launcher exited $status"
[[ $(calls one) == 1 && $(cat "$work/one/launcher.out") == 1001 ]] ||
  fail "-n 1: expected one job and its id alone, got $(calls one) and $(cat "$work/one/launcher.out")"
(cd "$work/one" && SLURM_ARRAY_TASK_ID=1 bash slurm/script1 >/dev/null) || fail "-n 1: the job script failed"
[[ -f "$work/one/$out.txt" ]] || fail "-n 1: the job wrote no results"
echo "ok - -n 1 submits one job that writes the results"

# --- --parsable prints the two ids ---
submit parsable --dyadmill "$dyadmill" --parsable -- "${options[@]}" -n 3
[[ $(cat "$work/parsable/launcher.out") == "1001 1002" ]] ||
  fail "--parsable printed: $(cat "$work/parsable/launcher.out")"
echo "ok - --parsable prints the array's and the assembly's job ids"

# --- CPUs per task: the array asks for them and its workers use them ---
# The --threads values on the dyadmill command line of a recorded job script.
script_threads() { { grep -o -- '--threads [^ ]*' "$1" || true; } | cut -d' ' -f2 | tr '\n' ' '; }
no_cpus_arg() { ! grep -q -- '^--cpus-per-task\|^-c' "$1" || fail "$(basename "$1") asks for CPUs per task"; }

# Without the option nothing is added: the workers follow the CPUs SLURM
# grants them.
no_cpus_arg "$dir/slurm/args1"
[[ -z $(script_threads "$dir/slurm/script1") ]] || fail "without --cpus-per-task the workers got --threads"

submit cpus --dyadmill "$dyadmill" --cpus-per-task 3 --partition=short -- "${options[@]}" -n 2
((status == 0)) || fail "--cpus-per-task: the launcher exited $status: $(cat "$work/cpus/launcher.err")"
has_arg "$work/cpus/slurm/args1" --cpus-per-task=3
has_arg "$work/cpus/slurm/args1" --partition=short
no_cpus_arg "$work/cpus/slurm/args2"
[[ $(script_threads "$work/cpus/slurm/script1") == "3 " ]] ||
  fail "--cpus-per-task 3: the workers run with --threads '$(script_threads "$work/cpus/slurm/script1")'"
[[ -z $(script_threads "$work/cpus/slurm/script2") ]] || fail "--cpus-per-task: the assembly got --threads"
for k in 1 2; do
  (cd "$work/cpus" && SLURM_ARRAY_TASK_ID=$k bash slurm/script1 >"worker$k.log") || fail "--cpus-per-task: task $k failed"
done
(cd "$work/cpus" && bash slurm/script2 >assembly.log) || fail "--cpus-per-task: the assembly failed"
same_outputs "$work/single" "$work/cpus" "--cpus-per-task"
echo "ok - --cpus-per-task reaches the array alone, and its workers run with as many threads"

# cpus_case NAME CPUS_REQUESTED WORKER_THREADS ASSEMBLY_THREADS N LAUNCHER-ARGS...
cpus_case() {
  local name=$1 want_cpus=$2 want_worker=$3 want_assembly=$4 n=$5 got
  shift 5
  submit "$name" --dyadmill "$dyadmill" "$@" -n "$n"
  ((status == 0)) || fail "$name: the launcher exited $status: $(cat "$work/$name/launcher.err")"
  has_arg "$work/$name/slurm/args1" "--cpus-per-task=$want_cpus"
  [[ $(grep -c -- '^--cpus-per-task\|^-c' "$work/$name/slurm/args1") == 1 ]] ||
    fail "$name: sbatch got more than one CPUs-per-task option: $(tr '\n' ' ' <"$work/$name/slurm/args1")"
  got=$(script_threads "$work/$name/slurm/script1")
  [[ $got == "$want_worker" ]] || fail "$name: the workers run with --threads '$got', not '$want_worker'"
  if ((n > 1)); then
    no_cpus_arg "$work/$name/slurm/args2"
    got=$(script_threads "$work/$name/slurm/script2")
    [[ $got == "$want_assembly" ]] || fail "$name: the assembly runs with --threads '$got', not '$want_assembly'"
  fi
}
cpus_case cpus-equals 4 "4 " "" 2 --cpus-per-task=4 -- "${options[@]}"
cpus_case cpus-sbatch-long 4 "4 " "" 2 --partition=short --cpus-per-task 4 -- "${options[@]}"
cpus_case cpus-sbatch-equals 4 "4 " "" 2 --partition=short --cpus-per-task=4 -- "${options[@]}"
cpus_case cpus-sbatch-short 4 "4 " "" 2 --mem 1G -c 4 -- "${options[@]}"
cpus_case cpus-sbatch-joined 4 "4 " "" 2 -c4 -- "${options[@]}"
cpus_case cpus-leading-zero 8 "8 " "" 2 --cpus-per-task 08 -- "${options[@]}"
cpus_case cpus-many 2000 "1024 " "" 2 --cpus-per-task 2000 -- "${options[@]}"
cpus_case cpus-single 3 "3 " "" 1 --cpus-per-task 3 -- "${options[@]}"
echo "ok - CPUs per task given as a launcher or an sbatch option, in any spelling, reach the array alone"
cpus_case cpus-user-threads 4 "2 " "2 " 2 --cpus-per-task 4 -- "${options[@]}" --threads 2
echo "ok - a --threads among the dyadmill options is passed unchanged and none is added"

# --- the assembly cannot be submitted: the workers are cancelled ---
FAKE_SBATCH_FAIL_AT=2 submit no-assembly --dyadmill "$dyadmill" -- "${options[@]}" -n 3
((status != 0)) || fail "a failed assembly submission went unreported"
[[ $(cat "$work/no-assembly/slurm/scancel" 2>/dev/null) == 1001 ]] ||
  fail "the workers were not cancelled after the assembly could not be submitted"
echo "ok - when the assembly cannot be submitted the workers are cancelled"

# --- refusals: nothing is submitted ---
refused() {
  local name=$1 message=$2
  shift 2
  submit "$name" --dyadmill "$dyadmill" "$@"
  ((status == 2)) || fail "$name: the launcher exited $status, not 2"
  grep -q -- "$message" "$work/$name/launcher.err" || fail "$name: no explanation: $(cat "$work/$name/launcher.err")"
  [[ $(calls "$name") == 0 ]] || fail "$name: sbatch was called"
}
refused refuse-p "do not give -p" -- "${options[@]}" -n 3 -p 2
refused refuse-no-n "-n .* is required" -- "${options[@]}"
refused refuse-array "sets the array" --array=1-5 -- "${options[@]}" -n 3
refused refuse-dependency "sets the array and the dependency" --dependency=afterok:7 -- "${options[@]}" -n 3
refused refuse-no-separator "separate the dyadmill options" "${options[@]}" -n 3
echo "ok - -p, --array and --dependency are refused, -n and the -- separator required"

for bad in 0 abc -2 1.5 '' 1234567; do
  refused "refuse-cpus-$bad" "--cpus-per-task must be a positive integer, not '$bad'" \
    --cpus-per-task "$bad" -- "${options[@]}" -n 3
done
refused refuse-cpus-short "--cpus-per-task must be a positive integer, not '0'" -c 0 -- "${options[@]}" -n 3
refused refuse-cpus-missing "--cpus-per-task needs a value" --cpus-per-task
echo "ok - a --cpus-per-task that is not a positive integer is refused"
