# Helpers shared by the launcher tests (sourced, not run).
# shellcheck shell=bash

fail() {
  printf 'FAIL: %s\n' "$1" >&2
  exit 1
}

# Writes a genotype file of SNPS SNPs and SUBJECTS subjects (codes 0/1/2, and
# -9 for every MISSING_EVERY-th genotype when that is non-zero). The trait
# rises with the genotypes of rs3 and rs7, so some pairs pass a threshold
# and others do not. The generator is a fixed-seed Lehmer sequence, so every
# awk gives the same file.
make_genotypes() {
  local file=$1 snps=$2 subjects=$3 missing_every=${4:-0}
  awk -v snps="$snps" -v subjects="$subjects" -v missing_every="$missing_every" '
    function rnd() { state = (state * 16807) % 2147483647; return state / 2147483647 }
    BEGIN {
      state = 12345; cell = 0
      line = "Trait"
      for (s = 1; s <= snps; s++) line = line " rs" s
      print line
      for (i = 0; i < subjects; i++) {
        line = ""; risk = 0
        for (s = 1; s <= snps; s++) {
          u = rnd(); g = (u < 0.36) ? 0 : (u < 0.84) ? 1 : 2
          if (s == 3 || s == 7) risk += g
          cell++
          if (missing_every > 0 && cell % missing_every == 0) g = -9
          line = line " " g
        }
        print ((rnd() < 0.2 + 0.12 * risk) ? 1 : 0) line
      }
    }' >"$file"
}

# Writes an executable stand-in for dyadmill at PATH that runs the real
# program, except for process number SPECIAL, which instead does ACTION:
# "hang" (sleeps for a minute) or an exit status (after printing a message;
# 0 succeeds without doing anything). Every start is appended to PATH.trace
# as "start K PID" and every end as "end K", and the arguments of process K
# go to PATH.argsK, one a line. With PAUSE non-zero each process first
# sleeps that many seconds, so that runs overlap visibly.
make_fake_dyadmill() {
  local path=$1 real=$2 special=$3 action=$4 pause=${5:-0}
  cat >"$path" <<EOF
#!/usr/bin/env bash
process=
args=("\$@")
for ((a = 0; a + 1 < \${#args[@]}; a++)); do
  if [[ \${args[a]} == -p ]]; then process=\${args[a + 1]}; fi
done
echo "start \$process \$\$" >>"$path.trace"
printf '%s\n' "\$@" >"$path.args\$process"
if [[ \$process == "$special" && $action == hang ]]; then exec sleep 60; fi
trap 'echo "end \$process" >>"$path.trace"' EXIT
if [[ $pause != 0 ]]; then sleep $pause; fi
if [[ \$process == "$special" ]]; then
  echo "simulated failure of process \$process"
  exit $action
fi
status=0
"$real" "\$@" || status=\$?
exit "\$status"
EOF
  chmod +x "$path"
}

# Fails unless every file that the single-process run in REFERENCE_DIR wrote
# (results and permutation matrices) exists in RUN_DIR with the same bytes.
same_outputs() {
  local reference=$1 run=$2 what=$3 f name count=0
  for f in "$reference"/*.txt; do
    name=${f##*/}
    [[ -f $run/$name ]] || fail "$what: $name is missing"
    cmp -s -- "$f" "$run/$name" || fail "$what: $name differs from the single-process run"
    count=$((count + 1))
  done
  ((count >= 2)) || fail "$what: the single-process run wrote only $count files"
}
