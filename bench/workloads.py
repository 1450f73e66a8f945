"""One contender doing one kind of work on one file, in a process of its own.

    python bench/workloads.py CONTENDER WORK PATH [--budget S] [--min-reps N] [--max-reps N] [--cap S]
    python bench/workloads.py CONTENDER WORK PATH --once

bench/run.py starts this once per contender, input and work, so every measurement
begins from a fresh interpreter and its memory peak belongs to that work alone.
Prints one JSON line: the seconds of each repetition (wall clock, and the process's
CPU time in "cpu_times"), the resident memory after the imports (the baseline) and the
process's peak resident memory after one call.
With --once it does the work a single time and prints nothing, for counting
instructions under a profiler.

Contenders and their work:
  vantrel       load | iterate | read     (PATH plain or gzip)
                none                      (imports only: what an instruction count subtracts)
  replay        iterate | read            (vantrel.replay: PATH a file, archive or folder)
  bfl-objects   iterate | read            (PATH plain: the peer reads text only)
                archive                   (PATH a tar of .bz2 members, read as its users do)
  bfl-dicts     iterate | read | archive  (as bfl-objects, lightweight books)
  zlib          floor                     (PATH gzip: inflate the whole file)
  orjson, json  floor                     (PATH plain: parse every line, keep the results)
  bz2, gzip,    members                   (PATH a tar: decompress every member with
  zstd, xz                                 Python's own module for the format)

"iterate" walks every snapshot touching nothing; "read" also reads each runner's best
back price, best lay price and last traded price in every snapshot.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import inner_count, peak_rss, read_prices, rss, timed  # noqa: E402

FAST = 0.5  # seconds; a first call slower than this counts as a repetition, not a warm-up


# --------------------------------------------------------------------------
# The work

def vantrel_work(work: str, path: str, package_replay: bool = False):
    # The replay converts times through the datetime module: definition times with
    # strptime, whose first call imports _strptime (and with it re, locale and
    # calendar, 1.5 MB), and publish times with utcfromtimestamp. A process pays
    # those imports once, not per file, so they go in before the memory baseline,
    # as the peer's own imports do.
    import _strptime  # noqa: F401
    import datetime  # noqa: F401

    import vantrel

    # Python 3.12 flags utcfromtimestamp; the notice would be printed, not measured.
    warnings.simplefilter("ignore", DeprecationWarning)
    info = {"vantrel": vantrel.__file__}

    def load():
        if package_replay:
            # A lazy iterator: nothing is read before the first book is asked for. Every
            # file is read whole, event files beside their market files too, so that the
            # figures stand beside a floor that decompresses every member.
            return vantrel.replay(path, event_files="all")
        it = vantrel.iter_prices_file(path)
        info["snapshots"] = len(it)
        return it

    def iterate():
        it = load()
        for _ in it:
            pass

    def read():
        for book in load():
            read_prices(book.runners)

    works = {"none": lambda: None, "iterate": iterate, "read": read}
    if not package_replay:
        works["load"] = load
    return works[work], info


def peer_work(lightweight: bool, work: str, path: str):
    import logging

    import betfairlightweight
    from betfairlightweight import APIClient, StreamListener
    from betfairlightweight import compat

    # Unhandled warnings would go to stderr through logging's last resort.
    logging.getLogger("betfairlightweight").setLevel(logging.ERROR)
    trading = APIClient("username", "password", app_key="appkey")
    info = {
        "betfairlightweight": betfairlightweight.__version__,
        "json": compat.json.__name__,
        "ciso8601": getattr(compat, "ciso8601", None) is not None,
    }

    def replay():
        listener = StreamListener(max_latency=None, lightweight=lightweight)
        stream = trading.streaming.create_historical_generator_stream(
            file_path=path, listener=listener)
        yield from stream.get_generator()()
        info["updates"] = listener.updates_processed

    def iterate():
        for _ in replay():
            pass

    def read_objects():
        for books in replay():
            for book in books:
                read_prices(book.runners)

    def read_dicts():
        for books in replay():
            for book in books:
                for r in book["runners"]:
                    ex = r["ex"]
                    back = ex["availableToBack"]
                    lay = ex["availableToLay"]
                    if back:
                        back[0]["price"]
                    if lay:
                        lay[0]["price"]
                    r.get("lastPriceTraded")

    def archive():
        # What the peer's users write for the exchange's tar of .bz2 files: each member
        # opened with bz2 and handed to the historical stream in place of a path, with
        # `open` patched to give the file object back, and a listener of its own.
        import bz2
        import tarfile
        from unittest.mock import patch

        books = 0
        with tarfile.open(path, "r:") as tar, patch("builtins.open", lambda f, _: f):
            for member in tar:
                if not member.isfile():
                    continue
                with bz2.BZ2File(tar.extractfile(member)) as text:
                    listener = StreamListener(max_latency=None, lightweight=lightweight)
                    stream = trading.streaming.create_historical_generator_stream(
                        file_path=text, listener=listener)
                    for market_books in stream.get_generator()():
                        books += len(market_books)
        info["books"] = books

    read = read_dicts if lightweight else read_objects
    return {"iterate": iterate, "read": read, "archive": archive}[work], info


def zlib_floor(work: str, path: str):
    import zlib

    def inflate():
        with open(path, "rb") as f:
            return zlib.decompress(f.read(), 31)

    return {"floor": inflate}[work], {}


def parse_floor(module: str, work: str, path: str):
    loads = __import__(module).loads

    def parse():
        with open(path, "rb") as f:
            return [loads(line) for line in f if line.strip()]

    return {"floor": parse}[work], {}


def member_decompress(module: str):
    """The function of Python's own module that decompresses one whole member."""
    if module == "gzip":
        import zlib
        return lambda data: zlib.decompress(data, 31)
    if module == "zstd":
        import zstandard
        # One decompressor for every member, as a user would keep it.
        return zstandard.ZstdDecompressor().decompress
    if module == "bz2":
        import bz2
        return bz2.decompress
    import lzma
    return lzma.decompress


