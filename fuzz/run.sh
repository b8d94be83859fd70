#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz (clang, sanitizers) and runs each one in turn for the
# given number of seconds (default 30), starting from its checked-in seeds. Fails on the first
# finding (crash, leak, timeout, out-of-memory); the input is left in build/fuzz/artifacts and
# replays with build/fuzz/fuzz/fuzz_<target> <input>.
# Usage: fuzz/run.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(mf4 dbc regex passwords container metadata pipeline parquet j1939 journal)
fi

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTABULON_FUZZ=ON \
  -DTABULON_TESTS=OFF -DTABULON_BENCH=OFF -DTABULON_WERROR=ON >/dev/null
cmake --build build/fuzz --target "${targets[@]/#/fuzz_}"

mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  # New inputs go to a work corpus in the build folder; the checked-in seeds stay as they are.
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  dict=()
  if [ -f "fuzz/$target.dict" ]; then dict=(-dict="fuzz/$target.dict"); fi
  if [ "$target" = pipeline ]; then dict=(-dict=fuzz/mf4.dict); fi
  echo "fuzz_$target: ${seconds} s"
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build/fuzz/fuzz/fuzz_$target" "$work" "fuzz/corpus/$target" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" 2>"build/fuzz/fuzz_$target.log"; then
    tail -n 60 "build/fuzz/fuzz_$target.log"
    echo "fuzz_$target: finding, see build/fuzz/artifacts and build/fuzz/fuzz_$target.log" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "build/fuzz/fuzz_$target.log" || true
done
