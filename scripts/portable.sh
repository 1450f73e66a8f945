#!/usr/bin/env bash
# Builds the extension with only the portable code paths (VANTREL_PORTABLE: no SIMD, none of
# Linux's memory calls, no heap trim), as other platforms build it, into build/portable; checks
# that no Linux-only call is left in it, then runs the core's unit tests and the test suite
# against that build.
#
# Usage: bash scripts/portable.sh [pytest arguments]   (default: -q -n auto tests)
# Needs .venv from scripts/setup.sh --tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/need-packages.sh doctest-dev binutils
. scripts/python-env.sh
need_test_venv

root=$PWD
build=$root/build/portable
# With line tables, which change no code, so that scripts/memcheck.sh can check this build and
# name the lines of what it finds.
bash scripts/build-variant.sh portable -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g1 \
  -DVANTREL_PORTABLE=ON -DVANTREL_CORE_TESTS=ON
if ! PATH=$root/.venv/bin:$PATH cmake --build "$build" --target core_tests >>"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  exit 1
fi
linux_only=$(nm -D --undefined-only "$build"/pkg/vantrel/*.so | grep -wE 'mremap|madvise|malloc_trim' || true)
if [ -n "$linux_only" ]; then
  echo "portable build still calls: $linux_only" >&2
  exit 1
fi

echo "core tests (portable paths):"
"$build/core_tests"
export PYTHONPATH=$build/pkg${PYTHONPATH:+:$PYTHONPATH}
export PYTHONDONTWRITEBYTECODE=1
"$root/.venv/bin/python" - "$build/pkg" <<'PY'
import sys
import vantrel._engine as engine
assert engine.__file__.startswith(sys.argv[1]), engine.__file__
PY
if [ $# -eq 0 ]; then set -- -q -n auto tests; fi
"$root/.venv/bin/python" -m pytest -p no:cacheprovider "$@"
