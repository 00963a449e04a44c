#!/usr/bin/env bash
# Checks `cmake --install`: the program and both launchers land side by side
# in bin/, and an installed launcher runs the installed program (found next
# to itself, with no DYADMILL variable and no build tree to fall back on).
#
# Usage: test_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

(($# == 2)) || {
  echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
  exit 2
}
build=$(readlink -f -- "$1")
source_dir=$(readlink -f -- "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/dyadmill-install-test.XXXXXX")
trap 'rm -rf -- "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for program in dyadmill dyadmill-local dyadmill-slurm; do
  [[ -x $work/prefix/bin/$program ]] || {
    echo "FAIL: $program is not installed in bin/" >&2
    exit 1
  }
done

mkdir "$work/run"
cd "$work/run"
unset DYADMILL
PATH=/usr/bin:/bin "$work/prefix/bin/dyadmill-local" -j 1 -- -i "$source_dir/examples/example_genotypes.txt" \
  -o res -n 1 -t 15 --epistasis --likelihood --maxT --nomissing >launcher.out 2>&1 || {
  echo "FAIL: the installed launcher did not run" >&2
  cat launcher.out >&2
  exit 1
}
head -2 res.txt | tail -1 | grep -q "rs10260	rs10852" || {
  echo "FAIL: the installed run did not find the planted pair first" >&2
  head -3 res.txt >&2
  exit 1
}
# Without the installed program beside it the launcher has nothing to run:
# so the run above used the installed one.
rm "$work/prefix/bin/dyadmill" res.txt
if PATH=/usr/bin:/bin "$work/prefix/bin/dyadmill-local" -j 1 -- -i "$source_dir/examples/example_genotypes.txt" \
  -o res -n 1 -t 15 --epistasis --likelihood --maxT --nomissing >launcher2.out 2>&1; then
  echo "FAIL: the launcher ran without an installed program" >&2
  exit 1
fi
echo "install test passed"
