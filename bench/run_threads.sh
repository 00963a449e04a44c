#!/usr/bin/env bash
# What worker threads buy: each row runs the same scan with --threads 1 and
# with --threads T, alternating, in one invocation of this script, and prints
# the wall times and their ratio. Each row also times one thread pinned to
# each CPU, because the CPUs of a shared machine need not be equally fast:
# the ratio T threads can reach is bounded by their CPUs' speeds together.
# See bench/README.md.
set -euo pipefail
shopt -s inherit_errexit

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)
# shellcheck source=bench/common.sh
source "$script_dir/common.sh"

bin="$repo_root/build/src/dyadmill"
gen="$repo_root/build/tools/dyadmill-generate"
work="${TMPDIR:-/tmp}/dyadmill-bench"
snps=10000
subjects=2000
threads=2
repeats=7
default_rows="scan,perm,fwer"
rows="$default_rows"

usage() {
  cat <<EOF
Usage: bench/run_threads.sh [options]

Runs 'dyadmill -n 1 -p 1 --epistasis --likelihood --nomissing --maxT -t 40'
per row on one generated binary fileset (no missing genotypes, 3 planted
pairs), REPEATS times with --threads 1 and --threads T in turn, and prints
the best wall time of each and speedup = wall(1) / wall(T). Rows:
  scan   the first scan alone
  perm   --permutations 99 -r 7
  fwer   --fwer --permutations 20 -r 7
Each row also times one thread pinned to each CPU with taskset (when
taskset is there): the CPUs of a shared machine need not be equally fast, so
'ceiling' is the speedup T threads keeping the T fastest CPUs busy at their
own speeds would reach over the fastest CPU alone (its time x the sum of
1 / time over those CPUs), and 'of_ceiling' is speedup / ceiling.

  --bin PATH          dyadmill binary (default $repo_root/build/src/dyadmill)
  --gen PATH          generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR          cache of data files and scratch space
                      (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --snps S            SNPs (default $snps)
  --subjects N        subjects (default $subjects)
  --threads T         threads of the parallel runs (default $threads)
  --repeats R         runs per row and thread count (default $repeats)
  --rows LIST         comma-separated rows (default: $default_rows)
  -h, --help          this text
EOF
}

while (($#)); do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --gen) gen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --snps) snps=$2; shift 2 ;;
    --subjects) subjects=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

check_programs
if ! [[ $threads =~ ^[0-9]+$ ]] || ((threads < 2)); then die "--threads must be at least 2"; fi
if ! [[ $repeats =~ ^[0-9]+$ ]] || ((repeats < 1)); then die "--repeats must be at least 1"; fi

data=$(generated_fileset threads "$snps" "$subjects")

row_flags() {
  case "$1" in
    scan) flags=() ;;
    perm) flags=(--permutations 99 -r 7) ;;
    fwer) flags=(--fwer --permutations 20 -r 7) ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
}

# Wall seconds of one run, with `prefix` (e.g. taskset -c 1) in front.
run_wall() {
  local dir start end
  dir=$(mktemp -d "$work/scratch.XXXXXX")
  start=$(date +%s.%N)
  (cd "$dir" && "${prefix[@]}" "$bin" -n 1 -p 1 -i "$data.bed" -o res --epistasis --likelihood --nomissing \
    --maxT -t 40 "$@" >console.txt 2>&1) || die "run failed: $* (console in $dir/console.txt)"
  end=$(date +%s.%N)
  run_wall_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  rm -rf "$dir"
}


IFS=, read -r -a row_list <<<"$rows"
for row in "${row_list[@]}"; do row_flags "$row"; done

# The CPUs this script may use, one per line (from its affinity list).
cpus=""
if command -v taskset >/dev/null; then
  cpus=$(taskset -pc $$ | sed 's/.*: //' | tr ',' '\n' | awk -F- '{ e = NF > 1 ? $2 : $1; for (c = $1; c <= e; c++) print c }')
fi

echo "dyadmill worker threads  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
echo "data:    $snps SNPs x $subjects subjects, --threads 1 against --threads $threads, best of $repeats"
machine_line
echo
row_format='%-6s %9s %9s %8s %8s %11s\n'
# shellcheck disable=SC2059
printf "$row_format" row one_s many_s speedup ceiling of_ceiling
pinned_lines=()
for row in "${row_list[@]}"; do
  row_flags "$row"
  one=""
  many=""
  prefix=()
  for ((r = 0; r < repeats; r++)); do
    run_wall "${flags[@]}" --threads 1
    one=$(smaller "$one" "$run_wall_s")
    run_wall "${flags[@]}" --threads "$threads"
    many=$(smaller "$many" "$run_wall_s")
  done
  speedup=$(awk -v a="$one" -v b="$many" 'BEGIN { printf "%.2f", a / b }')
  # The row's own ceiling: one thread pinned to each CPU in turn. T threads
  # that kept T CPUs busy at their own speeds would reach, over the fastest
  # CPU alone, its time x the sum of 1 / time over the T fastest CPUs, and
  # no more.
  ceiling="-"
  share="-"
  if [[ -n $cpus ]]; then
    times=()
    for cpu in $cpus; do
      prefix=(taskset -c "$cpu")
      pinned=""
      for ((r = 0; r < repeats; r++)); do
        run_wall "${flags[@]}" --threads 1
        pinned=$(smaller "$pinned" "$run_wall_s")
      done
      pinned_lines+=("row $row, one thread on CPU $cpu: $pinned s")
      times+=("$pinned")
    done
    ceiling=$(printf '%s\n' "${times[@]}" | sort -g | awk -v t="$threads" \
      'NR == 1 { best = $1 } NR <= t { rate += 1 / $1 } END { printf "%.2f", best * rate }')
    share=$(awk -v s="$speedup" -v c="$ceiling" 'BEGIN { printf "%.2f", s / c }')
  fi
  # shellcheck disable=SC2059
  printf "$row_format" "$row" "$one" "$many" "$speedup" "$ceiling" "$share"
done

if ((${#pinned_lines[@]})); then
  echo
  printf '%s\n' "${pinned_lines[@]}"
fi
