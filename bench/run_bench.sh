#!/usr/bin/env bash
# Times the dyadmill binary on generated case/control data and prints pairs
# per second per mode. Builds nothing: point it at a Release build.
# See bench/README.md for what every figure means.
set -euo pipefail
shopt -s inherit_errexit

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)
# shellcheck source=bench/common.sh
source "$script_dir/common.sh"

bin="$repo_root/build/src/dyadmill"
gen="$repo_root/build/tools/dyadmill-generate"
work="${TMPDIR:-/tmp}/dyadmill-bench"
snps=3000
subjects=2000
perm_snps=300
perm_subjects=2000
permutations=99
perm_seed=1
repeats=3
stat=median
keep=300
missing_rate=0.01
seed=1
planted=3
recalibrate=0
default_modes="assoc-score-nomissing,assoc-score-missing,assoc-lik-nomissing,assoc-lik-missing,epi-lik-nomissing,epi-lik-missing,epi-score-nomissing,epi-score-missing,perm-assoc-lik-nomissing,perm-epi-lik-nomissing"
modes="$default_modes"

usage() {
  cat <<EOF
Usage: bench/run_bench.sh [options]

Times 'dyadmill -n 1 -p 1' (wall time, file reading and result writing
included) on generated data, one row per mode, and prints pairs per second.

  --bin PATH            dyadmill binary (default $repo_root/build/src/dyadmill)
  --gen PATH            generator (default $repo_root/build/tools/dyadmill-generate)
  --work DIR            cache of data files and thresholds, and scratch space
                        (default \${TMPDIR:-/tmp}/dyadmill-bench)
  --snps S              SNPs of the scan rows (default $snps)
  --subjects N          subjects of the scan rows (default $subjects)
  --perm-snps S         SNPs of the permutation rows (default $perm_snps)
  --perm-subjects N     subjects of the permutation rows (default $perm_subjects)
  --permutations P      permutations of the permutation rows (default $permutations)
  --perm-seed R         -r seed of the permutation rows (default $perm_seed)
  --repeats R           timed runs per row (default $repeats)
  --stat median|best    which of the R times gives pairs/s (default $stat)
  --keep K              pairs the calibrated threshold should keep (default $keep)
  --missing-rate F      missing share of the data of the *-missing rows (default $missing_rate)
  --seed X              generator seed (default $seed)
  --planted K           planted interacting pairs in the data (default $planted)
  --modes LIST          comma-separated rows (default: all of the list below)
  --recalibrate         recompute the cached thresholds
  -h, --help            this text

Rows are named [perm-]{assoc|epi}-{score|lik}-{nomissing|missing}; the default is
  ${default_modes//,/ }
EOF
}

while (($#)); do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --gen) gen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --snps) snps=$2; shift 2 ;;
    --subjects) subjects=$2; shift 2 ;;
    --perm-snps) perm_snps=$2; shift 2 ;;
    --perm-subjects) perm_subjects=$2; shift 2 ;;
    --permutations) permutations=$2; shift 2 ;;
    --perm-seed) perm_seed=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --stat) stat=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --missing-rate) missing_rate=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --planted) planted=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --recalibrate) recalibrate=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done

for value in "$snps" "$subjects" "$perm_snps" "$perm_subjects" "$permutations" "$perm_seed" "$repeats" "$keep" "$seed" "$planted"; do
  [[ $value =~ ^[0-9]+$ ]] || die "'$value' is not a whole number"
done
((repeats >= 1)) || die "--repeats must be at least 1"
((keep >= 1)) || die "--keep must be at least 1"
[[ $stat == median || $stat == best ]] || die "--stat must be median or best"

check_programs
mkdir -p "$work/thresholds"

# Peak memory comes from GNU time when it is installed.
gnu_time=""
if /usr/bin/time -f %M -o /dev/null true 2>/dev/null; then gnu_time=/usr/bin/time; fi

now_ns() { date +%s%N; }

# Generated data, cached by its parameters; regenerated when the generator
# is newer than the file.
data_file() {  # snps subjects missing_rate
  local name="geno_S$1_N$2_seed${seed}_planted${planted}_miss$3"
  local file="$work/data/$name.txt"
  if [[ ! -s $file || $gen -nt $file ]]; then
    local effective_planted=$planted
    ((2 * effective_planted <= $1)) || effective_planted=$(($1 / 2))
    "$gen" --snps "$1" --subjects "$2" --seed "$seed" --planted "$effective_planted" \
      --missing-rate "$3" --planted-out "$work/data/$name.planted" -q -o "$file.tmp"
    mv "$file.tmp" "$file"
  fi
  echo "$file"
}

