#!/usr/bin/env bash
# What a genome-wide permutation (--fwer) costs, in first scans: each row
# runs the same scan three times on one data set, in one invocation of this
# script, and prints the CPU time of each run and the ratios. See
# bench/README.md.
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
permutations=10
blocks=10
default_rows="epi-lik,epi-score,assoc-lik,assoc-score"
rows="$default_rows"

usage() {
  cat <<EOF
Usage: bench/run_fwer_cost.sh [options]

Runs 'dyadmill -n 1 -p 1 --nomissing --maxT -b B' per row on one generated
binary fileset (no missing genotypes, 3 planted pairs) three times:
  scan   --permutations 0                 (the first scan alone)
  perm   --permutations P -r 7            (first scan + P kept-pair rescans)
  fwer   --permutations P -r 7 --fwer     (the same + P genome-wide passes)
and prints their CPU time (user + system) and, per permutation:
  perm/scan  = (fwer - scan) / P / scan   what one permutation costs in first scans
  pass/scan  = (fwer - perm) / P / scan   the genome-wide pass alone
All three runs use the same -b, so the first scan is the same in each.

  --bin PATH          dyadmill binary (default $repo_root/build/src/dyadmill)
  --gen PATH          generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR          cache of data files and scratch space
                      (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --snps S            SNPs (default $snps)
  --subjects N        subjects (default $subjects)
  --permutations P    permutations (default $permutations)
  --blocks B          data blocks, -b (default $blocks)
  --rows LIST         comma-separated rows (default: $default_rows)
  -h, --help          this text

Rows (thresholds keep few pairs, so the kept-pair rescans cost little):
  epi-lik      --epistasis --likelihood -t 40
  epi-score    --epistasis --score -t 40
  assoc-lik    --association --likelihood -t 60
  assoc-score  --association --score -t 60
EOF
}

while (($#)); do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --gen) gen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --snps) snps=$2; shift 2 ;;
    --subjects) subjects=$2; shift 2 ;;
    --permutations) permutations=$2; shift 2 ;;
    --blocks) blocks=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

check_programs
((permutations >= 2)) || die "--permutations must be at least 2"

# A binary fileset, so that reading the input costs little next to the scan.
data=$(generated_fileset fwer "$snps" "$subjects")

row_flags() {
  case "$1" in
    epi-lik) flags=(--epistasis --likelihood -t 40) ;;
    epi-score) flags=(--epistasis --score -t 40) ;;
    assoc-lik) flags=(--association --likelihood -t 60) ;;
    assoc-score) flags=(--association --score -t 60) ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
}

# CPU seconds (user + system) of one run, from the shell's account of its
# finished children.
run_cpu() {
  local dir
  dir=$(mktemp -d "$work/scratch.XXXXXX")
  (cd "$dir" && bash -c '"$@" >console.txt 2>&1 || exit 1; times >cpu' _ \
    "$bin" -n 1 -p 1 -i "$data.bed" -o res -b "$blocks" --nomissing --maxT "$@") ||
    die "run failed: $* (console in $dir/console.txt)"
  run_cpu_s=$(tail -n 1 "$dir/cpu" | awk '{ t = 0; for (f = 1; f <= 2; f++) { split($f, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%.3f", t }')
  rm -rf "$dir"
}

IFS=, read -r -a row_list <<<"$rows"
for row in "${row_list[@]}"; do row_flags "$row"; done

echo "dyadmill genome-wide permutation cost  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
echo "data:    $snps SNPs x $subjects subjects, -b $blocks, $permutations permutations"
machine_line
echo
row_format='%-12s %9s %9s %9s %10s %10s\n'
# shellcheck disable=SC2059
printf "$row_format" row scan_s perm_s fwer_s perm/scan pass/scan
for row in "${row_list[@]}"; do
  row_flags "$row"
  run_cpu "${flags[@]}"
  scan_s=$run_cpu_s
  run_cpu "${flags[@]}" --permutations "$permutations" -r 7
  perm_s=$run_cpu_s
  run_cpu "${flags[@]}" --permutations "$permutations" -r 7 --fwer
  fwer_s=$run_cpu_s
  ratios=$(awk -v s="$scan_s" -v p="$perm_s" -v f="$fwer_s" -v P="$permutations" \
    'BEGIN { printf "%.2f %.2f", (f - s) / P / s, (f - p) / P / s }')
  # shellcheck disable=SC2059,SC2086
  printf "$row_format" "$row" "$scan_s" "$perm_s" "$fwer_s" $ratios
done
