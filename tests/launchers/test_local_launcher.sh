#!/usr/bin/env bash
# Checks dyadmill-local: a run of several workers plus the assembly gives the
# single-process results byte for byte, the -j limit holds, the workers split
# the processing units between them through --threads, failures stop the run
# before the assembly and are reported by worker and log, and an interrupted
# launcher leaves no worker behind.
#
# Usage: test_local_launcher.sh DYADMILL_BINARY SOURCE_DIR
set -euo pipefail

(($# == 2)) || {
  echo "usage: $0 DYADMILL_BINARY SOURCE_DIR" >&2
  exit 2
}
dyadmill=$(readlink -f -- "$1")
launcher=$(readlink -f -- "$2")/scripts/dyadmill-local
here=$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")
# shellcheck source=tests/launchers/launcher_test_lib.sh
source "$here/launcher_test_lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/dyadmill-local-test.XXXXXX")
hung=
cleanup() {
  # A test that fails half-way must not leave its stand-in worker behind.
  if [[ -n $hung ]]; then kill -KILL "$hung" 2>/dev/null || true; fi
  rm -rf -- "$work"
}
trap cleanup EXIT

make_genotypes "$work/complete.txt" 30 200
make_genotypes "$work/gaps.txt" 30 200 53

# Runs the launcher in a fresh directory NAME under the work directory with
# the given arguments; its exit status goes to $status, its output to
# NAME/launcher.out and NAME/launcher.err.
status=0
launch() {
  local dir=$work/$1
  shift
  mkdir -p "$dir"
  status=0
  (cd "$dir" && "$launcher" "$@" >launcher.out 2>launcher.err) || status=$?
}

# Runs dyadmill as one process in a fresh directory NAME.
single() {
  local dir=$work/$1
  shift
  mkdir -p "$dir"
  (cd "$dir" && "$dyadmill" "$@" -n 1 -p 1 >run.log) || fail "single-process run $1 failed"
  (($(wc -l <"$dir/res.txt") > 1)) || fail "single-process run $1 kept no pair; the comparison would prove nothing"
}

# Largest number of processes in the trace of a stand-in that were running at
# the same time.
max_overlap() {
  awk '$1 == "start" { n++; if (n > m) m = n } $1 == "end" { n-- } END { print m + 0 }' "$1"
}

# --- the same results as a single process, in several modes ---
mode_names=(association-score-maxT epistasis-likelihood-maxT-permutations association-likelihood-minP-missing-permutations)
mode_options=(
  "-i ../complete.txt -o res -b 3 -t 20 --association --score --maxT --nomissing"
  "-i ../complete.txt -o res -b 3 -t 6 --epistasis --likelihood --maxT --nomissing --permutations 9 -r 7"
  "-i ../gaps.txt -o res -b 3 -t 0.01 --association --likelihood --minP --missing --permutations 9 -r 7"
)
for m in "${!mode_names[@]}"; do
  name=${mode_names[m]}
  read -ra options <<<"${mode_options[m]}"
  single "single-$name" "${options[@]}"
  launch "local-$name" --dyadmill "$dyadmill" -j 3 -- "${options[@]}" -n 3
  ((status == 0)) || fail "$name: the launcher exited $status: $(cat "$work/local-$name/launcher.err")"
  same_outputs "$work/single-$name" "$work/local-$name" "$name"
  for k in 1 2 3; do
    grep -q "written in file res_partial$k.txt" "$work/local-$name/res_worker$k.log" ||
      fail "$name: res_worker$k.log is not the log of worker $k"
  done
  grep -q "Partial output file res_partial3.txt" "$work/local-$name/res_assembly.log" ||
    fail "$name: res_assembly.log is not the assembly's log"
  echo "ok - $name: three workers and the assembly give the single-process files"
done
reference=$work/single-${mode_names[1]}
read -ra options <<<"${mode_options[1]}"

# -n 1 is a single process that writes the results itself.
launch n1 --dyadmill "$dyadmill" -- "${options[@]}" -n 1
((status == 0)) || fail "-n 1: the launcher exited $status"
same_outputs "$reference" "$work/n1" "-n 1"
[[ ! -e $work/n1/res_partial1.txt && ! -e $work/n1/res_assembly.log ]] || fail "-n 1 ran an assembly"
echo "ok - -n 1 runs one process that writes the results"

