#!/usr/bin/env bash
# Checks the type stubs of the extension modules against what they really hold (mypy's
# stubtest, on the build in .venv) and the package and examples with mypy in strict mode.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
# matplotlib ships its own types, which the examples are checked against.
.venv/bin/python -m pip install -q --disable-pip-version-check "mypy>=1.10" matplotlib
# From outside the checkout, so that the installed package is the one checked.
cd /tmp
"$OLDPWD/.venv/bin/python" -m mypy.stubtest vantrel.vantrel vantrel._engine
"$OLDPWD/.venv/bin/python" -m mypy --config-file "$OLDPWD/pyproject.toml" --strict -p vantrel
"$OLDPWD/.venv/bin/python" -m mypy --config-file "$OLDPWD/pyproject.toml" --strict "$OLDPWD"/examples/*.py
