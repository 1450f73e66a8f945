"""Replay cost per message, and how much of each snapshot is rebuilt.

    .venv/bin/python bench/bench_replay.py [--quick] [PATH ...]

For every input: the load time, the time per message to iterate every snapshot touching
nothing ("iterate"), and touching each runner's best back, best lay and last traded price
("read prices"), all medians of several runs side by side in this one process; then, from
object identity across consecutive snapshots, how many Runner objects and price lists a step
builds on average. A file where each message changes one runner of forty should build one
Runner per step whatever the number of runners.
"""

import argparse
import gc
import statistics
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import vantrel  # noqa: E402
from common import read_prices as read_runners  # noqa: E402
from tools import recordings  # noqa: E402

HERE = Path(__file__).resolve().parent
GEN = HERE / "data" / "gen"


def shared_files():
    data = HERE.parent.parent / "shared" / "data"
    return sorted(p for p in data.glob("*") if p.is_file() and p.name != "README.md") if data.is_dir() else []


def generated(shape, messages, runners=None):
    GEN.mkdir(parents=True, exist_ok=True)
    tag = f"-{runners}r" if runners else ""
    path = GEN / f"replay-{shape}{tag}-{messages}.gz"
    if not path.exists():
        kwargs = {"messages": messages}
        if runners:
            kwargs["runners"] = runners
        recordings.generate(str(path), shape, **kwargs)
    return path


def iterate(path):
    for _ in vantrel.iter_prices_file(str(path)):
        pass


def read_prices(path):
    for book in vantrel.iter_prices_file(str(path)):
        read_runners(book.runners)


def load(path):
    len(vantrel.iter_prices_file(str(path)))


def rebuilt_per_step(path):
    """Average new Runner objects and new exchange lists per step (after the first)."""
    runners = lists = steps = 0
    previous_runners, previous_lists = set(), set()
    keep = []  # keep the previous snapshot alive so ids are not recycled
    for book in vantrel.iter_prices_file(str(path)):
        now_runners = {id(r) for r in book.runners}
        now_lists = {id(x) for r in book.runners for x in (r.ex.available_to_back, r.ex.available_to_lay, r.ex.traded_volume)}
        if keep:
            runners += len(now_runners - previous_runners)
            lists += len(now_lists - previous_lists)
            steps += 1
        previous_runners, previous_lists = now_runners, now_lists
        keep = [book]
    return (runners / steps, lists / steps) if steps else (0.0, 0.0)


def median_time(fn, path, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn(path)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs, fewer runs")
    parser.add_argument("paths", nargs="*")
    args = parser.parse_args()
    warnings.simplefilter("ignore", DeprecationWarning)
    n = 5_000 if args.quick else 50_000
    repeats = 3 if args.quick else 5
    inputs = [Path(p) for p in args.paths] or [
        *shared_files(),
        generated("one-change", n),
        generated("one-change", n, runners=4),
        generated("deep20", n // 5),
        generated("five", n // 5),
    ]
    print(f"{'input':<34} {'msgs':>7} {'load ms':>8} {'iterate us/msg':>15} {'read us/msg':>12} {'runners/step':>13} {'lists/step':>11}")
    for path in inputs:
        count = len(vantrel.iter_prices_file(str(path)))
        if count == 0:
            continue
        t_load = median_time(load, path, repeats)
        t_iter = median_time(iterate, path, repeats)
        t_read = median_time(read_prices, path, repeats)
        runners, lists = rebuilt_per_step(path)
        print(
            f"{path.name[:34]:<34} {count:>7} {1e3 * t_load:>8.1f} {1e6 * (t_iter - t_load) / count:>15.2f}"
            f" {1e6 * (t_read - t_load) / count:>12.2f} {runners:>13.2f} {lists:>11.2f}"
        )


if __name__ == "__main__":
    main()
