#!/usr/bin/env bash
# Runs every measurement of the project and prints its figures; asserts nothing. Each
# benchmark measures its reference (cp and the like) in the same run and prints the ratio.
#  - benchmarks/*: Google Benchmark programs (built where Google Benchmark is installed);
#  - scripts/bench-idle.sh: CPU share and peak memory of the idle daemon.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake-prefix.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERNWELL_BUILD_TESTS=OFF \
  -DTERNWELL_BUILD_BENCHMARKS=ON "${CMAKE_PREFIX_ARGS[@]}" >/dev/null
cmake --build build-bench -j "$jobs" >/dev/null

for bench in build-bench/benchmarks/*_bench; do
  [[ -x "$bench" ]] || continue
  echo "== $(basename "$bench")"
  "$bench"
done

echo "== idle daemon"
scripts/bench-idle.sh
