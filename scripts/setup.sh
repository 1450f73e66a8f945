#!/usr/bin/env bash
# Sets up a fresh Debian machine for vantrel: system libraries, a Python 3.12 virtual
# environment in .venv, and the package built and installed into it. VENV=dir puts the
# environment elsewhere (with PYTHON=..., another interpreter's build beside the usual one).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/need-packages.sh g++ libisal-dev zlib1g-dev libbz2-dev libzstd-dev liblzma-dev pkg-config ||
  echo "setup: building with the packages that are there" >&2

find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if python3.12 -c '' 2>/dev/null; then command -v python3.12; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1)
    if [ -n "$v" ]; then PYENV_VERSION="$v" pyenv which python3.12; return; fi
  fi
  echo "setup: Python 3.12 not found (set PYTHON=/path/to/python3.12)" >&2
  exit 1
}

venv=${VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  "$(find_python)" -m venv "$venv"
fi
# setuptools: betfairutil (a test dependency) comes as a source archive only, and is built
# without isolation below like everything else; a pip cache from an earlier build hides that.
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" ninja cmake pytest setuptools
# No build isolation: the build directory under build/ is kept, so rebuilds are incremental.
# VANTREL_WERROR=1 (set by CI) makes compiler warnings fail the build.
werror=()
[ "${VANTREL_WERROR:-0}" = 1 ] && werror=(-C cmake.define.VANTREL_WERROR=ON)
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  "${werror[@]}" ".[test]"
