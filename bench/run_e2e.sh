#!/bin/bash
# End-to-end benchmark: generates the benchmark logs, converts them with the release binary and
# compares the times with the formatting floor; the log with its data in DZ blocks is compared
# with the plain one, and the inflate rate of its blocks is measured. Not part of the test suite.
#
#   bench/run_e2e.sh [build dir] [work dir]      (defaults: build/release, /tmp/tabulon-bench)
#
# Environment: REPS (runs per measurement, default 5), QUICK=1 skips the scaling and 2,000-file
# runs, RECORD=1 writes the output-tree hashes
# to bench/e2e/reference_hashes.txt instead of checking them against it.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/release}" && pwd)
WORK=${2:-${TMPDIR:-/tmp}/tabulon-bench}
REPS=${REPS:-5}
REFERENCE=$ROOT/bench/e2e/reference_hashes.txt
TABULON=$BUILD/src/tabulon

ninja -C "$BUILD" tabulon bench_e2e_gen bench_e2e_floor bench_e2e_inflate >/dev/null
mkdir -p "$WORK"

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# Runs the command once and prints "wall_seconds max_rss_kib cpu_seconds" (user + system).
measure() {
  local start end rss
  start=$(date +%s%N)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%M %U %S" -o "$WORK/rss" "$@" >/dev/null 2>"$WORK/stderr" || return 1
    rss=$(tail -n 1 "$WORK/rss" | awk '{printf "%d %.2f", $1, $2 + $3}')
  else
    # No time(1): the peak of the child from getrusage in a small runner.
    python3 - "$WORK" "$@" <<'PY' || return 1
import resource, subprocess, sys
work = sys.argv[1]
with open(work + "/stderr", "w") as err:
    status = subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=err).returncode
with open(work + "/rss", "w") as rss:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(usage.ru_maxrss, "%.2f" % (usage.ru_utime + usage.ru_stime), file=rss)
sys.exit(status)
PY
    rss=$(cat "$WORK/rss")
  fi
  end=$(date +%s%N)
  echo "$(echo "$start $end" | awk '{printf "%.3f", ($2 - $1) / 1e9}') $rss"
}

tree_hash() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) | sha256sum | cut -c1-16; }
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{n += $1} END {print n}'; }

check_hash() {  # name hash
  if [ "${RECORD:-0}" = 1 ]; then
    grep -v "^$1 " "$REFERENCE" 2>/dev/null >"$WORK/ref.new" || true
    echo "$1 $2" >>"$WORK/ref.new"
    sort "$WORK/ref.new" >"$REFERENCE"
    echo "  output hash $2 recorded"
  elif grep -q "^$1 $2\$" "$REFERENCE" 2>/dev/null; then
    echo "  output hash $2 matches the reference"
  else
    echo "  OUTPUT HASH $2 DIFFERS from the reference ($(grep "^$1 " "$REFERENCE" | cut -d' ' -f2))"
    HASH_FAILED=1
  fi
}

# Every measurement is repeated REPS times, and the repetitions of the measurements compared
# with each other are interleaved, so that a change in the load of the machine hits all of them.
# Samples are lines "wall_seconds max_rss_kib cpu_seconds" in $WORK/samples/<name>.

# convert <name> <case dir> <input kind>: one conversion into <case dir>/out-<kind>.
convert() {
  local name=$1 dir=$2 kind=$3
  rm -rf "$dir/out-$kind" && mkdir -p "$dir/out-$kind"
  (cd "$dir" && measure "$TABULON" --non-interactive --dbc-can1=can1.dbc --dbc-can2=can2.dbc \
    -p passwords.json -O "out-$kind" "$kind") >>"$WORK/samples/$name" || {
    echo "tabulon failed on $dir/$kind:"; cat "$WORK/stderr"; exit 1; }
}

# floor <name> <case dir> [fast]: one run of the formatting floor on <case dir>/out-plain
# (with "fast": formatted by our own formatter instead of stb_sprintf).
floor() {
  local w c rest
  read -r w c rest < <("$BUILD/bench/bench_e2e_floor" "$2/out-plain" "$2/floor" ${3:-})
  echo "$w 0 $c" >>"$WORK/samples/$1"
  rm -rf "$2/floor"
}

