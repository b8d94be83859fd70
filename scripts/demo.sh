#!/usr/bin/env bash
# Sets up, builds tabulon and runs it on the example data shipped in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target tabulon
build/release/src/tabulon --help
