#!/usr/bin/env bash
# Fails when a C++ source under src/, fuzz/ or tests/core/ differs from what clang-format makes
# of it; `bash scripts/check-format.sh --fix` rewrites them instead. The version is pinned (from
# PyPI, in a venv of its own under build/): another version formats some lines differently.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh

version=14.0.6
tools=build/format-venv
if ! "$tools/bin/clang-format" --version 2>/dev/null | grep -q "version $version"; then
  rm -rf "$tools"
  "$(find_python "${PYTHON:-3.12}")" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check "clang-format==$version"
fi
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'tests/core/*.cpp' 'tests/core/*.hpp')
if [ "${1:-}" = --fix ]; then
  "$tools/bin/clang-format" -i "${files[@]}"
else
  "$tools/bin/clang-format" --dry-run -Werror "${files[@]}"
fi