# summary <name>: median wall time, largest max RSS, median CPU time.
summary() {
  local f=$WORK/samples/$1
  echo "$(cut -d' ' -f1 "$f" | median) $(cut -d' ' -f2 "$f" | sort -n | tail -n 1) $(cut -d' ' -f3 "$f" | median)"
}

report() {  # label seconds rss input_bytes output_bytes frames cpu_seconds
  awk -v l="$1" -v s="$2" -v m="$3" -v i="$4" -v o="$5" -v f="$6" -v c="$7" 'BEGIN {
    printf "  %-11s %7.3f s (cpu %6.3f s) %9.0f frames/s  in %6.1f MB/s  out %6.1f MB/s  max RSS %6.1f MiB\n",
      l, s, c, f / s, i / s / 1e6, o / s / 1e6, m / 1024 }'
}

HASH_FAILED=0
generate() {  # <case> <frames> [--files N]
  local dir=$WORK/$1
  shift
  [ -f "$dir/plain/log.MF4" ] && [ -f "$dir/dz/log.MF4" ] &&
    [ "$(cat "$dir/args" 2>/dev/null)" = "$*" ] && return 0
  "$BUILD/bench/bench_e2e_gen" "$dir" "$@" >/dev/null
  echo "$*" >"$dir/args"
}

echo "tabulon end-to-end benchmark: $REPS runs per measurement, medians; $(date -u +%FT%TZ)"
echo "binary $TABULON"

rm -rf "$WORK/samples" && mkdir -p "$WORK/samples"

# The mixed log at one million frames: plain, compressed and encrypted, against the floor.
generate m1 1000000
D=$WORK/m1
IN=$(stat -c %s "$D/plain/log.MF4")
for ((r = 0; r < REPS; ++r)); do
  convert plain "$D" plain
  floor floor "$D"
  floor floor-fast "$D" fast
  convert compressed "$D" compressed
  convert encrypted "$D" encrypted
  convert dz "$D" dz
done
read -r PLAIN PLAIN_RSS PLAIN_CPU < <(summary plain)
read -r COMP COMP_RSS COMP_CPU < <(summary compressed)
read -r ENC ENC_RSS ENC_CPU < <(summary encrypted)
read -r DZ DZ_RSS DZ_CPU < <(summary dz)
read -r FLOOR _ FLOOR_CPU < <(summary floor)
read -r FAST _ FAST_CPU < <(summary floor-fast)
OUT=$(tree_bytes "$D/out-plain")
H=$(tree_hash "$D/out-plain")
HC=$(tree_hash "$D/out-compressed")
HE=$(tree_hash "$D/out-encrypted")
HZ=$(tree_hash "$D/out-dz")
echo "1,000,000 frames, $IN bytes of MF4, $OUT bytes of CSV in $(find "$D/out-plain" -type f | wc -l) files"
report plain "$PLAIN" "$PLAIN_RSS" "$IN" "$OUT" 1000000 "$PLAIN_CPU"
report compressed "$COMP" "$COMP_RSS" "$(stat -c %s "$D/compressed/log.MFC")" "$OUT" 1000000 "$COMP_CPU"
report encrypted "$ENC" "$ENC_RSS" "$(stat -c %s "$D/encrypted/log.MFE")" "$OUT" 1000000 "$ENC_CPU"
report dz "$DZ" "$DZ_RSS" "$(stat -c %s "$D/dz/log.MF4")" "$OUT" 1000000 "$DZ_CPU"
report floor "$FLOOR" 0 0 "$OUT" 1000000 "$FLOOR_CPU"
report floor-fast "$FAST" 0 0 "$OUT" 1000000 "$FAST_CPU"
check_hash m1 "$H"
[ "$H" = "$HC" ] && [ "$H" = "$HE" ] || { echo "  COMPRESSED/ENCRYPTED OUTPUT DIFFERS ($HC, $HE)"; HASH_FAILED=1; }
[ "$H" = "$HZ" ] || { echo "  DZ OUTPUT DIFFERS ($HZ)"; HASH_FAILED=1; }
awk -v p="$PLAIN" -v c="$COMP" -v e="$ENC" -v f="$FLOOR" -v m="$PLAIN_RSS" -v i="$IN" \
  -v pc="$PLAIN_CPU" -v cc="$COMP_CPU" -v ec="$ENC_CPU" -v fc="$FLOOR_CPU" -v q="$FAST" 'BEGIN {
  printf "  plain / floor %.2f (target <= 1.3)   compressed / plain %.2f, encrypted / plain %.2f (target <= 1.3)\n", p / f, c / p, e / p
  printf "  plain / floor-fast %.2f (the floor with our own formatter)\n", p / q
  printf "  in CPU time: plain / floor %.2f   compressed / plain %.2f, encrypted / plain %.2f\n", pc / fc, cc / pc, ec / pc
  printf "  max RSS %.1f MiB = input + %.1f MiB (target: input + 64 MiB)\n", m / 1024, m / 1024 - i / 1048576 }'
