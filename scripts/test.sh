#!/usr/bin/env bash
# Sets up, builds and runs every test: an optimised g++ build, then a clang build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a clang build under ThreadSanitizer of
# the tests of the threaded code. Every build treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
scripts/check_format.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DTABULON_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTABULON_SANITIZE=ON -DTABULON_BENCH=OFF -DTABULON_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
# The threaded code: the worker pool, its queues, the log sinks and the pipeline, and
# conversions with several jobs run by the real binary, built under ThreadSanitizer.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTABULON_SANITIZE_THREAD=ON -DTABULON_BENCH=OFF -DTABULON_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target test_runtime test_app test_e2e
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build/tsan/tests/test_runtime --gtest_filter='WorkerPool*:ChunkQueue*:LogSink*'
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build/tsan/tests/test_app --gtest_filter='Pipeline*'
# Every conversion of the end-to-end tests runs with the default jobs (all but the slowest).
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/tests/test_e2e \
  --gtest_filter='-Conversion.TenThousandFilesInOneFolder:Conversion.RaisesTheOpenFileLimitForThousandsOfOutputs:Install.*:Package.*'
fuzz/run.sh 30
