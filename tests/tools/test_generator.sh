#!/usr/bin/env bash
# pass and fail always succeed, so "check && pass || fail" is an if-else.
# shellcheck disable=SC2015

# Checks dyadmill-generate: determinism, the file's shape, the requested
# case share and missing rate, Hardy-Weinberg genotypes in the allele
# frequency range, the planted pairs, and refusal of bad options.
# Usage: test_generator.sh PATH_TO_dyadmill-generate
set -euo pipefail

gen=${1:?usage: test_generator.sh PATH_TO_dyadmill-generate}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

snps=200
subjects=3000

# --- determinism -----------------------------------------------------------
"$gen" -q --snps $snps --subjects $subjects --seed 42 -o "$tmp/a.txt" --planted-out "$tmp/a.planted"
"$gen" -q --snps $snps --subjects $subjects --seed 42 -o "$tmp/b.txt" --planted-out "$tmp/b.planted"
"$gen" -q --snps $snps --subjects $subjects --seed 42 >"$tmp/stdout.txt"
"$gen" -q --snps $snps --subjects $subjects --seed 43 -o "$tmp/c.txt"
if cmp -s "$tmp/a.txt" "$tmp/b.txt" && cmp -s "$tmp/a.planted" "$tmp/b.planted"; then
  pass "same seed, same file"
else
  fail "two runs with seed 42 differ"
fi
cmp -s "$tmp/a.txt" "$tmp/stdout.txt" && pass "standard output equals -o" || fail "standard output differs from -o"
cmp -s "$tmp/a.txt" "$tmp/c.txt" && fail "seeds 42 and 43 give the same file" || pass "another seed, another file"

# --- shape -------------------------------------------------------------------
# Header "Trait rs1 .. rsS"; every subject line: a 0/1 trait and S codes in
# {0,1,2} (plus -9 when allowed), single spaces, no stray characters.
check_shape() {  # file snps subjects allow_missing
  awk -v S="$2" -v N="$3" -v miss="$4" '
    NR == 1 {
      if (NF != S + 1 || $1 != "Trait") { print "header has " NF " fields or a wrong first field"; bad = 1 }
      for (i = 2; i <= NF; i++) if ($i != "rs" (i - 1)) { print "header field " i " is " $i; bad = 1; break }
      next
    }
    {
      if ($0 !~ /^[01]( (0|1|2|-9))*$/) { print "line " NR " has a bad character, spacing or trait"; bad = 1; exit }
      if (NF != S + 1) { print "line " NR " has " NF " fields"; bad = 1; exit }
      if (!miss && $0 ~ /-9/) { print "line " NR " has a missing code"; bad = 1; exit }
    }
    END {
      if (NR != N + 1) { print "the file has " NR " lines, expected " N + 1; bad = 1 }
      exit bad
    }' "$1"
}
check_shape "$tmp/a.txt" $snps $subjects 0 && pass "shape without missing" || fail "shape without missing"
[[ $(tail -c 1 "$tmp/a.txt" | od -An -c | tr -d ' ') == '\n' ]] && pass "ends with a line feed" || fail "no final line feed"

