#!/usr/bin/env python3
"""What a filtered replay of the exchange's archives saves: members passed over unread, and
members read no further than the first definition that rules their market out.

    .venv/bin/python bench/bench_filter.py [--quick]

Inputs, generated deterministically into bench/data/filter/ and kept between runs (the
exchange's layout: a plain tar of PRO/<year>/<month>/<day>/<event id>/<market id>.bz2):

  football.tar   football matches of 28 market types each, every member the same size of text
                 (8 MB; 1 MB with --quick), so that one market type keeps 1 member in 28
  month.tar      football matches and race meetings, members from 100 KB to 4 MB of text
                 (to 1 MB with --quick), of which `markets=` names about 1%

Each figure is the median CPU time (user and system, every thread) a child process spends
replaying the archive, iterating every book, over three runs; the ratio is the unfiltered run's over the
filtered one's. Targets: market_types=["MATCH_ODDS"] at least 5x faster on football.tar,
markets= naming 1% at least 50x faster on month.tar, and catalogue() at least 3x faster than
market_summaries() on football.tar (their "books" are the tables' rows; on month.tar, whose
members are mostly a bzip2 block or two, the ratio is shown without a target).

The catalogue-first workflow is measured on month.tar too: about 1% of its markets picked from
the catalogue by what they are (the MATCH_ODDS markets of a few football events), the rows
written to Parquet and read back before the clock starts (a session holds them in memory), then
replayed as the source. Against the filtered scan giving the same books, replay(month.tar,
event_ids=..., market_types=["MATCH_ODDS"]), which must read every member up to its first
definition: target at least 30x. Against markets= naming the same markets (a scan that passes
over members unread by their names, possible only once their ids are known) and the unfiltered
replay, shown without a target.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from tools.recordings.archives import official_events, official_tar  # noqa: E402

DATA = ROOT / "bench" / "data" / "filter"
OUT = ROOT / "bench" / "out" / "filter.json"

# The process's CPU time across the replay alone (its read-ahead thread included), so that
# starting the interpreter and importing the package do not blur the ratios.
CHILD = """
import json, sys, time, vantrel
import pyarrow.parquet
options = json.loads(sys.argv[2])
source = sys.argv[1]
if source.endswith(".parquet"):  # a catalogue's picked rows, in memory as a session holds them
    source = pyarrow.parquet.read_table(source)
before = time.process_time()
if sys.argv[3] == "replay":
    books = sum(1 for _ in vantrel.replay(source, **options))
else:
    books = getattr(vantrel, sys.argv[3])(source, **options).num_rows
cpu = time.process_time() - before
print(json.dumps({"books": books, "cpu": cpu}))
"""


def football(quick: bool) -> Path:
    size = 1_000_000 if quick else 8_000_000
    path = DATA / f"football-{size}.tar"
    if not path.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        events = official_events(7, football=1, meetings=0, sizes=(size, size))
        official_tar(path.with_suffix(".tmp"), events)
        path.with_suffix(".tmp").rename(path)
    return path


def month(quick: bool) -> Path:
    top = 1_000_000 if quick else 4_000_000
    path = DATA / f"month-{top}.tar"
    if not path.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        events = official_events(8, football=4, meetings=3, sizes=(100_000, top))
        official_tar(path.with_suffix(".tmp"), events)
        path.with_suffix(".tmp").rename(path)
    return path


def run(path: Path, options: dict, repeat: int = 3, work: str = "replay") -> dict:
    figures = []
    for _ in range(repeat):
        done = subprocess.run([sys.executable, "-c", CHILD, str(path), json.dumps(options), work],
                              check=True, capture_output=True, text=True)
        figures.append(json.loads(done.stdout))
    books = {f["books"] for f in figures}
    assert len(books) == 1, books
    return {"books": books.pop(), "cpu": statistics.median(f["cpu"] for f in figures)}


def market_ids(path: Path) -> list[str]:
    with tarfile.open(path) as tar:
        return [os.path.basename(m.name)[:-4] for m in tar.getmembers() if m.isfile()]


def picked_catalogue(tar: Path, share: float) -> tuple[Path, dict, list[str]]:
    """About `share` of the markets, picked from the catalogue as a user would with pandas: the
    MATCH_ODDS markets of the first few football events. Gives the picked rows' Parquet file,
    the filter keys of a scan keeping the same markets, and their ids."""
    import vantrel

    catalogue = vantrel.catalogue(str(tar)).to_pandas()
    odds = catalogue[catalogue.market_type == "MATCH_ODDS"]
    events = list(dict.fromkeys(odds.event_id))[: max(1, round(share * len(catalogue)))]
    picked = odds[odds.event_id.isin(events)]
    path = tar.with_name(f"{tar.stem}-picked.parquet")
    picked.to_parquet(path, index=False)
    keys = {"event_ids": [str(e) for e in events], "market_types": ["MATCH_ODDS"]}
    return path, keys, list(picked.market_id.astype(str))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller members")
    args = parser.parse_args()

    rows = []
    tar = football(args.quick)
    whole = run(tar, {})
    one_type = run(tar, {"market_types": ["MATCH_ODDS"]})
    rows.append(("football.tar", 'market_types=["MATCH_ODDS"]', whole, one_type, 5.0))
    summaries = run(tar, {}, work="market_summaries")
    catalogue = run(tar, {}, work="catalogue")
    rows.append(("football.tar", "catalogue() vs market_summaries()", summaries, catalogue, 3.0))

    tar = month(args.quick)
    ids = market_ids(tar)
    named = ids[:: max(1, len(ids) // max(1, len(ids) // 100))][: max(1, len(ids) // 100)]
    whole = run(tar, {})
    some = run(tar, {"markets": named})
    rows.append(("month.tar", f"markets= {len(named)} of {len(ids)}", whole, some, 50.0))
    path, keys, picked_ids = picked_catalogue(tar, 0.01)
    picked = run(path, {})
    label = f"{len(picked_ids)} of {len(ids)} picked: catalogue rows vs"
    rows.append(("month.tar", f"{label} event_ids+market_types scan", run(tar, keys), picked,
                 30.0))
    rows.append(("month.tar", f"{label} markets= scan", run(tar, {"markets": picked_ids}),
                 picked, None))
    rows.append(("month.tar", f"{label} unfiltered", whole, picked, None))
    summaries = run(tar, {}, work="market_summaries")
    catalogue = run(tar, {}, work="catalogue")
    # Members of a block or two of bzip2 (900 kB of text a block) leave the catalogue little
    # to pass over: no target here.
    rows.append(("month.tar", "catalogue() vs market_summaries()", summaries, catalogue, None))

    width = max(len(label) for _, label, _, _, _ in rows)
    print(f"{'input':14} {'filter':{width}} {'books':>16} {'CPU s':>15} {'ratio':>8}")
    results = []
    for name, label, full, filtered, target in rows:
        ratio = full["cpu"] / max(filtered["cpu"], 1e-9)
        verdict = "" if target is None else f">={target:g} " + ("ok" if ratio >= target else "MISS")
        print(f"{name:14} {label:{width}} {filtered['books']:>7}/{full['books']:<8} "
              f"{filtered['cpu']:6.2f}/{full['cpu']:<6.2f}  {ratio:6.1f}x {verdict}")
        results.append({"input": name, "filter": label, "unfiltered": full,
                        "filtered": filtered, "ratio": ratio, "target": target})
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
