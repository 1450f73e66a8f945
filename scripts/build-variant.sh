#!/usr/bin/env bash
# Builds the extension into build/NAME with the CMake options given and installs it, with the
# Python package, into build/NAME/pkg: for runs against a build other than the wheel's (put
# build/NAME/pkg first on PYTHONPATH). The build log stays in build/NAME/build.log and is
# shown when the build fails.
#
# Usage: bash scripts/build-variant.sh NAME [cmake options]
set -euo pipefail
cd "$(dirname "$0")/.."

name=$1
shift
root=$PWD
build=$root/build/$name
pkg=$build/pkg
PATH=$root/.venv/bin:$PATH  # cmake and ninja come with the venv

mkdir -p "$build"
werror=OFF
[ "${VANTREL_WERROR:-0}" = 1 ] && werror=ON
if ! { cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$root/.venv/bin/python" \
         -DVANTREL_WERROR="$werror" "$@" &&
       cmake --build "$build" --target vantrel; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  exit 1
fi
rm -rf "$pkg"
cmake --install "$build" --prefix "$pkg" >/dev/null
# The package as a wheel installs it: its Python files, the stubs and the typed marker.
# The package's Python files, subpackages included, beside the modules just built.
(cd python/vantrel && find . -name '*.py' -o -name '*.pyi' -o -name py.typed) |
  while read -r file; do
    mkdir -p "$pkg/vantrel/$(dirname "$file")"
    cp "python/vantrel/$file" "$pkg/vantrel/$file"
  done