# --- case share ------------------------------------------------------------
case_share() { awk 'NR > 1 { n++; c += ($1 == 1) } END { printf "%.4f", c / n }' "$1"; }
in_range() { awk -v x="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(x >= lo && x <= hi) }'; }
share=$(case_share "$tmp/a.txt")
in_range "$share" 0.27 0.33 && pass "default case share $share near 0.3" || fail "default case share $share, expected about 0.3"
"$gen" -q --snps 50 --subjects $subjects --seed 5 --case-share 0.5 -o "$tmp/half.txt"
share=$(case_share "$tmp/half.txt")
in_range "$share" 0.46 0.54 && pass "case share $share near 0.5" || fail "--case-share 0.5 gave $share"
"$gen" -q --snps 50 --subjects $subjects --seed 5 --case-share 0.1 --effect 0 -o "$tmp/tenth.txt"
share=$(case_share "$tmp/tenth.txt")
in_range "$share" 0.08 0.12 && pass "null data, case share $share near 0.1" || fail "--case-share 0.1 --effect 0 gave $share"

# --- genotypes: allele frequencies and Hardy-Weinberg ------------------------
# Estimated frequencies must stay near [0.05, 0.5] and spread over it; the
# heterozygote count summed over SNPs must match 2p(1-p) of each SNP's
# estimated frequency (a swapped genotype mapping breaks this badly).
awk -v S=$snps 'NR > 1 { for (i = 2; i <= NF; i++) { sum[i] += $i; het[i] += ($i == 1) } n++ }
  END {
    lo = 1; hi = 0; observed = 0; expected = 0
    for (i = 2; i <= S + 1; i++) {
      p = sum[i] / (2 * n)
      if (p < lo) lo = p
      if (p > hi) hi = p
      observed += het[i]; expected += 2 * p * (1 - p) * n
    }
    ratio = observed / expected
    printf "frequencies %.3f..%.3f, heterozygotes observed/expected %.4f\n", lo, hi, ratio
    exit !(lo >= 0.02 && lo <= 0.09 && hi >= 0.44 && hi <= 0.56 && ratio > 0.98 && ratio < 1.02)
  }' "$tmp/a.txt" && pass "allele frequencies and Hardy-Weinberg proportions" || fail "allele frequencies or genotype proportions"

# --- missing genotypes -------------------------------------------------------
"$gen" -q --snps $snps --subjects $subjects --seed 42 --missing-rate 0.05 -o "$tmp/m.txt"
check_shape "$tmp/m.txt" $snps $subjects 1 && pass "shape with missing" || fail "shape with missing"
rate=$(awk 'NR > 1 { for (i = 2; i <= NF; i++) { n++; m += ($i == -9) } } END { printf "%.4f", m / n }' "$tmp/m.txt")
in_range "$rate" 0.045 0.055 && pass "missing rate $rate near 0.05" || fail "--missing-rate 0.05 gave $rate"
# Missingness only masks: same trait, and every code that is not -9 equals
# the code of the file generated without missing genotypes.
paste -d '\n' "$tmp/a.txt" "$tmp/m.txt" | awk '
  NR % 2 == 1 { n = split($0, full, " "); next }
  {
    if (split($0, masked, " ") != n || masked[1] != full[1]) { bad = 1; exit }
    for (i = 2; i <= n; i++) if (masked[i] != -9 && masked[i] != full[i]) { bad = 1; exit }
  }
  END { exit bad }' && pass "missingness masks the same data" || fail "the data with missing genotypes is not a masked copy"

# --- planted pairs -----------------------------------------------------------
# Three distinct pairs of existing SNPs, each in file order, and carriers of
# both minor alleles (g_a * g_b >= 2) are cases clearly more often than the
# other subjects.
"$gen" -q --snps $snps --subjects 4000 --seed 9 --planted 3 -o "$tmp/p.txt" --planted-out "$tmp/p.planted"
if awk -v S=$snps '
    { if (NF != 2) exit 1
      a = substr($1, 3) + 0; b = substr($2, 3) + 0
      if ($1 !~ /^rs[0-9]+$/ || $2 !~ /^rs[0-9]+$/ || a < 1 || b > S || a >= b) exit 1
      if (seen[a]++ || seen[b]++) exit 1 }
    END { exit NR != 3 }' "$tmp/p.planted"; then
  pass "planted pairs listed"
else
  fail "planted pairs file: $(tr '\n' ';' <"$tmp/p.planted")"
fi
while read -r first second; do
  a=$((${first#rs} + 1))
  b=$((${second#rs} + 1))
  awk -v a=$a -v b=$b 'NR > 1 { if ($a * $b >= 2) { n1++; c1 += $1 } else { n0++; c0 += $1 } }
    END { printf "%s: case share %.3f among carriers (%d), %.3f among others\n", "'"$first $second"'", c1 / n1, n1, c0 / n0
          exit !(n1 > 100 && c1 / n1 > c0 / n0 + 0.15) }' "$tmp/p.txt" &&
    pass "planted pair $first $second raises the case share" || fail "planted pair $first $second has no visible effect"
done <"$tmp/p.planted"

# --- bad options ---------------------------------------------------------------
expect_refusal() {
  if "$gen" -q "$@" >/dev/null 2>&1; then fail "accepted: $*"; else pass "refused: $*"; fi
}
expect_refusal --snps 10 --planted 6
expect_refusal --case-share 1.5
expect_refusal --case-share 0
expect_refusal --missing-rate 1
expect_refusal --subjects 0
expect_refusal --snps abc
expect_refusal --frobnicate
expect_refusal -o "$tmp/no/such/folder/x.txt"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all generator checks passed"
