#!/usr/bin/env python3
"""`vantrel export` on one or two worker processes, and the same table through vantrel.dask.

    .venv/bin/python bench/bench_export.py [--quick] [--repeat N] [--table T] [--seed N]

Input, generated once into bench/data/export/ and kept between runs: a plain tar of bzip2
recordings in the exchange's layout (bench_sources.py's race meetings and football matches,
one file per market and one per event), repeated under other day folders until it holds
2 GB uncompressed (200 MB with --quick), as one month of the exchange's data comes.

Contenders, each a process of its own, run in turn (the order rotating between rounds):

  jobs1   vantrel export TAR -o OUT.parquet --jobs 1
  jobs2   vantrel export TAR -o OUT.parquet --jobs 2
  dask    vantrel.dask's table of TAR on LocalCluster(n_workers=2, threads_per_worker=1,
          processes=True), written with ddf.to_parquet(folder, write_index=False) as a user
          would; the cluster's start is timed too, as a user waits for it
  dask-arrow  the same with dtype_backend="pyarrow"

Figures: the median wall and CPU time of the rounds (the CPU time of the command and of every
process under it), the ratios jobs1 / jobs2 (target: at least 1.8) and dask / jobs2 and
dask-arrow / jobs2 (target: at most 1.3) of wall times, the same ratios of CPU times, and the
peak resident size of each process: the command's parent, and its largest worker (the
exporter's pool workers and the Dask workers, sampled by psutil every 20 ms). The largest
member's uncompressed size stands beside them.

On a shared machine two processes seldom get two whole cores. Each round therefore also
times the machine itself: a fixed piece of CPU work (bz2 decompression) in one process, then
in two at once; twice the first over the second is the speed-up any two-process program could
have had then (2.0 on two idle cores). It is printed beside jobs1 / jobs2.
Outputs: the tables on screen and bench/out/export.json.
"""

from __future__ import annotations

import argparse
import bz2
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_sources import (FULL_SCALE, MONTHS, QUICK_SCALE, Scale, TarWriter,  # noqa: E402
                           plan_events, write_plain_tree)
from common import BENCH, DATA, REPO, _fresh  # noqa: E402
from tools import recordings  # noqa: E402

OUT = BENCH / "out" / "export.json"
EXPORT = DATA / "export"
LAYOUT_VERSION = 1
FULL_BYTES = 2_000_000_000
QUICK_BYTES = 200_000_000

SPEEDUP_TARGET = 1.8   # jobs1 over jobs2, at least
DASK_TARGET = 1.3      # each Dask contender over jobs2, at most
SAMPLE_SECONDS = 0.02


# --------------------------------------------------------------------------
# Input

def _bz2_file(path: str) -> bytes:
    return bz2.compress(Path(path).read_bytes(), 9)


