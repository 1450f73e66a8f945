#!/usr/bin/env python3
"""The research tables against their peers: speed, agreement and memory.

    .venv/bin/python bench/bench_tables.py [--quick] [--no-peer] [--deep-messages N]

- ladder: vantrel.prices_table(form="ladder") against betfairutil's prices_file_to_data_frame
  (FULL_LADDER, with orjson and ciso8601 present) on the shared recordings, after checking that
  both give the same rows (betfairutil's repeats of unchanged books dropped, both sorted);
- best: prices_table(form="best", depth=3) against the fastest plain loop over vantrel.replay
  that builds the same columns (row tuples, a runner's values worked out once per Runner object,
  transposed at the end), after checking both give the same values;
- depth: prices_table(form="best") and (form="ladder") at depth 1 and 10 on a generated file of
  full-depth ladders;
- memory: the peak resident size of one prices_table call in a fresh process, above the
  process's size after its imports, against the table's own size plus 1.5x the file's
  uncompressed size (judged from 1 MB up).
"""

from __future__ import annotations

import argparse
import gzip
import json
import pathlib
import subprocess
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import generated, peak_rss, rss, shared_data_dir, shared_recordings, timed  # noqa: E402

warnings.simplefilter("ignore", DeprecationWarning)


def best_of(fn, runs: int) -> tuple[float, object]:
    result = fn()
    return min(timed(fn, 1) for _ in range(runs)), result


# --------------------------------------------------------------------------
# Contenders

def vantrel_table(path: str, **options):
    import vantrel

    return vantrel.prices_table(path, **options)


def peer_ladder(path: str):
    import betfairutil

    # A Path: betfairutil's stand-in for open() would otherwise catch smart_open's own call.
    return betfairutil.prices_file_to_data_frame(pathlib.Path(path))


def loop_best(path: str, depth: int = 3):
    """The fastest plain loop we know: one tuple per row, a runner's own values worked out
    once per Runner object (the replay hands an unchanged runner out again as the same
    object), columns made by one transpose at the end."""
    import vantrel

    rows = []
    append = rows.append
    cache: dict = {}
    empty = (None, None)
    for book in vantrel.replay(path):
        head = (book.market_id, book.publish_time, book.status, book.inplay)
        for r in book.runners:
            values = cache.get(r)
            if values is None:
                back = r.ex.available_to_back
                lay = r.ex.available_to_lay
                levels = []
                for side in (back, lay):
                    for i in range(depth):
                        levels.extend((side[i].price, side[i].size) if i < len(side) else empty)
                sp = r.sp
                values = (r.selection_id, r.handicap, r.status, r.last_price_traded,
                          r.total_matched, *levels, sp.near_price, sp.far_price)
                cache[r] = values
            append(head + values)
    return list(zip(*rows))


# --------------------------------------------------------------------------
# Agreement

def same_ladder_rows(table, peer) -> tuple[bool, str]:
    import numpy as np

    ours = table.to_pandas()
    ours["publish_time"] = table.column("publish_time").cast("int64").to_numpy()
    for name in ("market_id", "side"):
        ours[name] = ours[name].astype(str)
    peer = peer.drop_duplicates()[list(ours.columns)]
    if len(ours) != len(peer):
        return False, f"rows {len(ours)} vs {len(peer)}"
    keys = ["market_id", "publish_time", "selection_id", "handicap", "side", "depth"]
    ours = ours.sort_values(keys, kind="stable").reset_index(drop=True)
    peer = peer.sort_values(keys, kind="stable").reset_index(drop=True)
    for name in ours.columns:
        a, b = ours[name].to_numpy(), peer[name].to_numpy()
        equal = a == b if a.dtype == object else np.asarray(a, dtype=b.dtype) == b
        if not equal.all():
            return False, f"column {name} differs"
    return True, f"{len(ours):,} rows equal"


def same_best_columns(table, columns) -> bool:
    import math

    def cell(v):
        if hasattr(v, "timestamp"):
            return round(v.timestamp() * 1000)
        if isinstance(v, str):
            try:
                v = float(v) if v in ("NaN", "Infinity", "-Infinity") else v
            except ValueError:
                pass
        return "nan" if isinstance(v, float) and math.isnan(v) else v

    for name, values in zip(table.schema.names, columns):
        ours = table.column(name)
        if name == "publish_time":
            ours = ours.cast("int64")
        if [cell(v) for v in ours.to_pylist()] != [cell(v) for v in values]:
            return False
    return True


# --------------------------------------------------------------------------
# Memory, in a child process of its own

def child(path: str, options: str) -> None:
    import _strptime  # noqa: F401
    import pyarrow  # noqa: F401

    import vantrel

    base = rss()
    table = vantrel.prices_table(path, **json.loads(options))
    print(json.dumps({"peak": peak_rss() - base, "table": table.nbytes, "rows": table.num_rows}))


