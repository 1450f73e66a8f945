#!/usr/bin/env bash
# Builds the extension pinned to each line-parser path (build/parser-PATH) and runs the JSON
# differential test against each build: the byte-by-byte parser alone, and the plain fast path
# in front of it, must each accept, reject and read lines as the test expects.
#
# Usage: bash scripts/parser-paths.sh [PATH ...]   (default: scalar plain)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/python-env.sh
need_test_venv

root=$PWD
paths=("$@")
[ ${#paths[@]} -gt 0 ] || paths=(scalar plain)
for path in "${paths[@]}"; do
  pkg=$root/build/parser-$path/pkg
  bash scripts/build-variant.sh "parser-$path" -DCMAKE_BUILD_TYPE=Release -DVANTREL_PARSER="$path"
  echo "parser path $path:"
  PYTHONPATH=$pkg${PYTHONPATH:+:$PYTHONPATH} PYTHONDONTWRITEBYTECODE=1 \
    "$root/.venv/bin/python" - "$pkg" <<'PY'
import sys
import vantrel.vantrel as native
assert native.__file__.startswith(sys.argv[1]), native.__file__
PY
  PYTHONPATH=$pkg${PYTHONPATH:+:$PYTHONPATH} PYTHONDONTWRITEBYTECODE=1 \
    "$root/.venv/bin/python" -m pytest -p no:cacheprovider -q tests/test_json_differential.py
done
