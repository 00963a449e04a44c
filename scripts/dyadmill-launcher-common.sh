# Shared by dyadmill-local and dyadmill-slurm: sourced, not run.
# shellcheck shell=bash
# shellcheck disable=SC2154 # prog, launcher_dir and dyadmill_bin are set by the launcher
#
# Expects $prog (the launcher's name), $launcher_dir (the folder of the
# launcher itself) and $dyadmill_bin (the --dyadmill value, possibly empty).
# Provides: die_usage, read_dyadmill_options (sets args, nproc_count,
# out_name and threads_given), locate_dyadmill (sets bin), partial_file,
# partial_passes and worker_thread_count.

die_usage() {
  printf '%s: %s\n' "$prog" "$1" >&2
  printf "Try '%s --help'.\n" "$prog" >&2
  exit 2
}

# Walks the dyadmill options the way dyadmill reads them (options that take
# a value consume the next argument whatever it looks like), so that a value
# such as "-o -p" is not mistaken for an option. The last occurrence wins, as
# in dyadmill.
read_dyadmill_options() {
  args=("$@")
  local n_value='' have_n=0 have_o=0 k=0
  out_name=
  threads_given=0
  while ((k < ${#args[@]})); do
    case ${args[k]} in
      -p) die_usage "do not give -p: the launcher numbers the processes itself (1..N, then 0)" ;;
      -n)
        have_n=1
        n_value=${args[k + 1]-}
        k=$((k + 2))
        ;;
      -o)
        have_o=1
        out_name=${args[k + 1]-}
        k=$((k + 2))
        ;;
      --threads)
        # shellcheck disable=SC2034 # read by the launchers
        threads_given=1
        k=$((k + 2))
        ;;
      -i | -r | -b | -t | -m | --permutations | --check-partial) k=$((k + 2)) ;;
      *) k=$((k + 1)) ;;
    esac
  done
  ((have_n)) || die_usage "-n (the number of worker processes) is required"
  if ! [[ $n_value =~ ^[0-9]+$ ]] || ((10#$n_value < 1 || 10#$n_value > 65535)); then
    die_usage "-n must be a whole number from 1 to 65535, not '$n_value'"
  fi
  nproc_count=$((10#$n_value))
  if ((!have_o)) || [[ -z $out_name ]]; then
    die_usage "-o (the output name) is required"
  fi
  local out_dir
  out_dir=$(dirname -- "$out_name")
  [[ -d $out_dir ]] || die_usage "the directory of the output name, $out_dir, does not exist"
}

# The program: --dyadmill PATH, the DYADMILL environment variable, a dyadmill
# next to the launcher, the build tree of the launcher's source checkout,
# then PATH.
locate_dyadmill() {
  local candidate
  bin=
  if [[ -n $dyadmill_bin ]]; then
    bin=$dyadmill_bin
  elif [[ -n ${DYADMILL:-} ]]; then
    bin=$DYADMILL
  else
    for candidate in "$launcher_dir/dyadmill" "$launcher_dir/../build/src/dyadmill"; do
      if [[ -f $candidate && -x $candidate ]]; then
        bin=$candidate
        break
      fi
    done
    [[ -n $bin ]] || bin=$(command -v dyadmill || true)
  fi
  [[ -n $bin ]] || die_usage "cannot find dyadmill; give --dyadmill PATH or set DYADMILL"
  [[ -f $bin && -x $bin ]] || die_usage "'$bin' is not an executable program"
  bin=$(readlink -f -- "$bin")
}

# The --threads value for a worker given CPUS processing units, brought into
# the 1..1024 that dyadmill accepts.
worker_thread_count() {
  local cpus=$1
  ((cpus >= 1)) || cpus=1
  ((cpus <= 1024)) || cpus=1024
  printf '%d' "$cpus"
}

partial_file() { printf '%s_partial%d.txt' "$out_name" "$1"; }

# True when worker K's partial file exists and dyadmill itself finds it
# complete and made with these options from this genotype file (it reads
# only the file's header for that, and writes nothing).
partial_passes() {
  [[ -f $(partial_file "$1") ]] || return 1
  "$bin" -p 0 --check-partial "$1" "${args[@]}" </dev/null >/dev/null 2>&1
}

# Fills `rerun` with the workers whose partial files are missing or fail
# the check.
workers_to_rerun() {
  local k
  rerun=()
  for ((k = 1; k <= nproc_count; k++)); do
    partial_passes "$k" || rerun+=("$k")
  done
}

resume_summary() {
  printf '%s: resuming: %d of %d workers have complete partial files; rerunning: %s\n' "$prog" \
    $((nproc_count - ${#rerun[@]})) "$nproc_count" "${rerun[*]:-none}"
}
