#!/usr/bin/env python3
"""vantrel.replay over archives and compressed files, side by side with what users do instead.

    .venv/bin/python bench/bench_sources.py [--quick] [--no-peer] [--no-shared]

Inputs, generated deterministically into bench/data/sources/ and kept between runs:

  official-bz2.tar   the exchange's layout: PRO/<year>/<month>/<day>/<event id>/ holding
                     one <market id>.bz2 per market and one <event id>.bz2 per event with
                     the lines of all its markets interleaved in publish-time order
  official-gz.tar, official-zst.tar, official-xz.tar
                     the same recordings as gzip, zstd and xz members
  plain/             the same recordings decompressed, one file each
  memory.tar         plain members repeating those recordings under other folders, and
                     one large recording, to at least 2 GB uncompressed (200 MB with --quick)

Each figure is one contender in a child process of its own (bench/workloads.py), timed
over a few repetitions (median) by the wall clock and by the child's CPU time (which the
waits for a core on a shared machine leave out), with its peak resident memory (VmHWM)
above the child's memory after its imports:

  codecs   replaying each tar, every book iterated, against decompressing its members with
           Python's own module (bz2; zlib for gzip; zstandard; lzma) plus replaying the
           decompressed files of plain/: at most 1.2x; and for bz2, against decompressing
           alone, by the wall clock: at most 1.15x (the replay hides behind the decompression
           of the next member on a second core)
  peer     betfairlightweight on official-bz2.tar as its users drive it (each member opened
           with bz2 and fed to the historical stream): vantrel's speed-up, no target
  memory   peak of replaying memory.tar: at most 1.5x its largest member plus 64 MB
  shared   vantrel.replay against iter_prices_file on the shared recordings, both iterating
           every book: at least 1.5x faster per message (skipped when the folder is absent)

Results: tables on screen and bench/out/sources.json.
"""

from __future__ import annotations

import argparse
import bz2
import datetime
import gzip
import json
import lzma
import multiprocessing
import random
import shutil
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import asdict, dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import BENCH, DATA, REPO, _fresh, shared_data_dir, shared_recordings  # noqa: E402
from tools import recordings  # noqa: E402
from tools.recordings.archives import (MONTHS, EventPlan, MarketPlan, TarWriter,  # noqa: E402
                                       write_tree)
from run import (FULL, QUICK, Measure, Plan, judged, machine, make_input,  # noqa: E402
                 peer_setup, rotate, run_child, text_table)

OUT = BENCH / "out" / "sources.json"
SOURCES = DATA / "sources"
# Bumped whenever the layout or contents written below change, so cached inputs are rebuilt.
LAYOUT_VERSION = 1

CODECS = ("bz2", "gzip", "zstd", "xz")
SUFFIX = {"bz2": ".bz2", "gzip": ".gz", "zstd": ".zst", "xz": ".xz"}
TAR_NAME = {"bz2": "official-bz2.tar", "gzip": "official-gz.tar",
            "zstd": "official-zst.tar", "xz": "official-xz.tar"}

CODEC_TARGET = 1.2       # replaying a tar over decompressing its members plus replaying them
SHARED_TARGET = 1.5      # iter_prices_file over vantrel.replay, per message, at least
# Replaying the bzip2 tar over decompressing its members alone, by the wall clock: with two
# cores the next member is decompressed while this one is replayed, so the replay hides
# behind the slower decompression.
OVERLAP_TARGET = 1.15
MEMORY_MULTIPLE = 1.5    # peak over the largest member's uncompressed size, at most ...
MEMORY_FIXED = 64 << 20  # ... plus this much, whatever the archive holds
# Every time is judged twice: by the wall clock, and by the child's CPU time, which waits for
# a core on a shared machine leave out.
CLOCKS = ("wall", "cpu")


@dataclass(frozen=True)
class Scale:
    meetings: int                  # race meetings: 2 markets (win, place) per race
    races: tuple[int, int]         # races per meeting
    race_messages: tuple[int, int]
    matches: int                   # football events
    match_markets: int
    match_messages: tuple[int, int]
    memory_bytes: int              # memory.tar holds at least this much uncompressed
    largest_bytes: int             # size of its one large recording


