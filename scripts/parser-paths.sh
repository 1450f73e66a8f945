#!/usr/bin/env bash
# Runs the JSON differential test on each line-parser path, chosen at run time by the
# environment (VANTREL_PARSER): the byte-by-byte parser alone, and the plain fast path in front
# of it, must each accept, reject and read lines as the test expects.
#
# Usage: bash scripts/parser-paths.sh [PATH ...]   (default: scalar plain)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/python-env.sh
need_test_venv

paths=("$@")
[ ${#paths[@]} -gt 0 ] || paths=(scalar plain)
for path in "${paths[@]}"; do
  taken=$(VANTREL_PARSER=$path .venv/bin/python -c 'import vantrel._engine as e; print(e.parser_path())')
  [ "$taken" = "$path" ] || { echo "parser-paths: asked for $path, got $taken" >&2; exit 1; }
  echo "parser path $path:"
  VANTREL_PARSER=$path .venv/bin/python -m pytest -p no:cacheprovider -q tests/test_json_differential.py
done
