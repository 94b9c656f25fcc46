#!/usr/bin/env bash
# Installs what the tests need, builds the whole project with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test through CTest. With clang installed it
# also builds the project with clang, warnings as errors, so both compilers stay clean.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake-prefix.sh

scripts/install-dependencies.sh --tests

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTERNWELL_SANITIZE=ON -DTERNWELL_WERROR=ON \
  "${CMAKE_PREFIX_ARGS[@]}"
cmake --build build-test -j "$jobs"

if command -v clang++ >/dev/null && [[ "$(uname -s)" == Linux ]]; then
  cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DTERNWELL_WERROR=ON "${CMAKE_PREFIX_ARGS[@]}"
  cmake --build build-clang -j "$jobs"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-test --output-on-failure -j "$jobs"
