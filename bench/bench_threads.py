#!/usr/bin/env python3
"""What `threads=2` buys a table over the exchange's monthly archive on two cores.

    .venv/bin/python bench/bench_threads.py [--quick] [--repeat N]
    .venv/bin/python bench/bench_threads.py --memory 2   # the memory of a run over 2 GB

Input, generated deterministically into bench/data/threads/ and kept between runs: the
exchange's layout, a plain tar of PRO/<year>/<month>/<day>/<event id>/<market id>.bz2, football
matches of about 25 market types each, members from 100 KB to 30 MB of text (to 4 MB with
--quick).

Each figure is the median over the repeats of a child process building the table (or
iterating every book of the replay) with threads=1 and with threads=2, the two run one after
the other in every repeat so that both see the same load of a shared machine: WALL time, CPU
time (user and system, every thread) and the peak resident memory the build added to the
process (its peak less what it held before, less the finished table's own buffers). Targets:
prices_table(form="best"), trades_table, market_summaries and catalogue at least 1.7x faster
in wall time with threads=2, with at most 10% more CPU; the memory added at most
threads x 1.5 x the largest member's text + 64 MB. The first row, "bz2 alone", decodes the
members with Python's bz2 on one thread and on two: what the machine gives two threads at the
time of the run, the ceiling of the others' ratios.
"""

from __future__ import annotations

import argparse
import bz2
import io
import json
import statistics
import subprocess
import sys
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from tools.recordings.archives import official_events, official_tar  # noqa: E402

DATA = ROOT / "bench" / "data" / "threads"
OUT = ROOT / "bench" / "out" / "threads.json"

# What the machine gives two threads right now: every member's bzip2 decoded by Python's bz2
# (the same libbz2, the interpreter lock released) on one thread, then on two. On a machine
# shared with other work, or whose two vCPUs share a core, this is the ceiling of any speedup.
CONTROL = """
import bz2, json, os, sys, tarfile, time
from concurrent.futures import ThreadPoolExecutor
with tarfile.open(sys.argv[1]) as tar:
    blobs = [tar.extractfile(m).read() for m in tar if m.isfile()]
blobs.sort(key=len, reverse=True)
before = os.times()
start = time.perf_counter()
with ThreadPoolExecutor(int(sys.argv[3])) as pool:
    rows = sum(len(text) for text in pool.map(bz2.decompress, blobs))
wall = time.perf_counter() - start
after = os.times()
print(json.dumps({"rows": rows, "wall": wall, "added": 0,
                  "cpu": after.user + after.system - before.user - before.system}))
"""

CHILD = """
import json, os, sys, time, vantrel, pyarrow
path, work, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
sys.path.insert(0, sys.argv[4])
from common import peak_rss as peak
before_peak = peak()
before = os.times()
start = time.perf_counter()
if work == "replay":
    rows = sum(1 for _ in vantrel.replay(path, threads=threads))
    kept = 0
else:
    table = getattr(vantrel, work)(path, threads=threads)
    rows, kept = table.num_rows, table.nbytes
wall = time.perf_counter() - start
after = os.times()
cpu = after.user + after.system - before.user - before.system
print(json.dumps({"rows": rows, "wall": wall, "cpu": cpu,
                  "added": max(0, peak() - before_peak - kept)}))
"""

WORKS = ["bz2 alone", "prices_table", "trades_table", "market_summaries", "catalogue", "replay"]
TARGETS = {"prices_table", "trades_table", "market_summaries", "catalogue"}


def archive(quick: bool) -> tuple[Path, int]:
    """The archive, and its largest member's text in bytes."""
    top = 4_000_000 if quick else 30_000_000
    path = DATA / f"football-{top}.tar"
    sizes = path.with_suffix(".json")
    if not path.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        events = official_events(11, football=2 if quick else 3, meetings=0,
                                 sizes=(100_000, top), football_markets=25)
        official_tar(path.with_suffix(".tmp"), events)
        path.with_suffix(".tmp").rename(path)
    if not sizes.exists():
        largest = 0
        with tarfile.open(path) as tar:
            for member in tar:
                if member.isfile():
                    data = tar.extractfile(member)
                    assert data is not None
                    largest = max(largest, len(bz2.decompress(data.read())))
        sizes.write_text(json.dumps({"largest": largest}))
    return path, json.loads(sizes.read_text())["largest"]


