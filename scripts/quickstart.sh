#!/usr/bin/env bash
# Sets up a Debian 12 machine for dyadmill, builds it in Release, and then
#   example: scans the bundled example genotype file, or
#   test:    runs the whole test suite.
# Run as root or as a user with sudo; packages already present are left alone.
set -euo pipefail

mode=${1:-}
if [[ $mode != example && $mode != test ]]; then
  echo "usage: $0 example|test" >&2
  exit 2
fi
cd "$(dirname "$0")/.."

packages=(g++ make cmake libboost-dev zlib1g-dev libxxhash-dev libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
if [[ $mode == example ]]; then
  cmake --build build -j"$jobs" --target dyadmill
else
  cmake --build build -j"$jobs"
fi

if [[ $mode == example ]]; then
  mkdir -p example-run
  cd example-run
  ../build/src/dyadmill -n 1 -p 1 -t 15 --epistasis --likelihood --maxT --nomissing \
    -i ../examples/example_genotypes.txt -o example_results
  echo
  echo "Results (example-run/example_results.txt):"
  cat example_results.txt
else
  ctest --test-dir build --output-on-failure -j"$jobs"
fi