FULL_SCALE = Scale(meetings=5, races=(2, 3), race_messages=(1_500, 6_000), matches=3,
                   match_markets=2, match_messages=(8_000, 20_000),
                   memory_bytes=2_100_000_000, largest_bytes=105_000_000)
QUICK_SCALE = Scale(meetings=2, races=(1, 2), race_messages=(400, 1_200), matches=1,
                    match_markets=1, match_messages=(3_000, 3_000),
                    memory_bytes=200_000_000, largest_bytes=20_000_000)


# --------------------------------------------------------------------------
# Recordings

def plan_events(scale: Scale, seed: int) -> list[EventPlan]:
    """Race meetings of several races (each a win and a place market) and football matches."""
    rng = random.Random(f"sources:{seed}")
    events: list[EventPlan] = []
    next_market = 230_000_000

    def market(shape: str, messages: tuple[int, int], runners: int) -> MarketPlan:
        nonlocal next_market
        next_market += 1 + rng.randrange(50)
        sized = recordings.resolve_shape(shape, messages=rng.randint(*messages), runners=runners)
        return MarketPlan(f"1.{next_market}", sized, rng.randrange(1 << 30))

    kinds = ["race"] * scale.meetings + ["match"] * scale.matches
    for index, kind in enumerate(kinds):
        event_id = str(33_000_000 + 1_000 * index + rng.randrange(1_000))
        if kind == "race":
            markets = []
            for _ in range(rng.randint(*scale.races)):
                runners = rng.randint(6, 14)
                markets += [market("deep20", scale.race_messages, runners) for _ in range(2)]
        else:
            markets = [market("inplay2", scale.match_messages, 2)
                       for _ in range(scale.match_markets)]
        folder = f"PRO/2024/{MONTHS[4 + index % 3]}/{1 + index * 3 % 28}/{event_id}"
        events.append(EventPlan(folder, event_id, tuple(markets)))
    return events


def write_plain_tree(events: list[EventPlan], root: Path) -> list[Path]:
    """One file per market and one per event, its markets' lines merged by publish time."""
    return write_tree(events, root, event_files=True)


def compress(codec: str, data: bytes) -> bytes:
    # Fixed headers (no time stamp) so equal recordings give equal bytes.
    if codec == "bz2":
        return bz2.compress(data, 9)
    if codec == "gzip":
        return gzip.compress(data, 6, mtime=0)
    if codec == "zstd":
        import zstandard
        return zstandard.ZstdCompressor(level=3).compress(data)
    # Preset 1 keeps generation bearable on a shared machine; decoding speed barely
    # depends on the preset.
    return lzma.compress(data, preset=1)


def _compress_file(job: tuple[str, str]) -> bytes:
    codec, path = job
    return compress(codec, Path(path).read_bytes())


def count_lines(path: Path) -> int:
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


@dataclass
class Inputs:
    root: Path
    plain: Path                       # the decompressed tree
    tars: dict[str, Path]             # codec: official-style tar of that codec's members
    memory: Path                      # memory.tar
    largest: Path                     # the largest member of memory.tar, on its own
    meta: dict = field(default_factory=dict)


