#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) into
# build/asan and runs the test suite against that build. The interpreter itself is not
# instrumented, so the sanitizer runtimes are preloaded and Python's own allocator is switched
# off: every allocation then goes through ASan, and an overrun of a Python object is caught too.
#
# Usage: bash scripts/sanitize.sh [pytest arguments]   (default: -q -n auto tests)
# Needs .venv from scripts/setup.sh --tests (run first when .venv or its test packages are
# missing).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/need-packages.sh g++ libasan8 libubsan1 libisal-dev zlib1g-dev libbz2-dev libzstd-dev \
  liblzma-dev doctest-dev pkg-config
. scripts/python-env.sh
need_test_venv

root=$PWD
pkg=$root/build/asan/pkg
# The core's unit tests and the fuzz replayers are configured too (scripts/core-tests.sh builds
# them here), so that the core is compiled once for all of them.
bash scripts/build-variant.sh asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DVANTREL_SANITIZE=ON -DVANTREL_CORE_TESTS=ON -DVANTREL_FUZZ_REPLAY=ON -DVANTREL_INFLATE=isal

asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan_rt $ubsan_rt"
# The interpreter keeps memory alive until exit on purpose; leak reports would be all noise.
# Everything else stays fatal.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export PYTHONPATH=$pkg${PYTHONPATH:+:$PYTHONPATH}
export PYTHONDONTWRITEBYTECODE=1

# Make sure it is this build that the tests load, and that the runtime really is active.
"$root/.venv/bin/python" - "$pkg" <<'EOF'
import ctypes, sys
import vantrel.vantrel as native
assert native.__file__.startswith(sys.argv[1]), native.__file__
assert hasattr(ctypes.CDLL(None), "__asan_init"), "ASan runtime not loaded"
EOF

if [ $# -eq 0 ]; then set -- -q -n auto tests; fi
"$root/.venv/bin/python" -m pytest -p no:cacheprovider "$@"
