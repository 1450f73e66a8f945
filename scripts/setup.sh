#!/usr/bin/env bash
# Sets up a fresh Debian machine for vantrel: system libraries, a Python 3.12 virtual
# environment in .venv, and the package built and installed into it. VENV=dir puts the
# environment elsewhere (with PYTHON=..., another interpreter's build beside the usual one).
# The build's log is kept in build/setup.log; CMake's warnings from it are shown.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh

bash scripts/need-packages.sh g++ libisal-dev zlib1g-dev libbz2-dev libzstd-dev liblzma-dev pkg-config ||
  echo "setup: building with the packages that are there" >&2

venv=${VENV:-.venv}
build_venv "$(find_python "${PYTHON:-3.12}")" "$venv"
# No build isolation: the build directory under build/ is kept, so rebuilds are incremental.
# shellcheck disable=SC2046
pip_build build/setup.log "$venv/bin/python" -m pip install --no-build-isolation \
  $(werror_args) ".[test]"
