#!/bin/bash
# Parallel benchmark: a tree of 48 logs of 20,000 frames (3 devices x 4 sessions x 4 splits)
# with one job and with two, and the one large log of 1.5 million frames with one job and with
# the default number of jobs. Checks that every number of jobs writes the same output tree.
# Not part of the test suite.
#
#   bench/run_parallel.sh [build dir] [work dir]      (defaults: build/release, /tmp/tabulon-par)
#
# Environment: REPS (runs per measurement, default 5), JOBS (the many-jobs count for the tree,
# default 2), BASELINE (another tabulon binary, for example one built before a change, whose
# one-job times are measured alongside).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/release}" && pwd)
WORK=${2:-${TMPDIR:-/tmp}/tabulon-par}
REPS=${REPS:-5}
JOBS=${JOBS:-2}
TABULON=$BUILD/src/tabulon

ninja -C "$BUILD" tabulon bench_e2e_gen >/dev/null
mkdir -p "$WORK"

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# Runs the command once and prints "wall_seconds max_rss_kib cpu_seconds" (user + system).
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M %U %S" -o "$WORK/rss" "$@" >/dev/null 2>"$WORK/stderr" || {
    echo "failed: $*"; cat "$WORK/stderr"; exit 1; }
  end=$(date +%s%N)
  echo "$(echo "$start $end" | awk '{printf "%.3f", ($2 - $1) / 1e9}')" \
    "$(tail -n 1 "$WORK/rss" | awk '{printf "%d %.2f", $1, $2 + $3}')"
}

tree_hash() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) | sha256sum | cut -c1-16; }

# convert <name> <case dir> <input> <binary> [options]: one conversion into <case dir>/out-<name>.
convert() {
  local name=$1 dir=$2 input=$3 binary=$4
  shift 4
  rm -rf "$dir/out-$name" && mkdir -p "$dir/out-$name"
  (cd "$dir" && measure "$binary" --non-interactive --dbc-can1=can1.dbc --dbc-can2=can2.dbc \
    -O "out-$name" "$@" "$input") >>"$WORK/samples/$name"
}

# summary <name>: median wall time, largest max RSS, median CPU time.
summary() {
  local f=$WORK/samples/$1
  echo "$(cut -d' ' -f1 "$f" | median) $(cut -d' ' -f2 "$f" | sort -n | tail -n 1) $(cut -d' ' -f3 "$f" | median)"
}

report() {  # label name
  read -r w m c < <(summary "$2")
  printf "  %-22s %7.3f s  (cpu %6.3f s)  max RSS %6.1f MiB\n" "$1" "$w" "$c" "$(echo "$m" | awk '{print $1 / 1024}')"
}

echo "tabulon parallel benchmark: $REPS runs per measurement, medians; $(date -u +%FT%TZ)"
echo "binary $TABULON, $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$WORK/samples" && mkdir -p "$WORK/samples"

T=$WORK/tree
[ -f "$T/args" ] && [ "$(cat "$T/args")" = "tree 20000" ] ||
  { "$BUILD/bench/bench_e2e_gen" "$T" 20000 --tree >/dev/null && echo "tree 20000" >"$T/args"; }
B=$WORK/big
[ -f "$B/args" ] && [ "$(cat "$B/args")" = "1500000" ] ||
  { "$BUILD/bench/bench_e2e_gen" "$B" 1500000 >/dev/null && echo "1500000" >"$B/args"; }

for ((r = 0; r < REPS; ++r)); do
  convert tree-1 "$T" tree "$TABULON" --jobs=1
  convert "tree-$JOBS" "$T" tree "$TABULON" --jobs="$JOBS"
  convert big-1 "$B" plain "$TABULON" --jobs=1
  convert big-default "$B" plain "$TABULON"
  if [ -n "${BASELINE:-}" ]; then
    convert tree-baseline "$T" tree "$BASELINE"
    convert big-baseline "$B" plain "$BASELINE"
  fi
done

FAILED=0
same() {  # dir name name
  local a b
  a=$(tree_hash "$1/out-$2")
  b=$(tree_hash "$1/out-$3")
  if [ "$a" = "$b" ]; then echo "  output $3 = $2 ($a)"; else echo "  OUTPUT $3 DIFFERS from $2"; FAILED=1; fi
}

echo "tree: $(find "$T/tree" -type f | wc -l) logs, $(du -sm "$T/tree" | cut -f1) MB"
report "--jobs=1" tree-1
report "--jobs=$JOBS" "tree-$JOBS"
[ -n "${BASELINE:-}" ] && report "baseline" tree-baseline
same "$T" tree-1 "tree-$JOBS"
read -r W1 _ C1 < <(summary tree-1)
read -r WN MN _ < <(summary "tree-$JOBS")
awk -v a="$W1" -v b="$WN" -v j="$JOBS" 'BEGIN { printf "  --jobs=%d / --jobs=1: %.2f (target <= 0.6 on 2 CPUs)\n", j, b / a }'

IN=$(stat -c %s "$B/plain/log.MF4")
echo "large log: 1,500,000 frames, $IN bytes"
report "--jobs=1" big-1
report "default jobs ($(nproc))" big-default
[ -n "${BASELINE:-}" ] && report "baseline" big-baseline
same "$B" big-1 big-default
read -r WD MD _ < <(summary big-default)
LARGEST=$(find "$T/tree" -type f -printf '%s\n' | sort -n | tail -n 1)
awk -v w="$WD" -v m="$MD" -v i="$IN" -v j="$(nproc)" -v mt="$MN" -v lt="$LARGEST" -v jt="$JOBS" 'BEGIN {
  printf "  default jobs: %.3f s (target <= 0.36 s)\n", w
  printf "  max RSS %.1f MiB, bound %d x input + 64 MiB = %.1f MiB\n", m / 1024, j, (j * i) / 1048576 + 64
  printf "  tree max RSS %.1f MiB, bound %d x largest + 64 MiB = %.1f MiB\n", mt / 1024, jt, (jt * lt) / 1048576 + 64 }'
[ "$FAILED" = 0 ] || { echo "outputs differ"; exit 1; }
