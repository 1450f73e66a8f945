#!/usr/bin/env python3
"""Loading speed and memory of ``vantrel.iter_prices_file`` against fixed floors.

Each file is measured side by side with its floor in one run, alternating
which goes first, and the medians are compared:

  gzip   load time vs ``zlib.decompress(open(p, 'rb').read(), 31)``   target <= 1.1x
         (<= 1.5x below 1 MB uncompressed, where the load's fixed costs count)
  plain  load time vs ``[json.loads(l) for l in open(p, 'rb') if l.strip()]``
                                                         target vantrel >= 12x faster
  memory RSS held by a loaded iterator in a fresh child process, over the
         file's uncompressed size                                      target <= 1.5x

Calls are timed one at a time, each result dropped before the next call and
outside the clock, as when files are replayed one after another: a load may
reuse the memory the one before gave back, and neither side is charged for
freeing. --held keeps every result of a timing alive until its clock stops
instead, so that each call writes into fresh memory.

The garbage collector is off while timing (both sides); --gc turns it on,
which mostly slows the json floor.

Inputs: every recording in the shared data folder (found beside the
checkout, or named by VANTREL_DATA_DIR; skipped when absent), files generated
by the recording generator (tools/recordings) into bench/data/ (cached), and any paths given.

    .venv/bin/python bench/bench_load.py            # full run
    .venv/bin/python bench/bench_load.py --quick    # short run
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import zlib
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import (BENCH, generated, inner_count, is_gzip, plain_copy,  # noqa: E402
                    shared_data_dir, shared_recordings, timed, timed_in_turn)

GZIP_TARGET = 1.1   # load time over raw decompression, at most
GZIP_SMALL_TARGET = 1.5  # the same below GZIP_SMALL_SIZE uncompressed bytes
GZIP_SMALL_SIZE = 1_000_000
JSON_TARGET = 12.0  # json floor time over load time, at least
MEMORY_TARGET = 1.5  # RSS held over uncompressed bytes, at most
MEMORY_MIN_SIZE = 1_000_000  # below this, fixed allocations swamp the ratio: shown, not judged

FULL_GEN = ["big", "deep20", "inplay2"]
QUICK_GEN = ["deep20:20000"]


# --------------------------------------------------------------------------
# Measurement

KEEP_GC = False  # --gc: leave the cyclic collector running while timing
HELD = False  # --held: every result of a timing alive until its clock stops


def _timed(fn, inner: int) -> float:
    return (timed if HELD else timed_in_turn)(fn, inner, KEEP_GC)


def _inner(fn) -> int:
    # The warm-up call also brings the file into the page cache.
    return inner_count(_timed(fn, 1))


def side_by_side(ours, floor, reps: int) -> tuple[list[float], list[float]]:
    n_ours, n_floor = _inner(ours), _inner(floor)
    a: list[float] = []
    b: list[float] = []
    for i in range(reps):
        # Alternate which goes first so drift in machine state hits both alike.
        if i % 2:
            b.append(_timed(floor, n_floor))
            a.append(_timed(ours, n_ours))
        else:
            a.append(_timed(ours, n_ours))
            b.append(_timed(floor, n_floor))
    return a, b


def load(vantrel, path: str):
    it = vantrel.iter_prices_file(path)
    len(it)
    return it


def zlib_floor(path: str):
    with open(path, "rb") as f:
        return zlib.decompress(f.read(), 31)


def json_floor(path: str):
    with open(path, "rb") as f:
        return [json.loads(line) for line in f if line.strip()]


_CHILD = r"""
import gc, json, sys
sys.path.insert(0, sys.argv[2])
import vantrel
from common import peak_rss, rss

