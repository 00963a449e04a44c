#!/usr/bin/env bash
# What the block count costs a scan with permutations: the same run at
# '-b 2', the automatic block count and '-b 50', alternating, in one
# invocation; prints the best wall time and the peak resident memory of
# each, and each as a ratio to the best of the three. See bench/README.md.
set -euo pipefail
shopt -s inherit_errexit

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)
# shellcheck source=bench/common.sh
source "$script_dir/common.sh"

bin="$repo_root/build/src/dyadmill"
gen="$repo_root/build/tools/dyadmill-generate"
compare=""
work="${TMPDIR:-/tmp}/dyadmill-bench"
snps=10000
subjects=2000
permutations=99
threads=0
repeats=3
blocks_list="2,auto,50"

usage() {
  cat <<EOF
Usage: bench/run_blocks.sh [options]

Runs 'dyadmill -n 1 -p 1 --epistasis --likelihood --nomissing --maxT -t 40
--permutations P -r 7' on one generated binary fileset (no missing
genotypes, 3 planted pairs) with -b 2, without -b (the automatic count) and
with -b 50 (or the settings --blocks lists), REPEATS times each in turn. Prints per row the shortest wall
time, the largest peak resident memory (GNU time's maximum RSS), and both
as ratios to the best row. Every row must write the same results file.

  --bin PATH          dyadmill binary (default $repo_root/build/src/dyadmill)
  --compare PATH      another binary run the same way in the same rounds
                      (rows marked 'other'), e.g. a build of an earlier commit
  --gen PATH          generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR          cache of data files and scratch space
                      (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --snps S            SNPs (default $snps)
  --subjects N        subjects (default $subjects)
  --permutations P    permutations (default $permutations)
  --threads T         threads of every run (default: the CPUs this process may use)
  --repeats R         runs per row (default $repeats)
  --blocks LIST       comma-separated block settings, each a count or 'auto'
                      (default $blocks_list)
  -h, --help          this text
EOF
}

while (($#)); do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --compare) compare=$2; shift 2 ;;
    --gen) gen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --snps) snps=$2; shift 2 ;;
    --subjects) subjects=$2; shift 2 ;;
    --permutations) permutations=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --blocks) blocks_list=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

check_programs
if [[ -n $compare ]]; then
  compare=$(absolute "$compare")
  [[ -x $compare ]] || die "no binary at $compare"
fi
[[ -x /usr/bin/time ]] || die "GNU time is needed for the peak memory (apt-get install time)"
if ! [[ $repeats =~ ^[0-9]+$ ]] || ((repeats < 1)); then die "--repeats must be at least 1"; fi

data=$(generated_fileset blocks "$snps" "$subjects")

thread_flags=()
((threads > 0)) && thread_flags=(--threads "$threads")

# One run of binary $1 with block setting $2 (a count, or "auto"): sets
# run_wall_s, run_rss_mb and run_results (a checksum of the results file).
run_once() {
  local binary=$1 blocks=$2 dir start end
  local block_flags=()
  [[ $blocks == auto ]] || block_flags=(-b "$blocks")
  dir=$(mktemp -d "$work/scratch.XXXXXX")
  start=$(date +%s.%N)
  (cd "$dir" && /usr/bin/time -f '%M' -o rss.txt "$binary" -n 1 -p 1 -i "$data.bed" -o res --epistasis \
    --likelihood --nomissing --maxT -t 40 --permutations "$permutations" -r 7 "${block_flags[@]}" \
    "${thread_flags[@]}" --quiet >console.txt 2>&1) || die "run failed: $binary -b $blocks (console in $dir)"
  end=$(date +%s.%N)
  run_wall_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  run_rss_mb=$(awk '{ printf "%.1f", $1 / 1024 }' "$dir/rss.txt")
  run_results=$(cksum <"$dir/res.txt")
  rm -rf "$dir"
}


IFS=, read -r -a settings <<<"$blocks_list"
for s in "${settings[@]}"; do
  [[ $s == auto || $s =~ ^[0-9]+$ ]] || die "--blocks: '$s' is neither a count nor 'auto'"
done
binaries=("$bin")
[[ -n $compare ]] && binaries+=("$compare")
declare -A wall rss
results=""
for ((r = 0; r < repeats; r++)); do
  for b in "${!binaries[@]}"; do
    for s in "${settings[@]}"; do
      run_once "${binaries[b]}" "$s"
      key="$b/$s"
      wall[$key]=$(smaller "${wall[$key]:-}" "$run_wall_s")
      rss[$key]=$(larger "${rss[$key]:-}" "$run_rss_mb")
      if [[ -z $results ]]; then
        results=$run_results
      elif [[ $run_results != "$results" ]]; then
        die "the results differ: ${binaries[b]} -b $s"
      fi
    done
  done
done

echo "dyadmill block count with permutations  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
[[ -n $compare ]] && echo "other:   $compare"
echo "data:    $snps SNPs x $subjects subjects, $permutations permutations, best wall and largest RSS of $repeats"
machine_line
echo "every run wrote the same results file"
echo
row_format='%-6s %-5s %9s %8s %9s %8s\n'
# shellcheck disable=SC2059
printf "$row_format" binary -b wall_s x_best rss_MB x_best
for b in "${!binaries[@]}"; do
  best_wall=""
  best_rss=""
  for s in "${settings[@]}"; do
    best_wall=$(smaller "$best_wall" "${wall[$b/$s]}")
    best_rss=$(smaller "$best_rss" "${rss[$b/$s]}")
  done
  name=this
  ((b > 0)) && name=other
  for s in "${settings[@]}"; do
    # shellcheck disable=SC2059
    printf "$row_format" "$name" "$s" "${wall[$b/$s]}" \
      "$(awk -v a="${wall[$b/$s]}" -v b="$best_wall" 'BEGIN { printf "%.2f", a / b }')" "${rss[$b/$s]}" \
      "$(awk -v a="${rss[$b/$s]}" -v b="$best_rss" 'BEGIN { printf "%.2f", a / b }')"
  done
done
