#!/usr/bin/env bash
# What a set-by-set scan costs against the scan of every pair: one run of
# each on the same generated fileset, in one invocation, and the ratio of
# their wall times beside the ratio of the pairs they test. See
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
snps=100000
subjects=1000
set_size=1000
threads=0

usage() {
  cat <<EOF
Usage: bench/run_sets.sh [options]

Runs 'dyadmill -n 1 -p 1 --epistasis --likelihood --nomissing --maxT -t 40'
on one generated binary fileset (no missing genotypes) twice: over every
pair, and with --set1 naming SET SNPs spread evenly over the file (every
SNPS / SET-th SNP: the candidates are scattered, the harder case for the
layout). Prints both wall times, their ratio and the ratio of the pairs
tested.

  --bin PATH          dyadmill binary (default $repo_root/build/src/dyadmill)
  --gen PATH          generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR          cache of data files and scratch space
                      (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --snps S            SNPs (default $snps)
  --subjects N        subjects (default $subjects)
  --set SET           SNPs in the first set (default $set_size)
  --threads T         threads of both runs (default: the CPUs this process may use)
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
    --set) set_size=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

check_programs
if ! [[ $set_size =~ ^[0-9]+$ ]] || ((set_size < 1 || set_size >= snps)); then
  die "--set must be between 1 and the number of SNPs"
fi

data=$(generated_fileset sets "$snps" "$subjects")
set_file=$work/data/sets_S${snps}_every$((snps / set_size)).txt
awk -v step=$((snps / set_size)) -v size="$set_size" 'NR % step == 1 && n < size { print $2; n++ }' \
  "$data.bim" >"$set_file"

thread_flags=()
((threads > 0)) && thread_flags=(--threads "$threads")

# Wall seconds of one run, and the pairs it reports tested.
run_wall() {
  local dir start end
  dir=$(mktemp -d "$work/scratch.XXXXXX")
  start=$(date +%s.%N)
  (cd "$dir" && "$bin" -n 1 -p 1 -i "$data.bed" -o res --epistasis --likelihood --nomissing --maxT -t 40 \
    "${thread_flags[@]}" "$@" >console.txt 2>&1) || die "run failed: $* (console in $dir/console.txt)"
  end=$(date +%s.%N)
  run_wall_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  rm -rf "$dir"
}

echo "dyadmill set-by-set scan  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
echo "data:    $snps SNPs x $subjects subjects; --set1 of $(wc -l <"$set_file") SNPs, one every $((snps / set_size))"
machine_line
echo
run_wall --set1 "$set_file"
set_s=$run_wall_s
run_wall
full_s=$run_wall_s
set_pairs=$(awk -v s="$set_size" -v n="$snps" 'BEGIN { printf "%.0f", s * (n - s) + s * (s - 1) / 2 }')
all_pairs=$(awk -v n="$snps" 'BEGIN { printf "%.0f", n * (n - 1) / 2 }')
printf '%-8s %10s %14s\n' run wall_s pairs
printf '%-8s %10s %14s\n' full "$full_s" "$all_pairs" set "$set_s" "$set_pairs"
echo "time ratio set / full:  $(awk -v a="$set_s" -v b="$full_s" 'BEGIN { printf "%.4f", a / b }')"
echo "pairs ratio set / full: $(awk -v a="$set_pairs" -v b="$all_pairs" 'BEGIN { printf "%.4f", a / b }')"