gc.collect()
before = rss()
it = vantrel.iter_prices_file(sys.argv[1])
n = len(it)
gc.collect()
after = rss()
print(json.dumps({"before": before, "after": after, "peak": peak_rss(), "messages": n}))
"""


def memory(path: str) -> dict:
    proc = subprocess.run([sys.executable, "-c", _CHILD, path, str(BENCH)], capture_output=True,
                          text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"memory child failed on {path}:\n{proc.stderr.strip()}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


@dataclass
class Row:
    file: str
    kind: str               # "gzip" or "plain"
    uncompressed: int
    file_bytes: int
    messages: int
    ours_s: float
    floor_s: float
    floor: str
    ratio: float            # gzip: ours/floor (lower is better); plain: floor/ours (higher is better)
    target: str
    ok: bool
    ours_all: list[float]
    floor_all: list[float]


@dataclass
class MemRow:
    file: str
    uncompressed: int
    held: int
    peak: int
    ratio: float
    ok: bool | None


def bench_file(vantrel, path: Path, uncompressed: int, reps: int) -> Row:
    p = str(path)
    messages = len(vantrel.iter_prices_file(p))
    if is_gzip(path):
        ours, floor = side_by_side(lambda: load(vantrel, p), lambda: zlib_floor(p), reps)
        mo, mf = statistics.median(ours), statistics.median(floor)
        ratio = mo / mf
        target = GZIP_TARGET if uncompressed >= GZIP_SMALL_SIZE else GZIP_SMALL_TARGET
        return Row(path.name, "gzip", uncompressed, path.stat().st_size, messages, mo, mf,
                   "zlib", ratio, f"<= {target}x", ratio <= target, ours, floor)
    ours, floor = side_by_side(lambda: load(vantrel, p), lambda: json_floor(p), reps)
    mo, mf = statistics.median(ours), statistics.median(floor)
    ratio = mf / mo
    return Row(path.name, "plain", uncompressed, path.stat().st_size, messages, mo, mf,
               "json", ratio, f">= {JSON_TARGET}x faster", ratio >= JSON_TARGET, ours, floor)


def bench_memory(path: Path, uncompressed: int) -> MemRow:
    m = memory(str(path))
    held = m["after"] - m["before"]
    peak = m["peak"] - m["before"]
    ratio = held / uncompressed
    ok = ratio <= MEMORY_TARGET if uncompressed >= MEMORY_MIN_SIZE else None
    return MemRow(path.name, uncompressed, held, peak, ratio, ok)


# --------------------------------------------------------------------------
# Report

def _mb(n: float) -> str:
    return f"{n / 1e6:.1f}" if n >= 1e6 else f"{n / 1e6:.3f}"


def print_load(rows: list[Row]) -> None:
    head = (f"{'file':28} {'kind':5} {'MB':>7} {'msgs':>8} {'vantrel ms':>11} "
            f"{'floor':>5} {'floor ms':>10} {'ratio':>8}  target")
    print(head)
    print("-" * len(head) + "-" * 14)
    for r in rows:
        ratio = f"{r.ratio:.2f}x"
        print(f"{r.file[:28]:28} {r.kind:5} {_mb(r.uncompressed):>7} {r.messages:>8} "
              f"{r.ours_s * 1e3:>11.1f} {r.floor:>5} {r.floor_s * 1e3:>10.1f} {ratio:>8}  "
              f"{r.target} {'ok' if r.ok else 'MISS'}")


def print_memory(rows: list[MemRow]) -> None:
    head = (f"{'file':28} {'uncompr MB':>10} {'held MB':>9} {'peak MB':>9} {'held/size':>9}  target")
    print(head)
    print("-" * len(head) + "-" * 10)
    for r in rows:
        print(f"{r.file[:28]:28} {_mb(r.uncompressed):>10} {_mb(r.held):>9} {_mb(r.peak):>9} "
              f"{r.ratio:>8.2f}x  <= {MEMORY_TARGET}x "
              f"{'-' if r.ok is None else 'ok' if r.ok else 'MISS'}")
    if any(r.ok is None for r in rows):
        print(f"(-: under {MEMORY_MIN_SIZE // 1_000_000} MB, fixed allocations dominate; not judged)")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 1)[1])
    ap.add_argument("paths", nargs="*", type=Path, help="extra stream files to measure")
    ap.add_argument("--quick", action="store_true",
                    help=f"3 repetitions and only {', '.join(QUICK_GEN)} generated")
    ap.add_argument("--reps", type=int, help="timed repetitions per file (default 5, quick 3)")
    ap.add_argument("--gen", help="generated inputs as shape[:messages], comma separated "
                                  f"(default {','.join(FULL_GEN)}); 'none' for none")
    ap.add_argument("--seed", type=int, default=1, help="seed for generated inputs")
    ap.add_argument("--no-shared", action="store_true", help="skip the shared recordings")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    ap.add_argument("--gc", action="store_true",
                    help="keep the garbage collector on while timing (slows the json floor)")
    ap.add_argument("--held", action="store_true",
                    help="keep each timing's results alive until its clock stops")
    ap.add_argument("--json", type=Path, help="also write the results here")
    args = ap.parse_args(argv)
    global KEEP_GC, HELD
    KEEP_GC = args.gc
    HELD = args.held

    try:
        import vantrel
    except ImportError as exc:
        print(f"cannot import vantrel ({exc}); build it with `bash scripts/setup.sh` "
              "and run this with .venv/bin/python", file=sys.stderr)
        return 2

    reps = args.reps or (3 if args.quick else 5)
    requests = (args.gen.split(",") if args.gen else (QUICK_GEN if args.quick else FULL_GEN))
    requests = [s.strip() for s in requests if s.strip() and s.strip() != "none"]

    # Each entry: (gzip file or None, plain file)
    inputs: list[tuple[Path | None, Path]] = []
    shared = None if args.no_shared else shared_data_dir()
    if shared is None and not args.no_shared:
        print("shared recordings not found; measuring generated files only")
    sources: list[Path] = []
    if shared is not None:
        sources += shared_recordings(shared)
    sources += [generated(s, args.seed) for s in requests]
    sources += [p.resolve() for p in args.paths]
    for src in sources:
        inputs.append((src, plain_copy(src)) if is_gzip(src) else (None, src))

    print(f"python {platform.python_version()}, vantrel from {getattr(vantrel, '__file__', '?')}, "
          f"{os.cpu_count()} cpus, {reps} reps, medians, "
          f"gc {'on' if KEEP_GC else 'off'} while timing, "
          f"{'results held' if HELD else 'one call at a time'}")
    rows: list[Row] = []
    mem_rows: list[MemRow] = []
    for gz, plain in inputs:
        size = plain.stat().st_size
        for path in ([gz] if gz else []) + [plain]:
            print(f"  {path.name} ...", end="", flush=True)
            rows.append(bench_file(vantrel, path, size, reps))
            print(f" {rows[-1].ratio:.2f}x", flush=True)
            if not args.no_memory:
                mem_rows.append(bench_memory(path, size))
    print()
    print_load(rows)
    if mem_rows:
        print()
        print_memory(mem_rows)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({
            "python": platform.python_version(), "reps": reps, "gc": KEEP_GC, "held": HELD,
            "load": [asdict(r) for r in rows], "memory": [asdict(m) for m in mem_rows],
        }, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
