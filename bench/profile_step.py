"""Where a replay step's instructions go: the datetime conversion, Python objects, our own work.

    .venv/bin/python bench/profile_step.py [--quick] [PATH ...]

Builds the extension as the wheel does (Release) but keeps its symbols, in build/profile, and
replays each input under valgrind's callgrind three times, collecting only inside one function
each time: the iterator's __next__ (every step, nothing of the load or of the caller's loop),
the publish-time conversion (import of "datetime", lookup of the class, utcfromtimestamp and
the DeprecationWarning it issues), and the market definition build (four strptime calls and
the definition objects). Instruction counts do not move with the machine's load, so small
shares are worth reading. Each step's instructions are then split into:

- datetime:    the publish-time conversion, as a whole (its own objects included);
- definitions: rebuilding MarketDefinition objects when a definition arrived;
- objects:     making and freeing the snapshot's Python objects: the interpreter's allocation,
               tracking and freeing, the C library's malloc/free under it, and the extension's
               own constructors and destructors (filling fields, copying ladder levels);
- own:         the rest of the extension: applying the change to the market cache and deciding
               what to reuse;
- other:       the rest of the interpreter (reference counting helpers, lookups, calls) and
               of the C library (the memcpy and memmove that move ladder levels included).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import REPO, DATA, shared_data_dir, shared_recordings  # noqa: E402
from tools import recordings  # noqa: E402

BUILD = REPO / "build" / "profile"
PYTHON = Path(sys.executable)

STEP = "*py::*iter_next*"
DATETIME = "*publish_time_to_datetime*"
DEFINITION = "*make_market_definition*"

# Interpreter and C library functions that exist to make, track or free objects.
ALLOCATION = re.compile(
    r"(^|[^A-Za-z])(_?PyObject_(Malloc|Calloc|Realloc|Free|Init|GC_New|GC_NewVar|GC_Del|GC_Track"
    r"|GC_UnTrack|GC_Link|New)|gc_alloc|PyType_GenericAlloc|_PyType_AllocNoTrack|_?Py_NewReference|_Py_Dealloc|\w*_?dealloc|\w*_alloc"
    r"|PyList_New|PyFloat_FromDouble|PyUnicode_New|_PyLong_New|PyLong_From\w+|PyTuple_New"
    r"|malloc|_int_malloc|free|_int_free|cfree|calloc|tcache\w*|malloc_consolidate"
    r"|unlink_chunk|gc_collect\w*|visit_\w+|\w+_traverse|update_refs|subtract_refs|move_\w+"
    r"|deduce_unreachable|gc_list\w*)\b")

RUNNER = """
import datetime, _strptime, sys, warnings
import vantrel
warnings.simplefilter("ignore", DeprecationWarning)
for _ in vantrel.iter_prices_file(sys.argv[1]):
    pass
"""


def build() -> Path:
    """The extension as the wheel builds it, with symbols, installed into build/profile/pkg."""
    script = REPO / "scripts" / "build-variant.sh"
    if subprocess.run(["bash", str(script), "profile", "-DCMAKE_BUILD_TYPE=Release"]).returncode:
        sys.exit("build failed")
    return BUILD / "pkg"


def callgrind(pkg: Path, path: Path, toggle: str) -> dict[str, int]:
    """Exclusive instructions per function ("object:function"), collected inside `toggle`."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        script = Path(tmp) / "replay.py"
        script.write_text(RUNNER)
        cmd = ["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}",
               f"--toggle-collect={toggle}", str(PYTHON), str(script), str(path)]
        proc = subprocess.run(cmd, capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=str(pkg)))
        if proc.returncode:
            sys.exit(f"callgrind failed on {path.name}: {proc.stderr[-400:]}")
        report = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)],
                                capture_output=True, text=True, check=True).stdout
    costs: dict[str, int] = {}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+)(?:\s+\([^)]*\))?\s+(.*?):(\S.*?)(?:\s+\[(.*)\])?$", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        count = int(m.group(1).replace(",", ""))
        function = m.group(3)
        obj = m.group(4) or m.group(2)
        key = f"{Path(obj).name}:{function}"
        costs[key] = costs.get(key, 0) + count
    return costs


# The extension's functions that build or free Python objects rather than work on the market.
BUILDERS = re.compile(r"make_|read_out_ladder|create_price_list|create<|PriceSizePool|"
                      r"_dealloc|destroy|clear_refs|traverse_refs|to_price_sizes|_traverse|_clear|Ref::")


def split(step: dict[str, int], dt: dict[str, int], definition: dict[str, int]) -> dict[str, int]:
    parts = {"datetime": sum(dt.values()), "definitions": sum(definition.values()),
             "objects": 0, "own": 0, "other": 0}
    for key, count in step.items():
        rest = count - dt.get(key, 0) - definition.get(key, 0)
        obj, function = key.split(":", 1)
        if obj.startswith("vantrel"):
            parts["objects" if BUILDERS.search(function) else "own"] += rest
        elif ALLOCATION.search(function):
            parts["objects"] += rest
        else:
            parts["other"] += rest
    return parts


def inputs(quick: bool, paths: list[str]) -> list[Path]:
    if paths:
        return [Path(p) for p in paths]
    found = []
    shared = shared_data_dir()
    if shared:
        found += [p for p in shared_recordings(shared) if "SELF" in p.name or "1.200806927" in p.name]
    gen = DATA / "gen"
    gen.mkdir(parents=True, exist_ok=True)
    n = 1000 if quick else 5000
    for shape in ("inplay2", "deep20", "five"):
        path = gen / f"profile-{shape}-{n}.gz"
        if not path.exists():
            recordings.generate(str(path), shape, messages=n)
        found.append(path)
    return found


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller generated inputs")
    ap.add_argument("paths", nargs="*")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is needed (apt-get install valgrind)")
    pkg = build()
    names = ["datetime", "definitions", "objects", "own", "other"]
    print(f"{'input':<28} {'steps':>6} {'instr/step':>11} " + " ".join(f"{n:>11}" for n in names))
    for path in inputs(args.quick, args.paths):
        env = dict(os.environ, PYTHONPATH=str(pkg))
        steps = int(subprocess.run(
            [str(PYTHON), "-c", "import sys, vantrel; print(len(vantrel.iter_prices_file(sys.argv[1])))",
             str(path)], capture_output=True, text=True, env=env, check=True).stdout)
        parts = split(callgrind(pkg, path, STEP), callgrind(pkg, path, DATETIME),
                      callgrind(pkg, path, DEFINITION))
        total = sum(parts.values())
        print(f"{path.name[:28]:<28} {steps:>6} {total / steps:>11,.0f} "
              + " ".join(f"{100 * parts[n] / total:>10.1f}%" for n in names), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
