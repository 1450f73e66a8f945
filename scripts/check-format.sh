#!/usr/bin/env bash
# Fails when a C++ source under src/, fuzz/ or tests/core/ differs from what clang-format makes
# of it; `bash scripts/check-format.sh --fix` rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/need-packages.sh clang-format
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'tests/core/*.cpp' 'tests/core/*.hpp')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
fi