awk -v p="$PLAIN" -v z="$DZ" -v pc="$PLAIN_CPU" -v zc="$DZ_CPU" -v m="$DZ_RSS" \
  -v i="$(stat -c %s "$D/dz/log.MF4")" 'BEGIN {
  printf "  dz / plain %.2f, in CPU time %.2f (target <= 1.3); dz max RSS = input + %.1f MiB\n", z / p, zc / pc, m / 1024 - i / 1048576 }'
echo "  $("$BUILD/bench/bench_e2e_inflate" "$D/dz/log.MF4" "$REPS")"

[ "${QUICK:-0}" = 1 ] && { [ "$HASH_FAILED" = 0 ] || exit 1; exit 0; }

# Scaling: the same log at half a million and two million frames, interleaved with the log at
# one million.
echo "scaling (plain)"
generate s500000 500000
generate s2000000 2000000
for ((r = 0; r < REPS; ++r)); do
  convert s500000 "$WORK/s500000" plain
  convert s1000000 "$D" plain
  convert s2000000 "$WORK/s2000000" plain
done
read -r P1 _ P1_CPU < <(summary s1000000)
for c in 500000 1000000 2000000; do
  read -r T R C < <(summary "s$c")
  dir=$WORK/s$c
  [ "$c" = 1000000 ] && dir=$D
  report "$c" "$T" "$R" "$(stat -c %s "$dir/plain/log.MF4")" "$(tree_bytes "$dir/out-plain")" "$c" "$C"
  [ "$c" = 1000000 ] && continue
  check_hash "s$c" "$(tree_hash "$dir/out-plain")"
  awk -v t="$T" -v p="$P1" -v c="$c" -v tc="$C" -v pc="$P1_CPU" 'BEGIN {
    printf "  time / time at 1,000,000: %.2f, CPU %.2f (frames x%.1f)\n", t / p, tc / pc, c / 1e6 }'
  rm -rf "$dir/out-plain"
done

# Two thousand distinct output files open at once.
echo "2,000 output files (1,000,000 frames of 2,000 messages)"
generate f2000 1000000 --files 2000
D=$WORK/f2000
for ((r = 0; r < REPS; ++r)); do
  convert f2000 "$D" plain
  floor f2000-floor "$D"
done
read -r T R C < <(summary f2000)
read -r F _ FC < <(summary f2000-floor)
report plain "$T" "$R" "$(stat -c %s "$D/plain/log.MF4")" "$(tree_bytes "$D/out-plain")" 1000000 "$C"
report floor "$F" 0 0 "$(tree_bytes "$D/out-plain")" 1000000 "$FC"
check_hash f2000 "$(tree_hash "$D/out-plain")"
awk -v t="$T" -v f="$F" -v c="$C" -v fc="$FC" 'BEGIN {
  printf "  plain / floor %.2f (CPU %.2f) with 2,000 files\n", t / f, c / fc }'

[ "$HASH_FAILED" = 0 ] || { echo "output differs from the reference"; exit 1; }