def repeated(path: Path, gigabytes: float) -> Path:
    """The archive's members over and over, each copy under a folder of its own, to about
    `gigabytes` of archive: the memory of a long run, at no cost of compressing it again."""
    copies = max(1, round(gigabytes * 1e9 / path.stat().st_size))
    big = path.with_name(f"{path.stem}-x{copies}.tar")
    if big.exists():
        return big
    with tarfile.open(path) as tar:
        members = [(m, tar.extractfile(m).read()) for m in tar if m.isfile()]  # type: ignore[union-attr]
    tmp = big.with_suffix(".tmp")
    with tarfile.open(tmp, "w", format=tarfile.GNU_FORMAT) as out:
        for copy in range(copies):
            for member, data in members:
                info = tarfile.TarInfo(f"copy{copy:03}/{member.name}")
                info.size, info.mtime = len(data), member.mtime
                out.addfile(info, io.BytesIO(data))
    tmp.rename(big)
    return big


def memory(path: Path, largest: int, gigabytes: float) -> None:
    """The memory a long run adds with threads=2, against the bound."""
    big = repeated(path, gigabytes)
    print(f"{big.name}: {big.stat().st_size / 1e9:.2f} GB")
    threads = 2
    bound = threads * 1.5 * largest + (64 << 20)
    for work in ("market_summaries", "replay"):
        run = child(big, work, threads)
        print(f"{work:18} threads={threads}: {run['added'] / 1e6:5.0f} MB added, bound "
              f"{bound / 1e6:.0f} MB, wall {run['wall']:.0f} s"
              + ("" if run["added"] <= bound else " MEM"))


def child(path: Path, work: str, threads: int) -> dict:
    code = CONTROL if work == "bz2 alone" else CHILD
    done = subprocess.run([sys.executable, "-c", code, str(path), work, str(threads),
                           str(Path(__file__).resolve().parent)],
                          check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller members")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=WORKS, action="append", help="these works alone")
    parser.add_argument("--memory", type=float, metavar="GB",
                        help="instead: the memory of a run over an archive of about GB")
    args = parser.parse_args()

    path, largest = archive(args.quick)
    if args.memory:
        memory(path, largest, args.memory)
        return
    print(f"{path.name}: {path.stat().st_size / 1e6:.0f} MB, largest member "
          f"{largest / 1e6:.1f} MB of text")
    print(f"{'work':18} {'rows':>9} {'wall 1/2 s':>13} {'ratio':>6} {'CPU 1/2 s':>13} "
          f"{'CPU +':>6} {'added MB 1/2':>13} {'bound':>6}")
    results = []
    for work in args.only or WORKS:
        runs: dict[int, list[dict]] = {1: [], 2: []}
        for _ in range(args.repeat):
            for threads in (1, 2):
                runs[threads].append(child(path, work, threads))
        rows = {r["rows"] for t in runs for r in runs[t]}
        assert len(rows) == 1, rows
        med = {t: {k: statistics.median(r[k] for r in runs[t]) for k in ("wall", "cpu", "added")}
               for t in runs}
        speedup = med[1]["wall"] / med[2]["wall"]
        more_cpu = med[2]["cpu"] / med[1]["cpu"] - 1
        bound = 2 * 1.5 * largest + (64 << 20)
        verdict = ""
        if work in TARGETS:
            verdict = "ok" if speedup >= 1.7 and more_cpu <= 0.10 else "MISS"
        verdict += "" if med[2]["added"] <= bound else " MEM"
        print(f"{work:18} {rows.pop():>9} {med[1]['wall']:6.2f}/{med[2]['wall']:<6.2f} "
              f"{speedup:5.2f}x {med[1]['cpu']:6.2f}/{med[2]['cpu']:<6.2f} {more_cpu:+6.1%} "
              f"{med[1]['added'] / 1e6:6.0f}/{med[2]['added'] / 1e6:<6.0f} {bound / 1e6:6.0f} "
              f"{verdict}")
        results.append({"work": work, "one": med[1], "two": med[2], "speedup": speedup,
                        "more_cpu": more_cpu, "memory_bound": bound, "runs": runs})
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps({"largest_text": largest, "results": results}, indent=1))


if __name__ == "__main__":
    main()