def build_archive(scale: Scale, total_bytes: int, seed: int, label: str) -> tuple[Path, dict]:
    """The tar and its sizes, generated when missing or made by another generator."""
    root = EXPORT / f"{label}-s{seed}"
    tar = root / "month-bz2.tar"
    digest = recordings.fingerprint()
    want = json.loads(json.dumps({"layout": LAYOUT_VERSION, "scale": scale.__dict__,
                                  "bytes": total_bytes, "seed": seed, "generator": digest}))
    if _fresh(root / "meta.json", want, tar):
        return tar, json.loads((root / "sizes.json").read_text())
    print(f"generating {tar} ...", flush=True)
    started = time.perf_counter()
    if root.exists():
        shutil.rmtree(root)
    plain = root / "plain"
    files = write_plain_tree(plan_events(scale, seed), plain)
    names = [f.relative_to(plain).as_posix() for f in files]
    sizes = [f.stat().st_size for f in files]
    with ProcessPoolExecutor(max_workers=2) as pool:
        packed = list(pool.map(_bz2_file, [str(f) for f in files]))
    # The same recordings under other days: a month of data costs one compression pass.
    copies = -(-total_bytes // sum(sizes))
    writer = TarWriter(tar)
    for copy in range(copies):
        for name, data in zip(names, packed):
            parts = name.split("/")
            parts[2], parts[3] = MONTHS[copy % 12], str(1 + copy // 12)
            writer.add("/".join(parts) + ".bz2", data)
    writer.close()
    shutil.rmtree(plain)
    info = {"members": copies * len(files), "uncompressed_bytes": copies * sum(sizes),
            "largest_member_bytes": max(sizes), "archive_bytes": tar.stat().st_size}
    (root / "sizes.json").write_text(json.dumps(info, indent=1))
    (root / "meta.json").write_text(json.dumps(want))
    print(f"  {info['members']} members, {info['uncompressed_bytes'] / 1e9:.2f} GB uncompressed, "
          f"{info['archive_bytes'] / 1e6:.0f} MB ({time.perf_counter() - started:.0f} s)",
          flush=True)
    return tar, info


# --------------------------------------------------------------------------
# Contenders, each a process of its own

def dask_child(tar: str, out: str, table: str, dtype_backend: str) -> None:
    """What a user writes: a local cluster of two worker processes, the table, to_parquet."""
    from distributed import Client, LocalCluster

    import vantrel.dask

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        ddf = getattr(vantrel.dask, TABLE_FUNCTIONS[table])(tar, dtype_backend=dtype_backend)
        ddf.to_parquet(out, write_index=False)


TABLE_FUNCTIONS = {"prices": "prices_table", "trades": "trades_table",
                   "markets": "market_summaries", "runners": "runner_summaries"}
DASK_BACKENDS = {"dask": "numpy_nullable", "dask-arrow": "pyarrow"}
CONTENDERS = ["jobs1", "jobs2", *DASK_BACKENDS]


def command(contender: str, tar: Path, out: Path, table: str) -> list[str]:
    if contender in DASK_BACKENDS:
        return [sys.executable, __file__, "--dask-child", str(tar), str(out), table,
                DASK_BACKENDS[contender]]
    jobs = contender.removeprefix("jobs")
    return [sys.executable, "-m", "vantrel", "export", str(tar), "-o", str(out), "--table", table,
            "--jobs", jobs, "--quiet"]


def run_sampled(argv: list[str]) -> dict:
    """Wall and CPU time of a command, and the peak resident size of it and of each process
    under it, sampled: the pool's and the cluster's workers are gone before it ends."""
    import psutil
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    process = psutil.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=REPO)
    peaks: dict[int, int] = {}
    stderr: list[bytes] = []
    reader = threading.Thread(target=lambda: stderr.append(process.stderr.read()))
    reader.start()
    while process.poll() is None:
        try:
            tree = [process, *process.children(recursive=True)]
        except psutil.Error:
            tree = []
        for p in tree:
            try:
                peaks[p.pid] = max(peaks.get(p.pid, 0), p.memory_info().rss)
            except psutil.Error:
                pass
        time.sleep(SAMPLE_SECONDS)
    wall = time.perf_counter() - started
    reader.join()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    workers = [rss for pid, rss in peaks.items() if pid != process.pid]
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed ({process.returncode}):\n"
                         f"{b''.join(stderr).decode(errors='replace')}")
    return {"wall": wall, "cpu": cpu, "parent_peak": peaks.get(process.pid, 0),
            "worker_peak": max(workers, default=0), "processes": len(peaks)}


def _ceiling_work(blob: bytes) -> float:
    started = time.perf_counter()
    for _ in range(4):
        bz2.decompress(blob)
    return time.perf_counter() - started


def parallel_ceiling() -> float:
    """Twice the time of a fixed work alone over that of two copies at once: what two
    processes could gain on this machine just now."""
    blob = bz2.compress(b"".join(str(i * 7919 % 100_003).encode() for i in range(800_000)), 9)
    alone = _ceiling_work(blob)
    with ProcessPoolExecutor(max_workers=2) as pool:
        pool.submit(len, b"").result()  # both workers started before the clock
        pool.submit(len, b"").result()
        started = time.perf_counter()
        list(pool.map(_ceiling_work, [blob, blob]))
        together = time.perf_counter() - started
    return 2 * alone / together


def output_rows(out: Path) -> int:
    import pyarrow.parquet as pq

    files = sorted(out.glob("*.parquet")) if out.is_dir() else [out]
    return sum(pq.ParquetFile(f).metadata.num_rows for f in files)


def measure(tar: Path, table: str, contenders: list[str], rounds: int) -> dict[str, list[dict]]:
    out_dir = BENCH / "out" / "export"
    out_dir.mkdir(parents=True, exist_ok=True)
    runs: dict[str, list[dict]] = {c: [] for c in contenders}
    runs["ceiling"] = []
    for round_ in range(rounds):
        ceiling = parallel_ceiling()
        runs["ceiling"].append({"ratio": ceiling})
        print(f"  round {round_ + 1} two processes could gain {ceiling:.2f}x", flush=True)
        # Rotating the order spreads the machine's drift over every contender.
        order = contenders[round_ % len(contenders):] + contenders[:round_ % len(contenders)]
        for contender in order:
            out = out_dir / (contender + ("" if contender in DASK_BACKENDS else ".parquet"))
            shutil.rmtree(out, ignore_errors=True) if out.is_dir() else out.unlink(missing_ok=True)
            figures = run_sampled(command(contender, tar, out, table))
            figures["rows"] = output_rows(out)
            runs[contender].append(figures)
            print(f"  round {round_ + 1} {contender:<10} wall {figures['wall']:7.2f} s  "
                  f"cpu {figures['cpu']:7.2f} s  parent {figures['parent_peak'] / 1e6:6.0f} MB  "
                  f"largest worker {figures['worker_peak'] / 1e6:6.0f} MB  "
                  f"{figures['rows']:,} rows", flush=True)
    return runs