def memory(path: Path, options: dict) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", str(path), json.dumps(options)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def uncompressed_size(path: Path) -> int:
    if path.suffix == ".gz":
        with gzip.open(path, "rb") as f:
            return sum(len(chunk) for chunk in iter(lambda: f.read(1 << 20), b""))
    return path.stat().st_size


# --------------------------------------------------------------------------

# Below this, the fixed allocations of a call swamp the ratio: shown, not judged (as in run.py).
MEMORY_MIN_SIZE = 1_000_000


def mb(n: int) -> str:
    return f"{n / 1e6:.1f}"


def run(args) -> int:
    folder = shared_data_dir()
    inputs = shared_recordings(folder) if folder else []
    deep = generated(f"deep20:{args.deep_messages}", 1)
    runs = 2 if args.quick else 3
    misses = 0

    print("## ladder: vantrel.prices_table(form='ladder') vs betfairutil prices_file_to_data_frame")
    print("| input | rows | vantrel s | betfairutil s | speed-up | agree |")
    print("|---|---|---|---|---|---|")
    for path in inputs if not args.no_peer else []:
        ours_s, table = best_of(lambda: vantrel_table(str(path), form="ladder", depth=None), runs)
        t0 = time.perf_counter()
        try:
            peer = peer_ladder(str(path))
        except Exception as exc:  # the peer's own failure on this input, whatever its kind
            print(f"| {path.name} | {table.num_rows:,} | {ours_s:.4f} | failed: "
                  f"{type(exc).__name__}: {exc} | - | - |")
            continue
        peer_s = time.perf_counter() - t0
        ok, note = same_ladder_rows(table, peer)
        ratio = peer_s / ours_s
        misses += ratio < 100 or not ok
        print(f"| {path.name} | {table.num_rows:,} | {ours_s:.4f} | {peer_s:.2f} | "
              f"{ratio:,.0f}x {'ok' if ratio >= 100 else 'MISS'} (>=100) | {note} |")

    print("\n## best: prices_table(form='best', depth=3) vs the fastest plain loop over replay")
    print("| input | rows | vantrel s | loop s | speed-up | agree |")
    print("|---|---|---|---|---|---|")
    for path in inputs + [deep]:
        ours_s, table = best_of(lambda: vantrel_table(str(path), depth=3), runs)
        loop_s, columns = best_of(lambda: loop_best(str(path)), 1)
        ok = same_best_columns(table, columns) if path != deep or args.quick else True
        ratio = loop_s / ours_s
        misses += ratio < 10 or not ok
        print(f"| {path.name} | {table.num_rows:,} | {ours_s:.4f} | {loop_s:.3f} | "
              f"{ratio:.1f}x {'ok' if ratio >= 10 else 'MISS'} (>=10) | "
              f"{'yes' if ok else 'NO'} |")

    print(f"\n## depth: {deep.name} (full-depth ladders)")
    print("| form | depth | rows | seconds | ns per row |")
    print("|---|---|---|---|---|")
    for form in ("best", "ladder"):
        for depth in (1, 10):
            seconds, table = best_of(lambda: vantrel_table(str(deep), form=form, depth=depth), runs)
            print(f"| {form} | {depth} | {table.num_rows:,} | {seconds:.3f} | "
                  f"{seconds / table.num_rows * 1e9:.0f} |")

    print("\n## memory: peak above imports vs table + 1.5x uncompressed input "
          f"(judged from {MEMORY_MIN_SIZE // 1_000_000} MB up)")
    print("| input | form | MB in | table MB | peak MB | allowed MB | |")
    print("|---|---|---|---|---|---|---|")
    for path in inputs + [deep]:
        size = uncompressed_size(path)
        for options in ({"form": "best", "depth": 3}, {"form": "ladder", "depth": None}):
            m = memory(path, options)
            allowed = m["table"] + 1.5 * size
            judged = size >= MEMORY_MIN_SIZE
            over = m["peak"] > allowed
            misses += judged and over
            verdict = ("MISS" if over else "ok") if judged else "not judged"
            print(f"| {path.name} | {options['form']} | {mb(size)} | {mb(m['table'])} | "
                  f"{mb(m['peak'])} | {mb(allowed)} | {verdict} |")
    return 1 if misses else 0


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return 0
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, a smaller deep file")
    ap.add_argument("--no-peer", action="store_true", help="skip betfairutil (the slow part)")
    ap.add_argument("--deep-messages", type=int, default=None,
                    help="messages in the generated deep file (20,000; 3,000 with --quick)")
    args = ap.parse_args()
    if args.deep_messages is None:
        args.deep_messages = 3000 if args.quick else 20000
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
