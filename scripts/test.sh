#!/usr/bin/env bash
# Installs what the tests need, builds the whole project with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test through CTest. On Linux it then
#  - builds the core and the daemon with clang and libc++, warnings as errors: the nearest
#    this machine comes to the Mac's toolchain;
#  - builds with ThreadSanitizer and runs the tests of what threads share: the logger, the
#    sync controller, the arbiter and the daemon end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake-prefix.sh

scripts/install-dependencies.sh --tests

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTERNWELL_SANITIZE=ON -DTERNWELL_WERROR=ON \
  "${CMAKE_PREFIX_ARGS[@]}"
cmake --build build-test -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-test --output-on-failure -j "$jobs"

if [[ "$(uname -s)" == Linux ]]; then
  cmake -S . -B build-libcxx -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DTERNWELL_WERROR=ON -DTERNWELL_BUILD_TESTS=OFF -DTERNWELL_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++
  cmake --build build-libcxx -j "$jobs"

  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTERNWELL_THREAD_SANITIZER=ON \
    -DTERNWELL_WERROR=ON
  cmake --build build-tsan -j "$jobs" --target logging_tests sync_tests daemon_tests ternwell
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
      -R '^(Logging|LogCut|DailyLogCut|FatalNotification|Synchronize|SyncArbiter|Daemon)'
fi
