#!/usr/bin/env bash
# The scan speed table: the reference scan and the fast scan side by
# side, in one process per row, on generated data; prints pairs per second,
# the speed-up and whether both kept the same pairs with the same values.
#
#   bench/run_speed.sh [--build DIR] [--work DIR] [--repeats R] [--reference-repeats R] [--rows LIST]
#
# Rows (LIST is comma-separated, default all):
#   epi-2000 epi-5000          --epistasis --likelihood --nomissing --maxT, 10000 SNPs
#   assoc-2000 assoc-5000      --association --likelihood --nomissing --maxT, 10000 SNPs
#   epi-missing-2000 epi-missing-5000   --epistasis --likelihood --missing --maxT, 1 % missing
#   perm-epi perm-assoc        300 SNPs x 2000 subjects x 99 permutations (first scan + 99 rescans)
# Thresholds keep 300 pairs (calibrated per row with the fast scan). Times
# are medians of R runs of the whole scan; the reading speed of each file is
# printed too. The reference runs dominate the time: about 15 minutes in all
# with the defaults on a 2-core machine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
work=${TMPDIR:-/tmp}/dyadmill-speed
repeats=3
reference_repeats=3
rows=epi-2000,assoc-2000,epi-missing-2000,epi-5000,assoc-5000,epi-missing-5000,perm-epi,perm-assoc
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --reference-repeats) reference_repeats=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
bench=$build/bench/dyadmill-scan-bench
generate=$build/tools/dyadmill-generate
for tool in "$bench" "$generate"; do
  [[ -x $tool ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 2; }
done
mkdir -p "$work"

data() {  # snps subjects missing-rate
  local file=$work/g$1x$2m$3.txt
  [[ -s $file ]] || "$generate" --snps "$1" --subjects "$2" --missing-rate "$3" --seed 3 -o "$file" -q
  echo "$file"
}

status=0
run_row() {  # name snps subjects missing-rate start-threshold options...
  local name=$1 snps=$2 subjects=$3 missing=$4 start=$5
  shift 5
  local file
  file=$(data "$snps" "$subjects" "$missing")
  echo "== $name: $snps SNPs x $subjects subjects, $*"
  if ! "$bench" -i "$file" -t "$start" --keep 300 --repeats "$repeats" --reference-repeats "$reference_repeats" "$@"; then
    echo "   ROW FAILED" >&2
    status=1
  fi
}

IFS=, read -r -a wanted <<<"$rows"
for row in "${wanted[@]}"; do
  case $row in
    epi-2000) run_row "$row" 10000 2000 0 20 --epistasis --likelihood --nomissing --maxT ;;
    epi-5000) run_row "$row" 10000 5000 0 20 --epistasis --likelihood --nomissing --maxT ;;
    assoc-2000) run_row "$row" 10000 2000 0 60 --association --likelihood --nomissing --maxT ;;
    assoc-5000) run_row "$row" 10000 5000 0 100 --association --likelihood --nomissing --maxT ;;
    epi-missing-2000) run_row "$row" 10000 2000 0.01 20 --epistasis --likelihood --missing --maxT ;;
    epi-missing-5000) run_row "$row" 10000 5000 0.01 20 --epistasis --likelihood --missing --maxT ;;
    perm-epi) run_row "$row" 300 2000 0 8 --epistasis --likelihood --nomissing --maxT --permutations 99 -r 5 ;;
    perm-assoc) run_row "$row" 300 2000 0 20 --association --likelihood --nomissing --maxT --permutations 99 -r 5 ;;
    *) echo "unknown row: $row" >&2; exit 2 ;;
  esac
done
exit $status
