#!/bin/bash
# --format=parquet end to end: the Parquet tree of a run holds what the CSV tree holds (read by
# DuckDB), for one input with multiplexed (null) cells and for a set concatenated over three
# inputs, and with --values=text (signals with value tables are STRING columns holding the CSV
# cells' texts, quoted ones and "-NaN" too); finished files leave no column record behind; an
# unknown format is refused.
# Usage: cli_parquet_test.sh TABULON FIXTURES_DIR READER_DIR
set -u
tool=$1 fixtures=$2 reader=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

convert_both() {  # name, extra options, inputs...
  local name=$1 options=$2
  shift 2
  mkdir -p "$work/$name/csv" "$work/$name/pq"
  "$tool" $options --dbc-can1="$dbc" -O "$work/$name/csv" "$@" >/dev/null ||
    fail "$name: CSV run"
  "$tool" $options --format=parquet --dbc-can1="$dbc" -O "$work/$name/pq" "$@" \
    >/dev/null 2>"$work/$name/pq.log" || fail "$name: Parquet run"
  grep -q " Parquet files in " "$work/$name/pq.log" || fail "$name: closing line: $(cat "$work/$name/pq.log")"
  node "$reader/compare_tree.mjs" "$work/$name/csv" "$work/$name/pq" || fail "$name: trees differ"
  [ -z "$(find "$work/$name/pq" -name '*.columns')" ] || fail "$name: column records left"
}

dbc="$fixtures/can.dbc"
mkdir -p "$work/one" && cp "$fixtures/can_classic.MF4" "$work/one/"
convert_both single "" "$work/one/can_classic.MF4"
mkdir -p "$work/three" && cp "$fixtures"/sequence_split{3,4,5}.MF4 "$work/three/"
convert_both concatenated --concat "$work/three"
[ "$(find "$work/concatenated/pq" -name '*.parquet' | wc -l)" -gt 0 ] || fail "no files"

# A value table whose texts need quoting in CSV; its signal's range leaves out raw 1, whose
# cell stays "-NaN" in both trees.
dbc="$work/values.dbc"
sed -e 's/VAL_ 256 IdleActive 0 "Off" 1 "On" ;/VAL_ 256 IdleActive 0 "Off, idle" 1 "On \\"now\\"" ;/' \
  -e 's/IdleActive : 34|1@1+ (1,0) \[0|1\]/IdleActive : 34|1@1+ (1,0) [0|0.5]/' \
  "$fixtures/can.dbc" >"$dbc"
convert_both values --values=text "$work/one/can_classic.MF4"
grep -rqF '"Off, idle"' "$work/values/csv" || fail "values: no quoted text in the CSV tree"
engine=$(find "$work/values/pq" -path '*CAN1_EngineData*' -name '*.parquet' | head -1)
node "$reader/read_parquet.mjs" "$engine" | sed -n 2p |
  grep -qF '["IdleActive","BYTE_ARRAY","OPTIONAL","UTF8"' || fail "values: IdleActive is no STRING"
node "$reader/read_parquet.mjs" "$engine" | grep -qF '"-NaN"' ||
  fail "values: no out-of-range text in IdleActive"

"$tool" --format=xlsx --dbc-can1="$fixtures/can.dbc" "$work/one" >/dev/null
[ $? -eq 131 ] || fail "--format=xlsx not refused with 131"
echo "ok"