def build_inputs(scale: Scale, seed: int, label: str) -> Inputs:
    root = SOURCES / f"{label}-s{seed}"
    meta_path = root / "meta.json"
    digest = recordings.fingerprint()
    # Through JSON and back, so the tuples compare equal to the lists the file holds.
    want = json.loads(json.dumps({"layout": LAYOUT_VERSION, "scale": asdict(scale), "seed": seed,
                                  "generator": digest}))
    inputs = Inputs(root, root / "plain", {c: root / TAR_NAME[c] for c in CODECS},
                    root / "memory.tar", root / "largest")
    if _fresh(meta_path, want, inputs.memory):
        inputs.meta = json.loads((root / "sizes.json").read_text())
        return inputs
    print(f"generating {root} ...", flush=True)
    started = time.perf_counter()
    if root.exists():
        shutil.rmtree(root)
    events = plan_events(scale, seed)
    files = write_plain_tree(events, inputs.plain)
    names = [f.relative_to(inputs.plain).as_posix() for f in files]
    print(f"  {len(files)} recordings, {sum(f.stat().st_size for f in files) / 1e6:.1f} MB "
          f"({time.perf_counter() - started:.0f} s)", flush=True)
    # Compressing is most of the work; two processes, as the machine has two cores. Started
    # fresh rather than forked: the caller may have threads (pyarrow's, a replay's read-ahead),
    # and a forked child can deadlock on a lock one of them held.
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("spawn")) as pool:
        for codec in CODECS:
            t0 = time.perf_counter()
            writer = TarWriter(inputs.tars[codec])
            for name, data in zip(names, pool.map(_compress_file,
                                                   [(codec, str(f)) for f in files])):
                writer.add(name + SUFFIX[codec], data)
            writer.close()
            print(f"  {inputs.tars[codec].name}: {inputs.tars[codec].stat().st_size / 1e6:.1f} MB "
                  f"({time.perf_counter() - t0:.0f} s)", flush=True)
    sizes = write_memory_tar(inputs, files, names, scale, seed)
    sizes.update(plain_bytes=sum(f.stat().st_size for f in files),
                 plain_messages=sum(count_lines(f) for f in files),
                 recordings=len(files), markets=sum(len(e.markets) for e in events),
                 events=len(events))
    (root / "sizes.json").write_text(json.dumps(sizes, indent=1))
    meta_path.write_text(json.dumps(want))
    print(f"  done in {time.perf_counter() - started:.0f} s", flush=True)
    inputs.meta = sizes
    return inputs


