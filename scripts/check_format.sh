#!/usr/bin/env bash
# Checks that every C++ source of the project is formatted as .clang-format says; with --fix,
# formats them in place. Generated files mark themselves with "clang-format off".
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check_format: run scripts/check_format.sh --fix" >&2
  exit 1
fi