# --- the -j limit, and the assembly only after every worker ---
for jobs in 1 2; do
  dir=$work/jobs$jobs
  mkdir -p "$dir"
  make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" none 0 0.4
  launch "jobs$jobs" --dyadmill "$dir/fake-dyadmill" -j "$jobs" -- "${options[@]}" -n 3
  ((status == 0)) || fail "-j $jobs: the launcher exited $status"
  same_outputs "$reference" "$dir" "-j $jobs"
  workers_trace=$(grep -v '^start 0\|^end 0' "$dir/fake-dyadmill.trace")
  [[ $(max_overlap <(printf '%s\n' "$workers_trace")) == "$jobs" ]] ||
    fail "-j $jobs: workers ran $(max_overlap <(printf '%s\n' "$workers_trace")) at a time"
  [[ $(tail -n 2 "$dir/fake-dyadmill.trace" | cut -d' ' -f1-2 | tr '\n' ' ') == "start 0 end 0 " ]] ||
    fail "-j $jobs: the assembly did not run alone after the workers"
  echo "ok - -j $jobs runs at most $jobs workers at a time, then the assembly"
done

# --- the workers divide the processing units between them ---
# A stand-in nproc reports FAKE_NPROC units, so that the division can be
# checked as for machines of any size; the real dyadmill behind the stand-in
# dyadmill must still accept every --threads it is given.
mkdir -p "$work/nproc-bin"
cat >"$work/nproc-bin/nproc" <<'EOF'
#!/usr/bin/env bash
echo "$FAKE_NPROC"
EOF
chmod +x "$work/nproc-bin/nproc"

# The values that follow --threads in an argument file of the stand-in.
threads_in() { awk 'previous == "--threads" { printf "%s ", $0 } { previous = $0 }' "$1"; }

# check_threads NAME UNITS N WORKER_THREADS ASSEMBLY_THREADS LAUNCHER-ARGS...
# runs N workers given UNITS processing units and checks the --threads
# values that each worker and the assembly got ("" for none).
check_threads() {
  local name=$1 units=$2 n=$3 want_worker=$4 want_assembly=$5 dir=$work/$1 k got
  shift 5
  mkdir -p "$dir"
  make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" none 0
  PATH="$work/nproc-bin:$PATH" FAKE_NPROC=$units launch "$name" --dyadmill "$dir/fake-dyadmill" "$@" -n "$n"
  ((status == 0)) || fail "$name: the launcher exited $status: $(cat "$dir/launcher.err")"
  for ((k = 1; k <= n; k++)); do
    got=$(threads_in "$dir/fake-dyadmill.args$k")
    [[ $got == "$want_worker" ]] || fail "$name: worker $k got --threads '$got', not '$want_worker'"
  done
  if ((n > 1)); then
    got=$(threads_in "$dir/fake-dyadmill.args0")
    [[ $got == "$want_assembly" ]] || fail "$name: the assembly got --threads '$got', not '$want_assembly'"
  fi
  same_outputs "$reference" "$dir" "$name"
}
check_threads threads-floor 8 3 "2 " "" -j 3 -- "${options[@]}"
check_threads threads-fewer-workers 8 2 "4 " "" -j 3 -- "${options[@]}"
check_threads threads-default-jobs 8 3 "2 " "" -- "${options[@]}"
check_threads threads-at-least-one 2 3 "1 " "" -j 3 -- "${options[@]}"
check_threads threads-at-most 5000 2 "1024 " "" -j 1 -- "${options[@]}"
check_threads threads-single 8 1 "8 " "" -- "${options[@]}"
echo "ok - each worker gets --threads units/min(jobs, workers), 1 to 1024, and the assembly none"
check_threads threads-user 8 2 "3 " "3 " -j 2 -- "${options[@]}" --threads 3
echo "ok - a --threads among the dyadmill options is passed unchanged and none is added"

# With --resume only the workers left to run share the units.
dir=$work/threads-floor
rm -f -- "$dir"/fake-dyadmill.args* "$dir/res_partial2.txt" "$dir/res.txt"
PATH="$work/nproc-bin:$PATH" FAKE_NPROC=8 launch threads-floor --dyadmill "$dir/fake-dyadmill" --resume -j 3 -- \
  "${options[@]}" -n 3
((status == 0)) || fail "threads with --resume: the launcher exited $status: $(cat "$dir/launcher.err")"
[[ ! -e $dir/fake-dyadmill.args1 ]] || fail "threads with --resume: a complete worker was rerun"
[[ $(threads_in "$dir/fake-dyadmill.args2") == "8 " ]] ||
  fail "threads with --resume: the one worker left got --threads '$(threads_in "$dir/fake-dyadmill.args2")', not 8"
same_outputs "$reference" "$dir" "threads with --resume"
echo "ok - with --resume the workers left to run share the units"

