#!/usr/bin/env bash
# Runs a small replay (scripts/memcheck_workload.py) under valgrind's memcheck against a build
# with debug information, and fails when valgrind reports a memory error or a definite leak
# with a frame in the extension. The interpreter's own leftovers at exit are reported, not judged.
#
# Usage: bash scripts/memcheck.sh [BUILD]
#   BUILD: a variant already built under build/ with debug information (scripts/portable.sh's
#   is), to check that one instead of building build/memcheck.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/need-packages.sh g++ valgrind libisal-dev zlib1g-dev libbz2-dev libzstd-dev liblzma-dev \
  pkg-config
. scripts/python-env.sh
need_test_venv

root=$PWD
variant=${1:-memcheck}
build=$root/build/$variant
pkg=$build/pkg
if [ $# -eq 0 ]; then
  bash scripts/build-variant.sh memcheck -DCMAKE_BUILD_TYPE=RelWithDebInfo
elif [ ! -d "$pkg/vantrel" ]; then
  echo "memcheck: no build in $build" >&2
  exit 2
fi
# Without line tables no frame names a file of ours, and every finding would be judged not ours.
if ! readelf -S "$pkg"/vantrel/*.so | grep -q debug_line; then
  echo "memcheck: the build in $build has no line tables" >&2
  exit 2
fi

log=$build/memcheck.log
# pymalloc hands out memory from its own arenas, which memcheck cannot see into.
PYTHONMALLOC=malloc PYTHONPATH=$pkg PYTHONDONTWRITEBYTECODE=1 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --num-callers=40 --fullpath-after= --log-file="$log" \
    "$root/.venv/bin/python" scripts/memcheck_workload.py

"$root/.venv/bin/python" - "$log" "$root" "$pkg" <<'PY'
import re
import sys

log, root, pkg = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(log).read()
# Records are separated by blank lines after the "==pid== " prefix is stripped.
lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
records, current = [], []
for line in lines:
    if line.strip():
        current.append(line)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)


def ours(record):
    # Frames run from the allocation outwards. Two kinds of blocks the extension causes are
    # the interpreter's to keep until exit: modules imported by the first datetime call, and
    # interned strings (dict keys set by name are interned, and interned strings are immortal).
    for line in record[1:]:
        if f"{root}/src/" in line or pkg in line:
            return True
        if any(f in line for f in ("import_find_and_load", "PyImport_", "PyDict_SetItemString", "PyUnicode_Intern")):
            return False
    return False


errors = [r for r in records if re.match(r"(Invalid|Conditional|Use of uninit|Mismatched|Source and dest|Syscall param)", r[0]) and ours(r)]
leaks = [r for r in records if "definitely lost in loss record" in r[0]]
our_leaks = [r for r in leaks if ours(r)]
summary = [l for l in lines if l.startswith(("ERROR SUMMARY", "   definitely lost", "   indirectly lost"))]
print("memcheck:", "; ".join(s.strip() for s in summary))
print(f"memcheck: {len(leaks)} definite leak record(s) in all, {len(our_leaks)} with a frame in the extension; "
      f"{len(errors)} memory error(s) in the extension")
for r in errors + our_leaks:
    print("\n".join(r[:20]), end="\n\n")
sys.exit(1 if errors or our_leaks else 0)
PY