# --------------------------------------------------------------------------
# Report

def summary(runs: dict[str, list[dict]], info: dict) -> dict:
    ceiling = statistics.median(r["ratio"] for r in runs.pop("ceiling"))
    med = {c: {k: statistics.median(r[k] for r in rs) for k in ("wall", "cpu", "parent_peak",
                                                                 "worker_peak")}
           for c, rs in runs.items()}
    rows = {c: {r["rows"] for r in rs} for c, rs in runs.items()}
    agree = len(set().union(*rows.values())) == 1
    # Ratios pair by pair within a round, where the machine's load was about the same.
    def paired(key: str, contender: str) -> list[float]:
        return [a[key] / b[key] for a, b in zip(runs[contender], runs["jobs2"])]

    over_jobs2 = ["jobs1", *DASK_BACKENDS]
    pairs = {f"{c}/jobs2": paired("wall", c) for c in over_jobs2}
    ratios = {name: statistics.median(values) for name, values in pairs.items()}
    # The machine is shared: CPU time shows what each contender costs whatever else runs.
    cpu_ratios = {f"{c}/jobs2": statistics.median(paired("cpu", c)) for c in over_jobs2}
    verdicts = {name: (value >= SPEEDUP_TARGET if name == "jobs1/jobs2" else value <= DASK_TARGET)
                for name, value in ratios.items()}
    return {"input": info, "medians": med, "ratios": ratios, "pair_ratios": pairs,
            "cpu_ratios": cpu_ratios, "verdicts": verdicts, "rows_agree": agree,
            "ceiling": ceiling, "runs": runs}


def report(result: dict) -> None:
    info = result["input"]
    print(f"\ninput: {info['members']} members, {info['uncompressed_bytes'] / 1e9:.2f} GB "
          f"uncompressed, {info['archive_bytes'] / 1e6:.0f} MB archive, largest member "
          f"{info['largest_member_bytes'] / 1e6:.1f} MB uncompressed")
    print(f"{'':12}{'wall s':>9}{'cpu s':>9}{'parent MB':>11}{'worker MB':>11}")
    for contender, m in result["medians"].items():
        print(f"{contender:12}{m['wall']:9.2f}{m['cpu']:9.2f}{m['parent_peak'] / 1e6:11.0f}"
              f"{m['worker_peak'] / 1e6:11.0f}")
    for name, value in result["ratios"].items():
        target = (f">= {SPEEDUP_TARGET}" if name == "jobs1/jobs2" else f"<= {DASK_TARGET}")
        mark = "ok" if result["verdicts"][name] else "MISS"
        pairs = ", ".join(f"{v:.2f}" for v in result["pair_ratios"][name])
        print(f"{name:16} {value:5.2f}  (target {target}: {mark}; rounds {pairs}; "
              f"CPU time {result['cpu_ratios'][name]:.2f})")
    print(f"two processes could have gained {result['ceiling']:.2f}x on this machine meanwhile "
          f"(2.0 on two idle cores)")
    print("rows agree" if result["rows_agree"] else "ROWS DIFFER between contenders")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 2)[2])
    ap.add_argument("--quick", action="store_true", help="a 200 MB archive, two rounds")
    ap.add_argument("--repeat", type=int, help="rounds (default 3; 2 with --quick)")
    ap.add_argument("--table", choices=TABLE_FUNCTIONS, default="prices")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated recordings")
    ap.add_argument("--dask-child", nargs=4, metavar=("TAR", "OUT", "TABLE", "BACKEND"),
                    help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.dask_child:
        dask_child(*args.dask_child)
        return 0
    scale, size, label = (QUICK_SCALE, QUICK_BYTES, "quick") if args.quick else (
        FULL_SCALE, FULL_BYTES, "full")
    tar, info = build_archive(scale, size, args.seed, label)
    rounds = args.repeat or (2 if args.quick else 3)
    print(f"vantrel export {tar.name} --table {args.table}: {rounds} rounds, "
          f"load average {os.getloadavg()[0]:.1f}", flush=True)
    result = summary(measure(tar, args.table, CONTENDERS, rounds), info)
    result["load_average_end"] = os.getloadavg()[0]
    report(result)
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(result, indent=1))
    return 0 if all(result["verdicts"].values()) and result["rows_agree"] else 1


if __name__ == "__main__":
    sys.exit(main())
