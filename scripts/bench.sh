#!/usr/bin/env bash
# Builds vantrel, brings in the peer with its speed extras and valgrind, then runs the
# benchmark with the arguments given (--quick, --update-readme, ...).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/need-packages.sh valgrind ||
  echo "bench: no valgrind, so no instruction counts" >&2
# The extras alone: installing ".[bench]" would rebuild the package.
mapfile -t extras < <(.venv/bin/python -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["bench"]))')
.venv/bin/python -m pip install -q --disable-pip-version-check "${extras[@]}"
exec .venv/bin/python bench/run.py "$@"