# One run of the binary in a fresh scratch folder. Sets run_rc, run_seconds,
# run_kept (-1 without a results file), run_peak_kb, run_over_limit (1 when
# the program refused to keep that many pairs), and run_dir (left in place
# for the caller to read and remove).
run_once() {  # data threshold flags...
  local data=$1 threshold=$2
  shift 2
  run_dir=$(mktemp -d "$work/scratch.XXXXXX")
  local start end
  start=$(now_ns)
  set +e
  if [[ -n $gnu_time ]]; then
    (cd "$run_dir" && "$gnu_time" -f %M -o peak_kb "$bin" -n 1 -p 1 -i "$data" -o res -t "$threshold" "$@" >console.txt 2>&1)
  else
    (cd "$run_dir" && "$bin" -n 1 -p 1 -i "$data" -o res -t "$threshold" "$@" >console.txt 2>&1)
  fi
  run_rc=$?
  set -e
  end=$(now_ns)
  run_seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
  run_kept=-1
  [[ -f $run_dir/res.txt ]] && run_kept=$(($(wc -l <"$run_dir/res.txt") - 1))
  run_peak_kb=-
  [[ -s $run_dir/peak_kb ]] && run_peak_kb=$(tail -n 1 "$run_dir/peak_kb")
  # The program's storage limits for kept pairs end the run without a
  # results file, with status 0 or 1 and a message asking for a higher -t.
  run_over_limit=0
  if grep -q "treshold value (-t)" "$run_dir/console.txt"; then
    run_over_limit=1
    ((run_rc != 0)) || run_rc=1
  fi
  return 0
}

# Upper-tail chi-square critical value for an even df (closed form of the
# tail: exp(-x/2) * sum_{i<df/2} (x/2)^i / i!), by bisection.
chi2_critical() {  # df probability
  awk -v df="$1" -v p="$2" 'function tail(x,   s, term, i) {
      s = 0; term = 1
      for (i = 0; i < df / 2; i++) { if (i > 0) term *= (x / 2) / i; s += term }
      return exp(-x / 2) * s
    }
    BEGIN { lo = 0; hi = 2000
      for (k = 0; k < 200; k++) { mid = (lo + hi) / 2; if (tail(mid) > p) lo = mid; else hi = mid }
      printf "%.4f", (lo + hi) / 2 }'
}

# Threshold that keeps about `keep` pairs in this mode on this file: one run
# at a low threshold, then the midpoint of the keep-th and (keep+1)-th
# largest statistics of its results file. The first guess is the chi-square
# critical value at which pure noise would keep 3 x keep pairs (df 4 for
# epistasis, 8 for association); a guess that keeps too few is lowered, one
# that hits the program's storage limit is raised. Cached per data file,
# mode and keep; a newer data file invalidates it.
calibrate() {  # row data pairs df flags...
  local row=$1 data=$2 pairs=$3 df=$4
  shift 4
  local key
  key="$(basename "$data" .txt).$(echo "$*" | tr -d ' -').keep$keep"
  local cache="$work/thresholds/$key"
  if ((recalibrate == 0)) && [[ -s $cache && $cache -nt $data ]]; then
    cat "$cache"
    return
  fi
  echo "calibrating the threshold of $row ..." >&2
  ((keep < pairs)) || die "--keep $keep is not below the $pairs pairs of $(basename "$data")"
  local probability threshold
  probability=$(awk -v k="$keep" -v n="$pairs" 'BEGIN { p = 3 * k / n; if (p > 0.5) p = 0.5; printf "%.12g", p }')
  threshold=$(chi2_critical "$df" "$probability")
  # Thresholds known to keep too many pairs for the program / too few for us.
  local too_low="" too_high=""
  for _ in {1..20}; do
    run_once "$data" "$threshold" "$@"
    if ((run_over_limit)); then
      rm -rf "$run_dir"
      too_low=$threshold
      threshold=$(awk -v t="$threshold" -v h="$too_high" 'BEGIN { printf "%.9g", h == "" ? t * 2 : (t + h) / 2 }')
    elif ((run_rc != 0)) || ((run_kept < 0)); then
      tail -n 5 "$run_dir/console.txt" >&2
      die "calibration run of $row failed (exit $run_rc, console kept in $run_dir/console.txt)"
    elif ((run_kept <= keep)); then
      rm -rf "$run_dir"
      too_high=$threshold
      threshold=$(awk -v t="$threshold" -v l="$too_low" 'BEGIN { printf "%.9g", l == "" ? t * 0.6 : (t + l) / 2 }')
    else
      local chosen
      chosen=$(tail -n +2 "$run_dir/res.txt" | cut -f3 | sort -g -r |
        awk -v k="$keep" 'NR == k { a = $1 } NR == k + 1 { b = $1 } END { printf "%.9g", (a + b) / 2 }')
      rm -rf "$run_dir"
      echo "$chosen" >"$cache"
      echo "$chosen"
      return
    fi
  done
  die "could not calibrate a threshold for $* on $(basename "$data")"
}

