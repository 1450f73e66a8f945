#!/usr/bin/env bash
# Installs the repaired wheel from dist/ (scripts/wheel.sh makes it) into a fresh virtual
# environment with the test dependencies, and runs the test suite against that install.
#
# Usage: bash scripts/test-wheel.sh [PYTHON] [pytest arguments]
#   PYTHON: a version (3.12 by default) or an interpreter's path; pytest arguments default to
#   -q -n auto tests (the whole suite on every core). Test paths are relative to the checkout.
#
# The suite runs from outside the checkout, so `vantrel` can only come from the venv's
# site-packages, and that is asserted before the run. The -dev packages cannot be uninstalled
# safely on a shared machine (or in CI), so "needs none of them" is shown the way the loader
# sees it: ldd of the installed modules must resolve ISA-L, bzip2, zstd and xz to the copies in
# the wheel's vantrel.libs, and nothing else outside the C and C++ runtimes.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh
root=$PWD

python=$(find_python "${1:-3.12}")
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- -q -n auto tests
# The run is from outside the checkout: its test paths are made absolute.
args=()
for arg in "$@"; do
  case $arg in
    tests | tests/*) args+=("$root/$arg") ;;
    *) args+=("$arg") ;;
  esac
done
tag=$(python_tag "$python")
wheel=$(ls dist/vantrel-*-cp$tag-cp$tag-manylinux*.whl 2>/dev/null) ||
  { echo "test-wheel: no repaired cp$tag wheel in dist/ (run scripts/wheel.sh first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$root/$wheel[test]"

cd "$work"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
"$work/venv/bin/python" - "$site" <<'PY'
import sys
import vantrel._engine, vantrel.vantrel
for module in (vantrel.vantrel, vantrel._engine):
    assert module.__file__.startswith(sys.argv[1] + "/"), f"{module.__name__} from {module.__file__}"
PY
"$work/venv/bin/python" "$root/scripts/bundled_libs.py" "$site/vantrel"
echo "test-wheel: $(basename "$wheel") in a fresh venv ($("$work/venv/bin/python" -V))"
"$work/venv/bin/python" -m pytest -p no:cacheprovider --rootdir "$root" "${args[@]}"
