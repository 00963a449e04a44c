#!/usr/bin/env bash
# Load time of one genotype set as text and as a binary fileset: generates
# S SNPs x N subjects (default 60,000 x 5,000: a 600 MB text file and a
# 75 MB .bed) and times real runs of dyadmill on each form. The runs use
# small blocks and as many processes as block combinations, so that process
# 1 scans a single combination of about 600 x 600 SNPs and the wall time is
# almost all reading; and the reader alone, through the scan bench's
# --read-only (the time to fill the genotype store, allocation included).
# Prints the file sizes, the median times of R runs of each (after one
# untimed run that warms the page cache), their ratios, and whether both
# forms kept the same pairs. The generated files are deleted at the end
# unless --keep is given.
#
#   bench/run_load.sh [--build DIR] [--work DIR] [--snps S] [--subjects N] [--repeats R] [--keep]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
work=${TMPDIR:-/tmp}/dyadmill-load
snps=60000
subjects=5000
repeats=3
keep=0
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --snps) snps=$2; shift 2 ;;
    --subjects) subjects=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
dyadmill=$build/src/dyadmill
generate=$build/tools/dyadmill-generate
bench=$build/bench/dyadmill-scan-bench
for tool in "$dyadmill" "$generate" "$bench"; do
  [[ -x $tool ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 2; }
done

mkdir -p "$work"
cleanup() { ((keep)) || rm -rf "$work"/data.txt "$work"/data.bed "$work"/data.bim "$work"/data.fam "$work"/run-text "$work"/run-bed; }
trap cleanup EXIT
echo "generating $snps SNPs x $subjects subjects in $work ..."
"$generate" -q --snps "$snps" --subjects "$subjects" --seed 7 -o "$work/data.txt" --bed "$work/data"

# Blocks of about 600 SNPs, at most 361 of them (65,341 combinations, within
# the process count's limit); one process per combination. Fewer, larger
# blocks would lengthen the scan; more would lengthen the block table every
# run prints.
blocks=$(((snps + 599) / 600))
((blocks > 361)) && blocks=361
((blocks < 1)) && blocks=1
processes=$((blocks * (blocks + 1) / 2))

run_once() {  # input, run folder; prints the wall time in seconds
  local start end
  mkdir -p "$2"
  start=$(date +%s.%N)
  (cd "$2" && "$dyadmill" -n "$processes" -p 1 -b "$blocks" --association --score --maxT --nomissing -t 1000 \
    -i "$1" -o res >log.txt) || { echo "run on $1 failed: see $2/log.txt" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

read_once() {  # input; prints the reader's time in seconds
  "$bench" -i "$1" -t 1000 --association --score --maxT --nomissing --read-only |
    sed -n 's/.* read in \([0-9.]*\) s .*/\1/p'
}

median_time() {  # command, its arguments
  local times=()
  "$@" >/dev/null
  for ((r = 0; r < repeats; r++)); do times+=("$("$@")"); done
  printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((repeats + 1) / 2))p"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

text_time=$(median_time run_once "$work/data.txt" "$work/run-text")
bed_time=$(median_time run_once "$work/data.bed" "$work/run-bed")
text_read=$(median_time read_once "$work/data.txt")
bed_read=$(median_time read_once "$work/data.bed")
text_mb=$(awk -v s="$(stat -c %s "$work/data.txt")" 'BEGIN { print s / 1e6 }')
bed_mb=$(awk -v s="$(stat -c %s "$work/data.bed")" 'BEGIN { print s / 1e6 }')
same=no
cmp -s "$work/run-text/res_partial1.txt" "$work/run-bed/res_partial1.txt" && same=yes
printf '%-5s %9s  %9s  %9s\n' form size run reader
printf 'text  %6.1f MB  %7.3f s  %7.3f s\n' "$text_mb" "$text_time" "$text_read"
printf '.bed  %6.1f MB  %7.3f s  %7.3f s\n' "$bed_mb" "$bed_time" "$bed_read"
printf '.bed / text:  run %s  reader %s   same kept pairs: %s   (%d processes, -b %d, medians of %d)\n' \
  "$(ratio "$bed_time" "$text_time")" "$(ratio "$bed_read" "$text_read")" "$same" "$processes" "$blocks" "$repeats"
