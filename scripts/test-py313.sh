#!/usr/bin/env bash
# Builds the package for Python 3.13 into .venv313 (beside the usual .venv, which it leaves
# alone) and runs the test suite there. PYTHON=/path/to/python3.13 overrides the pyenv lookup.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${PYTHON:-}" ]; then
  v=$(pyenv versions --bare | grep -E '^3\.13(\.[0-9]+)?$' | sort -V | tail -n 1)
  [ -n "$v" ] || { echo "test-py313: Python 3.13 not found (set PYTHON=...)" >&2; exit 1; }
  PYTHON=$(PYENV_VERSION="$v" pyenv which python3.13)
fi
PYTHON="$PYTHON" VENV=.venv313 bash scripts/setup.sh
.venv313/bin/python -m pytest -q tests "$@"