summarise() {  # times... -> "median best"
  printf '%s\n' "$@" | sort -g | awk '{ t[NR] = $1 } END {
      m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
      printf "%.3f %.3f", m, t[1] }'
}

# Sets perm, flags, df and rate for a row name, or stops on a bad name.
parse_mode() {  # row
  local name=$1 hypothesis statistic missingness extra
  perm=0
  if [[ $name == perm-* ]]; then perm=1; name=${name#perm-}; fi
  IFS=- read -r hypothesis statistic missingness extra <<<"$name"
  [[ -z ${extra:-} ]] || die "unknown row '$1' (see --help)"
  flags=()
  case "$hypothesis" in
    assoc) flags+=(--association); df=8 ;;
    epi) flags+=(--epistasis); df=4 ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
  case "$statistic" in
    score) flags+=(--score) ;;
    lik) flags+=(--likelihood) ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
  case "$missingness" in
    nomissing) flags+=(--nomissing); rate=0 ;;
    missing) flags+=(--missing); rate=$missing_rate ;;
    *) die "unknown row '$1' (see --help)" ;;
  esac
  flags+=(--maxT)
}

IFS=, read -r -a mode_list <<<"$modes"
((${#mode_list[@]} > 0)) || die "--modes is empty"
for mode in "${mode_list[@]}"; do parse_mode "$mode"; done

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
echo "dyadmill bench  $(date '+%Y-%m-%d %H:%M:%S')"
echo "binary:  $bin"
echo "machine: ${cpu:-unknown CPU}, $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo '?')"
echo "timing:  wall time of the whole run (reading the file, scan, sorting, writing results),"
echo "         $stat of $repeats runs; pairs = S(S-1)/2, times (P+1) with P permutations"
echo
row_format='%-26s %6s %8s %5s %11s %6s %9s %8s %10s %8s\n'
# shellcheck disable=SC2059
printf "$row_format" mode SNPs subjects perms threshold kept median_s best_s Mpairs/s peak_MB

failures=0
for mode in "${mode_list[@]}"; do
  parse_mode "$mode"
  if ((perm)); then
    s=$perm_snps n=$perm_subjects p=$permutations
  else
    s=$snps n=$subjects p=0
  fi
  data=$(data_file "$s" "$n" "$rate")
  pairs=$((s * (s - 1) / 2))
  threshold=$(calibrate "$mode" "$data" "$pairs" "$df" "${flags[@]}")
  timed_flags=("${flags[@]}")
  ((perm)) && timed_flags+=(--permutations "$p" -r "$perm_seed")

  times=()
  kept=-
  peak=-
  status=ok
  for ((r = 0; r < repeats; r++)); do
    run_once "$data" "$threshold" "${timed_flags[@]}"
    if ((run_rc != 0)) || ((run_kept < 0)); then
      status="FAILED (exit $run_rc, console kept in $run_dir)"
      break
    fi
    times+=("$run_seconds")
    kept=$run_kept
    peak=$run_peak_kb
    rm -rf "$run_dir"
  done
  if [[ $status != ok ]]; then
    failures=$((failures + 1))
    printf '%-26s %6s %8s %5s %11s  %s\n' "$mode" "$s" "$n" "$p" "$threshold" "$status"
    continue
  fi
  read -r median best <<<"$(summarise "${times[@]}")"
  chosen=$median
  [[ $stat == best ]] && chosen=$best
  rate_m=$(awk -v q="$pairs" -v p="$p" -v t="$chosen" 'BEGIN { printf "%.3f", q * (p + 1) / t / 1e6 }')
  peak_mb=-
  [[ $peak != - ]] && peak_mb=$(awk -v k="$peak" 'BEGIN { printf "%.0f", k / 1024 }')
  # shellcheck disable=SC2059
  printf "$row_format" "$mode" "$s" "$n" "$p" "$threshold" "$kept" "$median" "$best" "$rate_m" "$peak_mb"
done

echo
echo "Mpairs/s = pairs x (perms + 1) / $stat wall time / 10^6; kept = pairs in the results file."
echo "Data: $work/data (planted pairs in the .planted files)."

((failures == 0)) || exit 1
