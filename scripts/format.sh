#!/usr/bin/env bash
# Checks that every C and C++ source the repository tracks is laid out as .clang-format says;
# with --fix, lays them out so.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${sources[@]}"
else
  clang-format --dry-run --Werror "${sources[@]}"
fi
