#!/usr/bin/env bash
# Peak memory of loading a large DBC file: writes one with tools/gen_big_dbc.py (extra
# arguments go to the generator, e.g. "--signals-min 0 --signals-max 1 --bare" for many small
# messages), converts the example logs with it and prints the peak resident set size and its
# ratio to the file's size. Fails when the ratio is above MAX_RATIO (default 3.5) or the
# conversion fails.
# Usage: tools/dbc_memory.sh [TABULON] [SIZE_MB] [MAX_RATIO] [generator arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
tabulon=$(realpath "${1:-build/release/src/tabulon}")
size_mb=${2:-100}
max_ratio=${3:-3.5}
shift $(($# < 3 ? $# : 3))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 tools/gen_big_dbc.py "$work/big.dbc" --size-mb "$size_mb" "$@"
mkdir "$work/out"
if ! /usr/bin/time -v "$tabulon" --non-interactive --jobs=1 -p examples/passwords.json \
    --dbc-can1="$work/big.dbc" -O "$work/out" examples/logs/ >"$work/log" 2>&1; then
  cat "$work/log"
  exit 1
fi
peak_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/log")
file_bytes=$(stat -c %s "$work/big.dbc")
ratio=$(awk -v p="$peak_kb" -v f="$file_bytes" 'BEGIN { printf "%.2f", p * 1024 / f }')
echo "DBC $((file_bytes / 1000000)) MB: peak RSS $((peak_kb / 1024)) MiB, ${ratio}x the file"
awk -v r="$ratio" -v m="$max_ratio" 'BEGIN { exit !(r <= m) }' || {
  echo "peak memory above ${max_ratio}x the file's size" >&2
  exit 1
}