# The real nproc: the launcher counts the units its affinity mask allows,
# whatever OMP_NUM_THREADS says, and taskset narrows them.
allowed=$(taskset -cp $$ 2>/dev/null | sed 's/.*: *//' || true)
first_cpu=${allowed%%[-,]*}
if [[ $first_cpu =~ ^[0-9]+$ ]] && taskset -c "$first_cpu" true 2>/dev/null; then
  units=$(awk -v list="$allowed" 'BEGIN {
    n = split(list, part, ",")
    for (i = 1; i <= n; i++) {
      if (split(part[i], range, "-") == 2) total += range[2] - range[1] + 1; else total++
    }
    print total }')
  dir=$work/threads-mask
  mkdir -p "$dir"
  make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" none 0
  OMP_NUM_THREADS=1 launch threads-mask --dyadmill "$dir/fake-dyadmill" -j 1 -- "${options[@]}" -n 2
  ((status == 0)) || fail "affinity mask: the launcher exited $status: $(cat "$dir/launcher.err")"
  [[ $(threads_in "$dir/fake-dyadmill.args1") == "$units " ]] ||
    fail "affinity mask: $units units allowed, but worker 1 got --threads '$(threads_in "$dir/fake-dyadmill.args1")'"

  dir=$work/threads-taskset
  mkdir -p "$dir"
  make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" none 0
  status=0
  (cd "$dir" && taskset -c "$first_cpu" "$launcher" --dyadmill "$dir/fake-dyadmill" -- "${options[@]}" -n 2 \
    >launcher.out 2>launcher.err) || status=$?
  ((status == 0)) || fail "taskset: the launcher exited $status: $(cat "$dir/launcher.err")"
  for k in 1 2; do
    [[ $(threads_in "$dir/fake-dyadmill.args$k") == "1 " ]] ||
      fail "taskset -c $first_cpu: worker $k got --threads '$(threads_in "$dir/fake-dyadmill.args$k")', not 1"
  done
  same_outputs "$reference" "$dir" "taskset"
  echo "ok - the units are those of the affinity mask, OMP_NUM_THREADS aside, and taskset narrows them"
else
  echo "ok - # SKIP taskset cannot pin the launcher here"
fi

# --- a failing worker stops the run before the assembly ---
dir=$work/fail-exit
mkdir -p "$dir"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" 2 1
launch fail-exit --dyadmill "$dir/fake-dyadmill" -- "${options[@]}" -n 3
((status == 1)) || fail "failing worker: the launcher exited $status, not the worker's 1"
grep -q "worker 2 failed with exit status 1; see res_worker2.log" "$dir/launcher.err" ||
  fail "failing worker: the launcher does not name worker 2 and its log"
! grep -q "worker [13] failed" "$dir/launcher.err" || fail "failing worker: a good worker is reported as failed"
grep -q "simulated failure of process 2" "$dir/res_worker2.log" || fail "failing worker: its output is not in its log"
[[ ! -e $dir/res.txt && ! -e $dir/res_assembly.log ]] || fail "failing worker: the assembly ran"
! grep -q '^start 0' "$dir/fake-dyadmill.trace" || fail "failing worker: dyadmill -p 0 was started"
echo "ok - a failing worker is named with its log and the assembly is not run"

# A worker that exits 0 without writing its partial file has failed too, even
# when an earlier run left a file of that name behind.
dir=$work/fail-quiet
mkdir -p "$dir"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" 3 0
cp "$work/local-${mode_names[1]}/res_partial3.txt" "$dir/res_partial3.txt"
launch fail-quiet --dyadmill "$dir/fake-dyadmill" -- "${options[@]}" -n 3
((status != 0)) || fail "silent worker: the launcher succeeded"
grep -q "worker 3 exited 0 but wrote no res_partial3.txt; see res_worker3.log" "$dir/launcher.err" ||
  fail "silent worker: the launcher does not name worker 3"
[[ ! -e $dir/res.txt ]] || fail "silent worker: the assembly ran"
echo "ok - a worker that writes no partial file counts as failed, whatever an earlier run left"

# --- the assembly's exit status is the launcher's ---
dir=$work/fail-assembly
mkdir -p "$dir"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" 0 37
launch fail-assembly --dyadmill "$dir/fake-dyadmill" -- "${options[@]}" -n 3
((status == 37)) || fail "failing assembly: the launcher exited $status, not the assembly's 37"
grep -q "see res_assembly.log" "$dir/launcher.err" || fail "failing assembly: its log is not named"
echo "ok - the launcher returns the assembly's exit status"

# --- the launcher's own checks ---
launch refuse-p --dyadmill "$dyadmill" -- "${options[@]}" -n 3 -p 1
((status == 2)) || fail "-p given: the launcher exited $status"
grep -q "do not give -p" "$work/refuse-p/launcher.err" || fail "-p given: no explanation"
[[ -z $(find "$work/refuse-p" -name 'res_*') ]] || fail "-p given: something was run"
launch refuse-no-n --dyadmill "$dyadmill" -- "${options[@]}"
if ((status != 2)) || ! grep -q -- "-n .* is required" "$work/refuse-no-n/launcher.err"; then
  fail "no -n: the launcher exited $status without asking for -n"
