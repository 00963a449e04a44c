#!/usr/bin/env bash
# Checks dyadmill-generate --bed: the fileset it writes beside the text file
# holds the same data, so dyadmill keeps the same pairs from either.
# Usage: test_generator_fileset.sh PATH_TO_dyadmill-generate PATH_TO_dyadmill
set -euo pipefail

gen=${1:?usage: test_generator_fileset.sh GENERATOR DYADMILL}
dyadmill=${2:?usage: test_generator_fileset.sh GENERATOR DYADMILL}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

# 301 subjects: the last byte of every SNP is padded.
"$gen" -q --snps 60 --subjects 301 --missing-rate 0.02 --seed 5 -o g.txt --bed g
[[ $(wc -l <g.bim) -eq 60 && $(wc -l <g.fam) -eq 301 ]] || { echo "FAIL: map or subject file has the wrong length" >&2; exit 1; }
[[ $(stat -c %s g.bed) -eq $((3 + 60 * 76)) ]] || { echo "FAIL: .bed has the wrong size" >&2; exit 1; }

for input in g.txt g.bed; do
  mkdir "run-$input"
  (cd "run-$input" && "$dyadmill" -n 1 -p 1 --epistasis --maxT --likelihood --missing -t 8 -r 3 --permutations 5 \
    -i "../$input" -o res >log.txt)
done
if [[ $(wc -l <run-g.txt/res.txt) -lt 3 ]]; then
  echo "FAIL: the threshold keeps too few pairs to compare" >&2
  exit 1
fi
for file in res.txt SNP_pairs_and_permut_p_vals_maxT.txt; do
  cmp "run-g.txt/$file" "run-g.bed/$file" || { echo "FAIL: $file differs between text and fileset" >&2; exit 1; }
done
echo "ok: text and fileset give identical results"
