#!/usr/bin/env bash
# The scan at biobank size against a small study of the same SNPs: 1000
# SNPs x 200,000 subjects and 1000 SNPs x 2,000 subjects (20 % cases, binary
# filesets), --epistasis --likelihood --maxT, --nomissing and --missing (1 %
# missing). Per row: the fast pair loop alone (dyadmill-scan-bench, median of
# R scans, threshold keeping 300 pairs), pairs per second, the peak memory of
# a whole run of the program (/usr/bin/time -v), and the cost per pair per
# subject-word of the large file over the small one (a subject-word: one
# 64-bit word of a SNP's case row plus one of its control row, so words per
# row = ceil(cases / 64) + ceil(controls / 64)).
#
#   bench/run_biobank.sh [--build DIR] [--work DIR] [--repeats R]
#
# About 30 s on a 2-core machine; 110 MB of scratch space.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
work=${TMPDIR:-/tmp}/dyadmill-biobank
repeats=3
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
bench=$build/bench/dyadmill-scan-bench
generate=$build/tools/dyadmill-generate
program=$build/src/dyadmill
for tool in "$bench" "$generate" "$program"; do
  [[ -x $tool ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "GNU time (/usr/bin/time) is needed for peak memory" >&2; exit 2; }
mkdir -p "$work"

# fileset SUBJECTS MISSING_RATE -> prefix
fileset() {
  local prefix=$work/snps1000_n$1_miss$2
  if [[ ! -s $prefix.bed ]]; then
    "$generate" --snps 1000 --subjects "$1" --case-share 0.2 --seed 5 --missing-rate "$2" --bed "$prefix" \
      -o /dev/null -q
  fi
  echo "$prefix"
}

# words per row of a fileset: ceil(cases / 64) + ceil(controls / 64)
row_words() {
  awk '$6 == 2 { c++ } $6 == 1 { u++ } END { print int((c + 63) / 64) + int((u + 63) / 64) }' "$1.fam"
}

printf '%-10s %-8s %8s %6s %10s %10s %8s\n' mode subjects words kept seconds Mpairs/s peak_MB
declare -A per_pair_word
for mode in nomissing missing; do
  rate=0; [[ $mode == missing ]] && rate=0.01
  for subjects in 2000 200000; do
    prefix=$(fileset "$subjects" "$rate")
    words=$(row_words "$prefix")
    line=$("$bench" -i "$prefix.bed" -t 5 --keep 300 --epistasis --likelihood "--$mode" --maxT --path fast \
      --repeats "$repeats" | tail -1)
    seconds=$(awk '{ print $2 }' <<<"$line")
    mpairs=$(awk '{ print $4 }' <<<"$line")
    kept=$(awk '{ print $8 }' <<<"$line")
    run=$work/run_${mode}_$subjects
    mkdir -p "$run"
    (cd "$run" && /usr/bin/time -v "$program" -n 1 -p 1 -i "$prefix.bed" -o res -t 30 --epistasis --likelihood \
      "--$mode" --maxT >out.txt 2>time.txt)
    peak=$(awk -F: '/Maximum resident/ { printf "%.0f", $2 / 1024 }' "$run/time.txt")
    printf '%-10s %-8s %8s %6s %10s %10s %8s\n' "$mode" "$subjects" "$words" "$kept" "$seconds" "$mpairs" "$peak"
    per_pair_word[$mode$subjects]=$(awk -v s="$seconds" -v w="$words" 'BEGIN { printf "%.6g", s / 499500 / w }')
  done
  awk -v big="${per_pair_word[${mode}200000]}" -v small="${per_pair_word[${mode}2000]}" -v m="$mode" \
    'BEGIN { printf "%s: cost per pair per subject-word, 200000 over 2000 subjects: %.2f\n", m, big / small }'
done
