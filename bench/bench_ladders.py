"""How the cost of one wide ladder change grows with its levels.

    .venv/bin/python bench/bench_ladders.py [--quick] [--repeat N]

A recording of one market whose one runner change carries N levels on one ladder, in the
ladder's own order, in reverse and shuffled, replayed whole (`vantrel.replay` of the bytes,
one thread). Prints the time per level at each N and the growth from the smallest N to the
largest against the growth of N: a ladder whose change costs what its levels number grows by
about as much as N does (target: at most 1.5 times as much); one that moves every level it
has for each new one grows by N's growth squared.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import vantrel  # noqa: E402
from common import inner_count, timed  # noqa: E402

# The price-keyed ladders, and the best-offers one keyed by level; True: read out descending.
LADDERS = {"atb": True, "atl": False, "spb": True, "spl": False, "trd": False, "batb": False}
ORDERS = ("ladder", "reverse", "shuffled")
SIZES = (10_000, 20_000, 40_000, 80_000)
QUICK_SIZES = (5_000, 20_000)
TARGET = 1.5  # growth of the time per level, at most


def levels(key: str, count: int, order: str, seed: int = 1) -> list[list[float]]:
    """`count` levels of the ladder `key` in `order`: distinct prices, the ladder's read-out
    order first."""
    entries = [[round(1.01 + i * 0.01, 2), float(i % 97 + 1)] for i in range(count)]
    if LADDERS[key]:
        entries.reverse()
    if order == "reverse":
        entries.reverse()
    elif order == "shuffled":
        random.Random(seed).shuffle(entries)
    if key == "batb":  # [level, price, size], by the level
        entries = [[i, *entry] for i, entry in enumerate(entries)]
        if order == "reverse":
            entries.reverse()
        elif order == "shuffled":
            random.Random(seed).shuffle(entries)
    return entries


def recording(key: str, count: int, order: str) -> bytes:
    change = {"id": 7, key: levels(key, count, order)}
    line = {"op": "mcm", "pt": 1_714_560_000_000, "mc": [{"id": "1.1", "rc": [change]}]}
    return json.dumps(line, separators=(",", ":")).encode() + b"\n"


def replay_once(data: bytes) -> list:
    return list(vantrel.replay(data, threads=1))


def per_level(key: str, count: int, order: str, repeat: int) -> float:
    """Median CPU seconds per level of replaying the recording: on a machine shared with
    other work, the waits for a core would stretch the wall clock unevenly."""
    data = recording(key, count, order)
    books = replay_once(data)
    ex = books[-1].runners[0].ex
    held = len(ex.traded_volume if key == "trd" else
               ex.available_to_lay if key in ("atl", "batl") else ex.available_to_back)
    if key not in ("spb", "spl") and held != count:
        raise SystemExit(f"{key} {order} {count}: the book holds {held} levels")
    inner = inner_count(timed(lambda: replay_once(data), 1))
    cpu: list[float] = []
    for _ in range(repeat):
        timed(lambda: replay_once(data), inner, cpu=cpu)
    return statistics.median(cpu) / count


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="two sizes, 5,000 and 20,000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = QUICK_SIZES if args.quick else SIZES
    growth_of_n = sizes[-1] / sizes[0]
    print(f"{'ladder':<6} {'order':<9}" + "".join(f" {n:>9,}" for n in sizes)
          + "   ns/level; growth of the time per level")
    missed = 0
    for key in LADDERS:
        for order in ORDERS:
            times = [per_level(key, n, order, args.repeat) for n in sizes]
            growth = times[-1] / times[0]
            verdict = "ok" if growth <= TARGET else "MISS"
            missed += verdict == "MISS"
            print(f"{key:<6} {order:<9}" + "".join(f" {1e9 * t:>9.0f}" for t in times)
                  + f"   {growth:5.2f}x over {growth_of_n:.0f}x the levels ({verdict}, target "
                    f"at most {TARGET}x)", flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