def members_floor(module: str, work: str, path: str):
    import tarfile

    decompress = member_decompress(module)
    info: dict = {}

    def members():
        count = size = 0
        with tarfile.open(path, "r:") as tar:
            for member in tar:
                if member.isfile():
                    size += len(decompress(tar.extractfile(member).read()))
                    count += 1
        info["members"], info["uncompressed"] = count, size

    return {"members": members}[work], info


CONTENDERS = {
    "vantrel": vantrel_work,
    "replay": lambda work, path: vantrel_work(work, path, package_replay=True),
    "bfl-objects": lambda work, path: peer_work(False, work, path),
    "bfl-dicts": lambda work, path: peer_work(True, work, path),
    "zlib": zlib_floor,
    "orjson": lambda work, path: parse_floor("orjson", work, path),
    "json": lambda work, path: parse_floor("json", work, path),
    **{m: (lambda work, path, m=m: members_floor(m, work, path))
       for m in ("bz2", "gzip", "zstd", "xz")},
}


# --------------------------------------------------------------------------
# Repetitions

def repeat(fn, budget: float, min_reps: int, max_reps: int,
           cap: float) -> tuple[list[float], int, int, list[float]]:
    """Times ``fn`` until ``budget`` seconds are spent, at least ``min_reps`` times
    unless that would pass ``cap`` seconds, at most ``max_reps`` times.

    Calls faster than the timer can judge are repeated within one repetition;
    their first call is a warm-up. A slow first call is kept as a repetition,
    since a second pass over a large file would only cost time. Also returns the
    peak resident memory after that first call: later repetitions keep several
    results alive at once, which says nothing about one call. The CPU seconds of
    each repetition come last.
    """
    first_cpu: list[float] = []
    first = timed(fn, 1, cpu=first_cpu)
    peak = peak_rss()
    if first >= FAST:
        inner, times, cpu = 1, [first], first_cpu
    else:
        inner, times, cpu = inner_count(first), [], []
    while len(times) < max_reps:
        if times:
            spent = sum(times) * inner
            next_end = spent + times[-1] * inner
            if next_end > budget and (len(times) >= min_reps or next_end > cap):
                break
        times.append(timed(fn, inner, cpu=cpu))
    return times, inner, peak, cpu


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("contender", choices=sorted(CONTENDERS))
    ap.add_argument("work")
    ap.add_argument("path")
    ap.add_argument("--budget", type=float, default=10.0, help="seconds to spend timing")
    ap.add_argument("--min-reps", type=int, default=3)
    ap.add_argument("--max-reps", type=int, default=7)
    ap.add_argument("--cap", type=float, default=60.0,
                    help="seconds past which fewer than --min-reps repetitions are accepted")
    ap.add_argument("--once", action="store_true", help="do the work once, untimed, silently")
    args = ap.parse_args(argv)

    fn, info = CONTENDERS[args.contender](args.work, args.path)
    if args.once:
        fn()
        return 0
    baseline = rss()
    started = time.perf_counter()
    times, inner, peak, cpu = repeat(fn, args.budget, args.min_reps, args.max_reps, args.cap)
    print(json.dumps({
        "contender": args.contender, "work": args.work, "path": args.path,
        "times": times, "inner": inner, "baseline": baseline, "peak": peak, "cpu_times": cpu,
        "wall": time.perf_counter() - started, **info,
    }), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
