#!/usr/bin/env bash
# Sets up, builds tabulon and converts the example logs in examples/logs (a plain, a
# compressed and an encrypted file of one logging session) with the DBC files and the password
# file in examples/, then shows the CSV files it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target tabulon
tabulon="$PWD/build/release/src/tabulon"

cd examples
rm -rf out
mkdir out
# can1.dbc and lin1.dbc are found by name, passwords.json is the default password file.
"$tabulon" --verbosity=3 --output-directory=out logs/0A1B2C3D
echo
echo "CSV files written below examples/out:"
find out -name '*.csv' | sort
echo
first=$(find out -name '*.csv' | sort | head -n 1)
echo "The first lines of $first:"
head -n 4 "$first"