def write_memory_tar(inputs: Inputs, files: list[Path], names: list[str], scale: Scale,
                     seed: int) -> dict:
    """Copies of the plain recordings under other event folders, and one large recording
    half way through, until the archive holds scale.memory_bytes."""
    t0 = time.perf_counter()
    recordings.generate(inputs.largest, "big", seed=seed, market_id="1.239999999",
                        target_bytes=scale.largest_bytes)
    largest_size = inputs.largest.stat().st_size
    per_copy = sum(f.stat().st_size for f in files)
    copies = max(1, -(-(scale.memory_bytes - largest_size) // per_copy))
    line_counts = [count_lines(f) for f in files]
    writer = TarWriter(inputs.memory)
    total = messages = 0
    for copy in range(copies):
        if copy == copies // 2:
            writer.add_file("PRO/2024/Dec/31/39999999/1.239999999", inputs.largest)
            total += largest_size
            messages += count_lines(inputs.largest)
        for name, path, lines in zip(names, files, line_counts):
            parts = name.split("/")
            parts[2], parts[3] = MONTHS[copy % 12], str(1 + copy // 12)
            writer.add_file("/".join(parts), path)
            total += path.stat().st_size
            messages += lines
    writer.close()
    print(f"  memory.tar: {total / 1e9:.2f} GB uncompressed in {copies} copies and one "
          f"{largest_size / 1e6:.0f} MB recording ({time.perf_counter() - t0:.0f} s)", flush=True)
    return {"memory_bytes": total, "memory_messages": messages,
            "memory_members": copies * len(files) + 1, "largest_bytes": largest_size,
            "largest_messages": count_lines(inputs.largest)}


# --------------------------------------------------------------------------
# Measuring

ONCE = Plan(budget=0.0, min_reps=1, max_reps=1, cap=0.0, slow=0.0)


class Bench:
    def __init__(self, plan: Plan):
        self.plan = plan
        self.measures: list[Measure] = []

    def run(self, contender: str, work: str, path: Path, plan: Plan | None = None,
            messages: int = 0) -> Measure:
        m = run_child(contender, work, path, plan or self.plan)
        m.info["messages"] = messages
        self.measures.append(m)
        if m.error:
            line = f"error: {m.error}"
        else:
            per = f"  {m.seconds / messages * 1e6:8.2f} us/msg" if messages else ""
            line = (f"{m.seconds:9.3f} s{per}  cpu {cpu_seconds(m):8.3f} s"
                    f"  peak +{m.memory / 1e6:7.1f} MB  ({len(m.times)} x {m.inner})")
        print(f"  {contender:<12} {work:<8} {path.name:<22} {line}", flush=True)
        return m


def seconds(m: Measure | None) -> float | None:
    return m.seconds if m is not None and not m.error else None


def cpu_seconds(m: Measure | None) -> float | None:
    """Median CPU seconds of the child's repetitions: what the wall clock would say on
    an idle machine, give or take the waits for the disk."""
    cpu = m.info.get("cpu_times") if m is not None and not m.error else None
    return statistics.median(cpu) if cpu else None


def clocks(m: Measure | None) -> dict:
    return {"wall": seconds(m), "cpu": cpu_seconds(m)}


def ratio(num: float | None, den: float | None) -> float | None:
    return num / den if num and den else None


def measure_codecs(bench: Bench, inputs: Inputs) -> list[dict]:
    messages = inputs.meta["plain_messages"]
    print("codecs: replaying each tar, against its members decompressed by Python plus "
          "replaying the decompressed files", flush=True)
    plain = bench.run("replay", "iterate", inputs.plain, messages=messages)
    rows = []
    for index, codec in enumerate(CODECS):
        tar = inputs.tars[codec]
        done = {c: bench.run(c, "iterate" if c == "replay" else "members", tar,
                             messages=messages if c == "replay" else 0)
                for c in rotate(("replay", codec), index)}
        row = {"codec": codec, "tar": tar.name, "tar_bytes": tar.stat().st_size,
               "replay_tar_peak": done["replay"].memory}
        for clock in CLOCKS:
            ours, floor, replayed = (clocks(m)[clock] for m in (done["replay"], done[codec],
                                                                  plain))
            against = floor + replayed if floor and replayed else None
            overlap_target = OVERLAP_TARGET if codec == "bz2" and clock == "wall" else None
            row[clock] = {"replay_tar_s": ours, "decompress_s": floor, "replay_plain_s": replayed,
                          "ratio": judged(ratio(ours, against), CODEC_TARGET, at_least=False),
                          "over_decompress": judged(ratio(ours, floor), overlap_target,
                                                    at_least=False)}
        rows.append(row)
    return rows


def measure_peer(bench: Bench, inputs: Inputs, ours: dict) -> list[dict]:
    print("peer: betfairlightweight on the bz2 tar, as its users drive it", flush=True)
    rows = []
    for contender in ("bfl-dicts", "bfl-objects"):
        m = bench.run(contender, "archive", inputs.tars["bz2"],
                      messages=inputs.meta["plain_messages"])
        theirs = clocks(m)
        rows.append({"peer": contender, "books": m.info.get("books"), "peer_peak": m.memory,
                     **{clock: {"peer_s": theirs[clock], "replay_s": ours[clock],
                                "speedup": judged(ratio(theirs[clock], ours[clock]), None,
                                                  at_least=True)} for clock in CLOCKS}})
    return rows


def measure_memory(bench: Bench, inputs: Inputs) -> dict:
    meta = inputs.meta
    print(f"memory: one replay of memory.tar ({meta['memory_bytes'] / 1e9:.2f} GB "
          f"uncompressed, {meta['memory_members']:,} members)", flush=True)
    whole = bench.run("replay", "iterate", inputs.memory, ONCE, meta["memory_messages"])
    alone = bench.run("replay", "iterate", inputs.largest, ONCE, meta["largest_messages"])
    allowed = MEMORY_MULTIPLE * meta["largest_bytes"] + MEMORY_FIXED
    peak = whole.memory if not whole.error else None
    return {"archive_bytes": meta["memory_bytes"], "members": meta["memory_members"],
            "largest_bytes": meta["largest_bytes"], "peak": peak,
            "largest_alone_peak": alone.memory if not alone.error else None,
            "allowed": allowed, "seconds": clocks(whole),
            "ok": peak is not None and peak <= allowed,
            "over_largest": judged(ratio(peak, meta["largest_bytes"]), None, at_least=False)}


def measure_shared(bench: Bench) -> tuple[list[dict], str]:
    folder = shared_data_dir()
    if folder is None:
        return [], "shared recordings not found: their comparison is skipped"
    print("shared: vantrel.replay against iter_prices_file, every book iterated", flush=True)
    rows = []
    for index, path in enumerate(shared_recordings(folder)):
        inp = make_input(path, path.name)
        done = {c: bench.run(c, "iterate", path, messages=inp.messages)
                for c in rotate(("vantrel", "replay"), index)}
        ours, theirs = clocks(done["replay"]), clocks(done["vantrel"])
        rows.append({"file": path.name, "messages": inp.messages, "bytes": inp.size,
                     **{clock: {"replay_s": ours[clock], "iter_prices_file_s": theirs[clock],
                                "ratio": judged(ratio(theirs[clock], ours[clock]), SHARED_TARGET,
                                                at_least=True)} for clock in CLOCKS}})
    return rows, ""


# --------------------------------------------------------------------------
# Tables

def mark(r: dict) -> str:
    if r["value"] is None:
        return "-"
    text = f"{r['value']:.2f}x"
    if r["target"] is not None:
        text += f" {'>=' if r['at_least'] else '<='}{r['target']:g} {'ok' if r['ok'] else 'MISS'}"
    return text


def fmt_s(s: float | None) -> str:
    return "-" if s is None else f"{s:.3f}"


def codec_table(rows: list[dict]) -> tuple[list[str], list[list[str]]]:
    head = ["tar", "MB", "clock", "replay tar s", "decompress s", "+ replay plain s", "ratio",
            "over decompress alone"]
    return head, [[r["tar"], f"{r['tar_bytes'] / 1e6:.1f}", clock,
                   fmt_s(r[clock]["replay_tar_s"]), fmt_s(r[clock]["decompress_s"]),
                   fmt_s(r[clock]["replay_plain_s"]), mark(r[clock]["ratio"]),
                   mark(r[clock]["over_decompress"])]
                  for r in rows for clock in CLOCKS]


def peer_table(rows: list[dict], messages: int) -> tuple[list[str], list[list[str]]]:
    head = ["peer", "clock", "peer s", "peer us/msg", "replay s", "replay us/msg",
            "vantrel speed-up"]
    per = lambda s: "-" if s is None else f"{s / messages * 1e6:.2f}"  # noqa: E731
    return head, [[r["peer"], clock, fmt_s(r[clock]["peer_s"]), per(r[clock]["peer_s"]),
                   fmt_s(r[clock]["replay_s"]), per(r[clock]["replay_s"]),
                   mark(r[clock]["speedup"])] for r in rows for clock in CLOCKS]


def memory_table(m: dict) -> tuple[list[str], list[list[str]]]:
    head = ["archive GB", "members", "largest MB", "peak MB", "largest alone peak MB",
            "allowed MB", "verdict"]
    mb = lambda n: "-" if n is None else f"{n / 1e6:.1f}"  # noqa: E731
    verdict = "ok" if m["ok"] else "MISS"
    return head, [[f"{m['archive_bytes'] / 1e9:.2f}", f"{m['members']:,}", mb(m["largest_bytes"]),
                   mb(m["peak"]), mb(m["largest_alone_peak"]), mb(m["allowed"]),
                   f"{mark(m['over_largest'])} of largest; {verdict}"]]


def shared_table(rows: list[dict]) -> tuple[list[str], list[list[str]]]:
    head = ["file", "msgs", "clock", "iter_prices_file us/msg", "replay us/msg", "speed-up"]
    per = lambda s, n: "-" if s is None else f"{s / n * 1e6:.2f}"  # noqa: E731
    return head, [[r["file"], f"{r['messages']:,}", clock,
                   per(r[clock]["iter_prices_file_s"], r["messages"]),
                   per(r[clock]["replay_s"], r["messages"]), mark(r[clock]["ratio"])]
                  for r in rows for clock in CLOCKS]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 1)[1])
    ap.add_argument("--quick", action="store_true", help="small inputs, short timings")
    ap.add_argument("--no-peer", action="store_true", help="leave betfairlightweight out")
    ap.add_argument("--no-shared", action="store_true", help="leave the shared recordings out")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated recordings")
    args = ap.parse_args(argv)

    started = time.perf_counter()
    have_peer, _, peer_line = peer_setup()
    notes: list[str] = []
    try:
        import vantrel  # noqa: F401
        import zstandard  # noqa: F401
    except ImportError as exc:
        print(f"missing {exc.name}: build with scripts/setup.sh and install the bench extras "
              "(pip install zstandard ...), then run with .venv/bin/python", file=sys.stderr)
        return 2
    scale, plan = (QUICK_SCALE, QUICK) if args.quick else (FULL_SCALE, FULL)
    inputs = build_inputs(scale, args.seed, "quick" if args.quick else "full")
    meta = {"quick": args.quick, "date": datetime.date.today().isoformat(), **machine(),
            "peer": peer_line, "plan": asdict(plan), "inputs": inputs.meta,
            "load_average": _load_average()}
    print(f"vantrel sources benchmark, {'quick' if args.quick else 'full'} run: "
          f"{meta['cores']} cores ({meta['cpu']}), Python {meta['python']}, load average "
          f"{meta['load_average']}\n{peer_line}\n"
          f"{inputs.meta['recordings']} recordings ({inputs.meta['markets']} markets, "
          f"{inputs.meta['events']} events), {inputs.meta['plain_bytes'] / 1e6:.1f} MB, "
          f"{inputs.meta['plain_messages']:,} messages\n", flush=True)

    bench = Bench(plan)
    codecs = measure_codecs(bench, inputs)
    peer: list[dict] = []
    if have_peer and not args.no_peer:
        peer = measure_peer(bench, inputs, {c: codecs[0][c]["replay_tar_s"] for c in CLOCKS})
    elif not args.no_peer:
        notes.append(peer_line)
    memory = measure_memory(bench, inputs)
    shared: list[dict] = []
    if not args.no_shared:
        shared, note = measure_shared(bench)
        if note:
            notes.append(note)
    meta["wall_s"] = time.perf_counter() - started
    meta["load_average_end"] = _load_average()

    print("\nReplaying a tar against decompressing its members with Python plus replaying "
          "the decompressed files (lower is better)")
    print(text_table(*codec_table(codecs)))
    if peer:
        print(f"\nThe peer on {TAR_NAME['bz2']}, every member through its historical stream")
        print(text_table(*peer_table(peer, inputs.meta["plain_messages"])))
    print(f"\nPeak memory of one replay of memory.tar above the child's baseline "
          f"(allowed: {MEMORY_MULTIPLE:g}x the largest member + {MEMORY_FIXED >> 20} MB)")
    print(text_table(*memory_table(memory)))
    if shared:
        print("\nvantrel.replay against iter_prices_file on the shared recordings")
        print(text_table(*shared_table(shared)))
    for n in notes + [f"{m.contender} {m.work} on {Path(m.file).name} failed: {m.error}"
                      for m in bench.measures if m.error]:
        print(f"note: {n}")

    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps({
        "meta": meta, "notes": notes, "codecs": codecs, "peer": peer, "memory": memory,
        "shared": shared,
        "measures": [{**asdict(m), "seconds": m.seconds} for m in bench.measures],
    }, indent=1))
    print(f"\nwrote {OUT.relative_to(REPO)}; {meta['wall_s']:.0f} s in all")
    return 0


def _load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


if __name__ == "__main__":
    sys.exit(main())
