#!/usr/bin/env bash
# Sets up a fresh Debian machine for vantrel: system libraries, a Python 3.12 virtual
# environment in .venv, and the package built and installed into it: what the examples need and
# no more. With --tests, also what the test suite needs (the `test` extras: the peers, pyarrow,
# pandas, dask...). VENV=dir puts the environment elsewhere (with PYTHON=..., another
# interpreter's build beside the usual one). The build's log is kept in build/setup.log;
# CMake's warnings from it are shown.
#
# Usage: bash scripts/setup.sh [--tests]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh

target=.
case "${1:-}" in
  "") ;;
  --tests) target=".[test]" ;;
  *)
    echo "usage: bash scripts/setup.sh [--tests]" >&2
    exit 2
    ;;
esac

bash scripts/need-packages.sh g++ libisal-dev zlib1g-dev libbz2-dev libzstd-dev liblzma-dev pkg-config ||
  echo "setup: building with the packages that are there" >&2

venv=${VENV:-.venv}
build_venv "$(find_python "${PYTHON:-3.12}")" "$venv"
# betfairutil (a test dependency) comes as a source archive only, and is built without isolation
# like everything else: it needs setuptools.
[ "$target" = . ] || "$venv/bin/python" -m pip install -q --disable-pip-version-check setuptools
# No build isolation: the build directory under build/ is kept, so rebuilds are incremental.
# shellcheck disable=SC2046
pip_build build/setup.log "$venv/bin/python" -m pip install --no-build-isolation \
  $(werror_args) "$target"
