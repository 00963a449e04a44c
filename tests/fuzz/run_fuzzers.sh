#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a fixed share of a total time
# budget, starting from the seeds in tests/fuzz/corpus/<target>/. Exits
# non-zero when a target crashes, leaks, trips a sanitizer or aborts on one
# of its own consistency checks; the input that did it is kept as
# <build>/crash-* (or leak-*, timeout-*) and printed.
#
# Usage: tests/fuzz/run_fuzzers.sh [TOTAL_SECONDS]   (default 60)
# Environment: CXX (default clang++), FUZZ_BUILD (default build-fuzz),
#              FUZZ_JOBS (parallel compilations, default 2).
set -euo pipefail

total=${1:-60}
if ! [[ $total =~ ^[0-9]+$ ]] || ((total < 3)); then
  echo "usage: $0 [TOTAL_SECONDS >= 3]" >&2
  exit 2
fi
here=$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")
root=$(readlink -f -- "$here/../..")
cxx=${CXX:-clang++}
build=${FUZZ_BUILD:-$root/build-fuzz}
mkdir -p "$build/obj"
build=$(readlink -f -- "$build")
jobs=${FUZZ_JOBS:-2}
targets=(genotype_reader partial_reader command_line)
sanitizers=-fsanitize=address,undefined
# The sources are compiled here without CMake, so the definitions it makes
# are made here too.
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fopenmp "$sanitizers" -fno-sanitize-recover=undefined
  -DDYADMILL_VERSION='"fuzz"' -I"$here")
# Every stage folder of src/ (the build gives each stage only its own and
# its dependencies' folders; here all of them serve).
for stage in "$root"/src/*/; do flags+=(-I"${stage%/}"); done

# The program's sources once, instrumented for coverage (an object is
# rebuilt when its source or any header is newer); each target links them
# with its own entry.
stale() { [[ ! -f $2 || $1 -nt $2 ]] || find "$root/src" "$here" -name '*.h' -newer "$2" | grep -q .; }
# Objects of sources that no longer exist would be linked in too.
for object in "$build"/obj/*.o; do
  name=$(basename -- "${object%.o}").cpp
  [[ -e $object ]] && ! compgen -G "$root/src/*/$name" >/dev/null && rm -f -- "$object"
done
for source in "$root"/src/*/*.cpp; do
  [[ ${source##*/} == PairTallier_current.cpp ]] && continue
  object=$build/obj/$(basename -- "${source%.cpp}").o
  stale "$source" "$object" || continue
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object" &
done
while (($(jobs -rp | wc -l) > 0)); do wait -n; done
for target in "${targets[@]}"; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$here/fuzz_$target.cpp" "$build"/obj/*.o -lz -lxxhash -o "$build/fuzz_$target"
done

share=$((total / ${#targets[@]}))
failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  log=$build/fuzz_$target.log
  status=0
  # New inputs go to the build folder's corpus; the seeds are only read.
  (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "./fuzz_$target" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -artifact_prefix="$build/$target-" "$corpus" "$here/corpus/$target" >"$log" 2>&1) || status=$?
  runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -n 1 || true)
  if ((status != 0)); then
    failed+=("$target")
    echo "FAIL: $target (exit status $status); see $log"
    tail -n 30 "$log"
  else
    echo "ok - $target: ${runs:-no summary} in ${share} s"
  fi
done
if ((${#failed[@]} > 0)); then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
