"""Helpers the benchmark scripts share: where inputs come from, timing, process memory.

Kept free of heavy imports: measuring children import it before taking their
memory baseline.
"""

from __future__ import annotations

import gc
import gzip
import json
import os
import resource
import shutil
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DATA = BENCH / "data"
# The recording generator (tools/recordings) lives at the repository's root.
if str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))


# --------------------------------------------------------------------------
# Inputs

def shared_data_dir() -> Path | None:
    """The folder of real recordings: VANTREL_DATA_DIR, else shared/data beside the checkout."""
    env = os.environ.get("VANTREL_DATA_DIR")
    if env:
        return Path(env) if Path(env).is_dir() else None
    for parent in REPO.parents:
        cand = parent / "shared" / "data"
        if cand.is_dir():
            return cand
    return None


def shared_recordings(folder: Path) -> list[Path]:
    return sorted(p for p in folder.iterdir()
                  if p.is_file() and p.name != "README.md" and not p.name.startswith("."))


def is_gzip(path: Path) -> bool:
    return path.suffix in (".gz", ".gzip")


def _fresh(meta_path: Path, meta: dict, target: Path) -> bool:
    try:
        return target.exists() and json.loads(meta_path.read_text()) == meta
    except (OSError, ValueError):
        return False


def plain_copy(src: Path) -> Path:
    """An uncompressed copy of a gzip file under bench/data/plain, reused while the source is unchanged."""
    out_dir = DATA / "plain"
    out_dir.mkdir(parents=True, exist_ok=True)
    dst = out_dir / src.with_suffix("").name
    meta_path = dst.with_name(dst.name + ".meta")
    st = src.stat()
    meta = {"source": str(src), "size": st.st_size, "mtime_ns": st.st_mtime_ns}
    if not _fresh(meta_path, meta, dst):
        tmp = dst.with_name(dst.name + f".tmp{os.getpid()}")
        with gzip.open(src, "rb") as fin, open(tmp, "wb") as fout:
            shutil.copyfileobj(fin, fout, 1 << 20)
        os.replace(tmp, dst)
        meta_path.write_text(json.dumps(meta))
    return dst


def generated(request: str, seed: int) -> Path:
    """A generated gzip file for ``shape[:messages]``, regenerated when the generator changes."""
    from tools import recordings

    shape, _, count = request.partition(":")
    if shape not in recordings.SHAPES:
        raise SystemExit(f"unknown shape {shape!r}; choose from {', '.join(recordings.SHAPES)}")
    messages = int(count) if count else None
    out_dir = DATA / "gen"
    out_dir.mkdir(parents=True, exist_ok=True)
    name = f"{shape}{f'-m{messages}' if messages else ''}-s{seed}.gz"
    dst = out_dir / name
    meta_path = dst.with_name(dst.name + ".meta")
    meta = {"shape": shape, "messages": messages, "seed": seed,
            "generator": recordings.fingerprint()}
    if not _fresh(meta_path, meta, dst):
        print(f"generating {dst.relative_to(REPO)} ...", flush=True)
        stats = recordings.generate(dst, shape, messages=messages, seed=seed)
        print("  " + stats.line(), flush=True)
        meta_path.write_text(json.dumps(meta))
    return dst


# --------------------------------------------------------------------------
# Timing

MIN_TIMED = 0.05  # seconds; calls faster than this are repeated within one timing


def timed(fn, inner: int, keep_gc: bool = False, cpu: list | None = None) -> float:
    """Seconds per call. Results stay alive until the clock stops, so no side
    pays for tearing down what it built (a list of dicts is slow to free).

    With ``cpu``, the process's CPU seconds per call are appended to it: on a
    machine shared with other work, a wait for a core stretches the wall clock
    but not this."""
    results = [None] * inner
    gc.collect()
    # The collector's passes over millions of fresh objects would slow the
    # pure-Python contenders most; off by default for every side alike.
    if not keep_gc:
        gc.disable()
    try:
        c0 = time.process_time()
        t0 = time.perf_counter()
        for i in range(inner):
            results[i] = fn()
        elapsed = time.perf_counter() - t0
        used = time.process_time() - c0
    finally:
        gc.enable()
    del results
    if cpu is not None:
        cpu.append(used / inner)
    return elapsed / inner


def timed_in_turn(fn, inner: int, keep_gc: bool = False) -> float:
    """Seconds per call, each call timed on its own and its result dropped before the next
    starts, outside the clock: files replayed one after another in one process, where a call
    may reuse what the one before gave back. Freeing is not counted, for any side."""
    gc.collect()
    if not keep_gc:
        gc.disable()
    total = 0.0
    try:
        for _ in range(inner):
            t0 = time.perf_counter()
            result = fn()
            total += time.perf_counter() - t0
            del result
    finally:
        gc.enable()
    return total / inner


def inner_count(once: float) -> int:
    """Calls per timing for a call that took ``once`` seconds."""
    return max(1, min(1000, int(MIN_TIMED / max(once, 1e-6))))


# --------------------------------------------------------------------------
# Work

def read_prices(runners) -> None:
    """What "read prices" asks of a snapshot's runners, in vantrel and in the peer's
    MarketBook objects alike: best back, best lay and last traded price."""
    for r in runners:
        back = r.ex.available_to_back
        lay = r.ex.available_to_lay
        if back:
            back[0].price
        if lay:
            lay[0].price
        r.last_price_traded


# --------------------------------------------------------------------------
# Process memory

def rss() -> int:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def peak_rss() -> int:
    # ru_maxrss survives exec on Linux, so it would report the parent's peak.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
