# shellcheck shell=bash
# What the benchmark scripts share: sourced by them, not run on its own.
# Every function reports its errors under the name of the script that
# sourced it.

bench_script=${0##*/}

die() {
  echo "$bench_script: $*" >&2
  exit 2
}

# $1 as an absolute path: the runs happen in scratch folders.
absolute() { [[ $1 == /* ]] && echo "$1" || echo "$PWD/$1"; }

# The smaller / larger of two numbers, either of which may be "" (none yet).
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
larger() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 > a + 0) ? b : a }'; }

# Makes $bin, $gen and $work absolute, checks that both programs are there
# and creates the data cache $work/data.
check_programs() {
  bin=$(absolute "$bin")
  gen=$(absolute "$gen")
  work=$(absolute "$work")
  [[ -x $bin ]] || die "no dyadmill binary at $bin (build it, or give --bin)"
  [[ -x $gen ]] || die "no generator at $gen (build target dyadmill-generate, or give --gen)"
  mkdir -p "$work/data"
}

# generated_fileset NAME SNPS SUBJECTS: prints the path (without .bed) of a
# binary fileset of generated data (seed 1, 3 planted pairs, no missing
# genotypes) in the cache, generating it first when it is missing or older
# than the generator.
generated_fileset() {
  local data=$work/data/$1_S$2_N$3_seed1_planted3
  if [[ ! -s $data.bed || $gen -nt $data.bed ]]; then
    "$gen" --snps "$2" --subjects "$3" --seed 1 --planted 3 -q -o /dev/null --bed "$data" >&2
  fi
  echo "$data"
}

# The machine line every report starts with.
machine_line() {
  echo "machine: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo '?'), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo '?')"
}
