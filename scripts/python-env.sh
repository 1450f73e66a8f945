# Sourced by the build scripts: finding an interpreter, preparing a venv that can build the
# package, and running pip builds whose CMake warnings reach the terminal.

# find_python [VERSION|PATH]: prints the interpreter to use. A path or command name is taken as
# it is; a version (3.12, the default, or 3.13) is looked up on PATH, then under pyenv.
find_python() {
  local want=${1:-3.12}
  if [[ ! $want =~ ^3\.[0-9]+$ ]]; then
    command -v "$want" || { echo "no Python at $want" >&2; return 1; }
    return
  fi
  if "python$want" -c '' 2>/dev/null; then command -v "python$want"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare | grep -E "^${want//./\\.}(\\.[0-9]+)?\$" | sort -V | tail -n 1)
    if [ -n "$v" ]; then PYENV_VERSION="$v" pyenv which "python$want"; return; fi
  fi
  echo "Python $want not found (set PYTHON=/path/to/python$want)" >&2
  return 1
}

# python_tag PYTHON: the CPython tag of an interpreter, e.g. 312.
python_tag() {
  "$1" -c 'import sys; print("%d%d" % sys.version_info[:2])'
}

# build_venv PYTHON VENV: makes VENV from PYTHON when missing and gives it what building the
# package without isolation needs.
build_venv() {
  [ -x "$2/bin/python" ] || "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" ninja cmake
}

# need_test_venv: .venv with the package and what the tests and their helpers import, made
# (scripts/setup.sh --tests) when either is missing: a .venv from the plain setup has neither.
need_test_venv() {
  .venv/bin/python -c "import vantrel, pytest, betfairlightweight, zstandard, pyarrow" \
    2>/dev/null || bash scripts/setup.sh --tests
}

# werror_args: the pip arguments that make compiler warnings fail the build when
# VANTREL_WERROR=1 (set by CI).
werror_args() {
  [ "${VANTREL_WERROR:-0}" = 1 ] && echo "-C cmake.define.VANTREL_WERROR=ON"
  return 0
}

# pip_build LOG PIP [ARGS...]: runs a pip command that builds the package, its full output in
# LOG. pip hides what the build prints unless it fails, so CMake's warnings (a library that was
# not found, and what that costs) are pulled out of the log and shown; a failure shows the log's
# end.
pip_build() {
  local log=$1
  shift
  mkdir -p "$(dirname "$log")"
  # The machines this runs on are small and shared; ninja would otherwise take every core.
  export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
  if ! "$@" -v --disable-pip-version-check >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "build failed; full log in $log" >&2
    return 1
  fi
  # A warning runs from its heading to the first blank line.
  awk '/^[[:space:]]*CMake Warning/ {show = 1} show {print} show && /^[[:space:]]*$/ {show = 0}' "$log" >&2
}
