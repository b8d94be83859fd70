#!/bin/bash
# Parquet against CSV on one big log: converts the generated 1.5-million-frame benchmark log with
# one job into a CSV tree and a Parquet tree (interleaved, REPS times each), reports the median
# CPU and wall times, their ratio and the trees' bytes, and checks with the tests' independent
# reader (DuckDB for node, tests/parquet_reader) that the Parquet tree holds the CSV tree's values.
# Not part of the test suite.
#
#   bench/run_parquet.sh [build dir] [work dir]    (defaults: build/release, /tmp/tabulon-parquet)
#
# Environment: REPS (runs per format, default 3), FRAMES (default 1500000).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/release}" && pwd)
WORK=${2:-${TMPDIR:-/tmp}/tabulon-parquet}
REPS=${REPS:-3}
FRAMES=${FRAMES:-1500000}
TABULON=$BUILD/src/tabulon

ninja -C "$BUILD" tabulon bench_e2e_gen >/dev/null
mkdir -p "$WORK"
if [ "$(cat "$WORK/frames" 2>/dev/null)" != "$FRAMES" ]; then
  "$BUILD/bench/bench_e2e_gen" "$WORK" "$FRAMES" >/dev/null
  echo "$FRAMES" >"$WORK/frames"
fi

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# convert <format>: one run into $WORK/out-<format>; appends "wall cpu" to $WORK/<format>.times.
convert() {
  local format=$1 start end
  rm -rf "$WORK/out-$format" && mkdir -p "$WORK/out-$format"
  start=$(date +%s%N)
  (cd "$WORK" && /usr/bin/time -f "%U %S" -o "$WORK/time" "$TABULON" --non-interactive --jobs=1 \
    --format="$format" --dbc-can1=can1.dbc --dbc-can2=can2.dbc -p passwords.json \
    -O "out-$format" plain >/dev/null 2>"$WORK/stderr") || {
    echo "tabulon failed (--format=$format):"; cat "$WORK/stderr"; exit 1; }
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" '{printf "%.3f %.3f\n", (e - s) / 1e9, $1 + $2}' "$WORK/time" \
    >>"$WORK/$format.times"
}

rm -f "$WORK/csv.times" "$WORK/parquet.times"
for ((r = 0; r < REPS; ++r)); do
  convert csv
  convert parquet
done

bytes() { find "$1" -type f -printf '%s\n' | awk '{n += $1} END {print n}'; }
csv_wall=$(cut -d' ' -f1 "$WORK/csv.times" | median)
csv_cpu=$(cut -d' ' -f2 "$WORK/csv.times" | median)
pq_wall=$(cut -d' ' -f1 "$WORK/parquet.times" | median)
pq_cpu=$(cut -d' ' -f2 "$WORK/parquet.times" | median)
csv_bytes=$(bytes "$WORK/out-csv")
pq_bytes=$(bytes "$WORK/out-parquet")
echo "$FRAMES frames, $REPS runs each, medians, one job"
printf "  csv      wall %6.3f s  cpu %6.3f s  %12d bytes\n" "$csv_wall" "$csv_cpu" "$csv_bytes"
printf "  parquet  wall %6.3f s  cpu %6.3f s  %12d bytes\n" "$pq_wall" "$pq_cpu" "$pq_bytes"
awk -v a="$pq_cpu" -v b="$csv_cpu" -v c="$pq_bytes" -v d="$csv_bytes" \
  'BEGIN {printf "  parquet/csv: cpu time %.2fx, bytes %.2fx\n", a / b, c / d}'

if [ -d "$ROOT/tests/parquet_reader/node_modules/@duckdb" ]; then
  node "$ROOT/tests/parquet_reader/compare_tree.mjs" "$WORK/out-csv" "$WORK/out-parquet" &&
    echo "  the Parquet tree holds the CSV tree's values (independent reader)"
else
  echo "  values not compared: run scripts/setup.sh for the independent reader"
fi