fi
# "-p" as the value of an option is not an option: the workers run (and fail
# on the missing input file "-p") instead of the launcher refusing.
launch value-p --dyadmill "$dyadmill" -- "${options[@]}" -n 2 -i -p
if ((status != 255)) || ! grep -q "worker 1 failed" "$work/value-p/launcher.err"; then
  fail "-i -p: the launcher exited $status instead of running the workers"
fi
echo "ok - -p is refused, -n required, and option values are not taken for options"

# --- a killed worker stops the queue; --resume runs only what is missing ---
dir=$work/resume
mkdir -p "$dir"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" 2 hang
(cd "$dir" && exec "$launcher" --dyadmill "$dir/fake-dyadmill" -j 1 -- "${options[@]}" -n 3 \
  >launcher.out 2>launcher.err) &
launcher_pid=$!
for _ in $(seq 300); do
  hung=$(awk '$1 == "start" && $2 == 2 { print $3 }' "$dir/fake-dyadmill.trace" 2>/dev/null || true)
  [[ -n $hung ]] && break
  sleep 0.1
done
[[ -n $hung ]] || fail "resume: worker 2 never started"
kill -KILL "$hung"
hung=
status=0
wait "$launcher_pid" || status=$?
((status == 137)) || fail "resume: the launcher exited $status after worker 2 was killed"
! grep -q '^start 3' "$dir/fake-dyadmill.trace" || fail "resume: worker 3 started after worker 2 failed"
grep -q "workers not started: 3; rerun with --resume" "$dir/launcher.err" ||
  fail "resume: the launcher does not name the workers it held back: $(cat "$dir/launcher.err")"
[[ -f $dir/res_partial1.txt && ! -e $dir/res.txt ]] || fail "resume: unexpected files after the failure"

rm -f -- "$dir/fake-dyadmill.trace"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" none 0
launch resume --dyadmill "$dir/fake-dyadmill" --resume -j 2 -- "${options[@]}" -n 3
((status == 0)) || fail "resume: the resumed run exited $status: $(cat "$dir/launcher.err")"
grep -q "resuming: 1 of 3 workers have complete partial files; rerunning: 2 3" "$dir/launcher.out" ||
  fail "resume: the workers to rerun are not reported: $(cat "$dir/launcher.out")"
[[ $(awk '$1 == "start" && $2 != 0 { print $2 }' "$dir/fake-dyadmill.trace" | sort | tr '\n' ' ') == "2 3 " ]] ||
  fail "resume: the workers run were not exactly 2 and 3"
same_outputs "$reference" "$dir" "resume"

# A partial file cut short (its pair-count line lost) is rerun too, and
# nothing else.
sed -i '$d' "$dir/res_partial1.txt"
rm -f -- "$dir/fake-dyadmill.trace" "$dir/res.txt"
launch resume --dyadmill "$dir/fake-dyadmill" --resume -- "${options[@]}" -n 3
((status == 0)) || fail "resume: the second resumed run exited $status"
[[ $(awk '$1 == "start" && $2 != 0 { print $2 }' "$dir/fake-dyadmill.trace" | tr '\n' ' ') == "1 " ]] ||
  fail "resume: a truncated partial file was not the only one rerun"
same_outputs "$reference" "$dir" "resume after truncation"
echo "ok - a killed worker holds back the queue, and --resume reruns only missing or incomplete workers"

# --- an interrupted launcher stops its workers ---
dir=$work/interrupt
mkdir -p "$dir"
make_fake_dyadmill "$dir/fake-dyadmill" "$dyadmill" 1 hang
(cd "$dir" && exec "$launcher" --dyadmill "$dir/fake-dyadmill" -j 2 -- "${options[@]}" -n 2 \
  >launcher.out 2>launcher.err) &
launcher_pid=$!
for _ in $(seq 100); do
  hung=$(awk '$1 == "start" && $2 == 1 { print $3 }' "$dir/fake-dyadmill.trace" 2>/dev/null || true)
  [[ -n $hung ]] && break
  sleep 0.1
done
[[ -n $hung ]] || fail "interrupt: worker 1 never started"
kill -TERM "$launcher_pid"
status=0
wait "$launcher_pid" || status=$?
((status == 143)) || fail "interrupt: the launcher exited $status"
for _ in $(seq 50); do kill -0 "$hung" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$hung" 2>/dev/null || fail "interrupt: worker 1 was left running"
hung=
[[ ! -e $dir/res.txt ]] || fail "interrupt: the assembly ran"
echo "ok - an interrupted launcher stops its running workers"
