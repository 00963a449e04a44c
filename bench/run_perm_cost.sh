#!/usr/bin/env bash
# What permutations cost, in first scans: every row runs the same command
# once without permutations and once with them, and prints the CPU time of
# both whole runs and their ratio. See bench/README.md.
set -euo pipefail
shopt -s inherit_errexit

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)
# shellcheck source=bench/common.sh
source "$script_dir/common.sh"

bin="$repo_root/build/src/dyadmill"
gen="$repo_root/build/tools/dyadmill-generate"
work="${TMPDIR:-/tmp}/dyadmill-bench"
permutations=""
seed=1
default_rows="maxT-3000,minP-1000,maxT-10000,dense-maxT,dense-minP,assoc-1000"
rows="$default_rows"

usage() {
  cat <<EOF
Usage: bench/run_perm_cost.sh [options]

Runs 'dyadmill -n 1 -p 1' per row without and with permutations on generated
data (2000 subjects, no missing genotypes) and prints the CPU time (user +
system) of both runs and their ratio.

  --bin PATH          dyadmill binary (default $repo_root/build/src/dyadmill)
  --gen PATH          generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR          cache of data files and scratch space
                      (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --permutations P    permutations of every row instead of the row's own count
  --rows LIST         comma-separated rows (default: all of the list below)
  -h, --help          this text

Rows (all --epistasis --likelihood --nomissing unless said otherwise):
  maxT-3000   3000 SNPs, --maxT -t 30, 99 permutations
  minP-1000   1000 SNPs, --minP -t 1e-4, 99 permutations
  maxT-10000  10000 SNPs, --maxT -t 30, 999 permutations
  dense-maxT  300 SNPs, --maxT -t 3 (more than half of the pairs kept), 99 permutations
  dense-minP  300 SNPs, --minP -t 0.5 (about half of the pairs kept), 99 permutations
  assoc-1000  1000 SNPs, --association --likelihood --maxT -t 40, 99 permutations
EOF
}

while (($#)); do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --gen) gen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --permutations) permutations=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

check_programs
/usr/bin/time -f %M -o /dev/null true 2>/dev/null || die "GNU time (/usr/bin/time) is needed for peak memory"

data_file() {  # snps
  local file="$work/data/geno_S$1_N2000_seed${seed}_planted3_miss0.txt"
  if [[ ! -s $file || $gen -nt $file ]]; then
    "$gen" --snps "$1" --subjects 2000 --seed "$seed" --planted 3 -q -o "$file.tmp"
    mv "$file.tmp" "$file"
  fi
  echo "$file"
}

# Sets snps, perms and flags for a row.
parse_row() {
  local lik=(--epistasis --likelihood --nomissing)
  case "$1" in
    maxT-3000) snps=3000 perms=99 flags=("${lik[@]}" --maxT -t 30) ;;
    minP-1000) snps=1000 perms=99 flags=("${lik[@]}" --minP -t 1e-4) ;;
    maxT-10000) snps=10000 perms=999 flags=("${lik[@]}" --maxT -t 30) ;;
    dense-maxT) snps=300 perms=99 flags=("${lik[@]}" --maxT -t 3) ;;
    dense-minP) snps=300 perms=99 flags=("${lik[@]}" --minP -t 0.5) ;;
    assoc-1000) snps=1000 perms=99 flags=(--association --likelihood --nomissing --maxT -t 40) ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
  [[ -z $permutations ]] || perms=$permutations
}

# CPU seconds (user + system) of one run, from the shell's account of its
# finished children (GNU time rounds to hundredths, too coarse for a first
# scan of a tenth of a second), and its peak memory; kept pairs in run_kept.
run_cpu() {  # data flags...
  local data=$1 dir
  shift
  dir=$(mktemp -d "$work/scratch.XXXXXX")
  (cd "$dir" && bash -c '/usr/bin/time -f %M -o peak "$@" >console.txt 2>&1 || exit 1; times >cpu' _ \
    "$bin" -n 1 -p 1 -i "$data" -o res "$@") || die "run failed: $* (console in $dir/console.txt)"
  run_kept=$(($(wc -l <"$dir/res.txt") - 1))
  # The second line of `times`: children's user and system time, as 0m0.123s.
  run_cpu_s=$(tail -n 1 "$dir/cpu" | awk '{ t = 0; for (f = 1; f <= 2; f++) { split($f, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%.3f", t }')
  run_peak_mb=$(awk '{ printf "%.0f", $1 / 1024 }' "$dir/peak")
  rm -rf "$dir"
}

IFS=, read -r -a row_list <<<"$rows"
for row in "${row_list[@]}"; do parse_row "$row"; done

echo "dyadmill permutation cost  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
machine_line
echo
row_format='%-11s %6s %6s %6s %10s %10s %9s %8s %8s\n'
# shellcheck disable=SC2059
printf "$row_format" row SNPs perms kept cpu_scan_s cpu_perm_s ratio MB_scan MB_perm
for row in "${row_list[@]}"; do
  parse_row "$row"
  data=$(data_file "$snps")
  run_cpu "$data" "${flags[@]}"
  scan_s=$run_cpu_s scan_mb=$run_peak_mb
  run_cpu "$data" "${flags[@]}" --permutations "$perms" -r 7
  ratio=$(awk -v a="$run_cpu_s" -v b="$scan_s" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')
  # shellcheck disable=SC2059
  printf "$row_format" "$row" "$snps" "$perms" "$run_kept" "$scan_s" "$run_cpu_s" "${ratio}x" "$scan_mb" "$run_peak_mb"
done
echo
echo "ratio = CPU time with the permutations / CPU time of the same run without them."
