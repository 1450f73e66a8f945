#!/usr/bin/env python3
"""flumine simulations fed by vantrel.flumine.HistoricalStream against flumine's own stream.

    .venv/bin/python bench/bench_flumine.py [--quick] [--markets N] [--messages M] [--repeat R]
                                            [--no-shared] [--json PATH]

Inputs: the shared recordings (read in place, one stream per file) when present, and a
generated month-like set of small gzip market files (one stream per file), also packed as the
exchange's historic-data tar of bzip2 files, which only vantrel reads (one stream for all).

For each input and stream, timed side by side in one run (alternating, median of --repeat):
- "replay": the stream's generator alone, every book handed out and nothing done with it;
- "no-op": a flumine simulation whose strategy never acts (flumine's own per-book work);
- "strategy": a simulation of a simple strategy that places and cancels LIMIT orders.
flumine's share is the part of the strategy run that is not the replay. Times are the
process's CPU seconds (the machine is shared); the garbage collector stays on, as in flumine.
"""

from __future__ import annotations

import argparse
import bz2
import gzip
import json
import logging
import statistics
import sys
import time
from pathlib import Path

from common import DATA, REPO, shared_data_dir, shared_recordings
from tools import recordings  # noqa: E402
from tools.recordings.archives import TarWriter  # noqa: E402



def _strategies():
    from flumine import BaseStrategy
    from flumine.order.order import OrderStatus
    from flumine.order.ordertype import LimitOrder
    from flumine.order.trade import Trade

    class Idle(BaseStrategy):
        def check_market_book(self, market, market_book):
            return False

    class FavouriteLayer(BaseStrategy):
        """Lays the favourite at its best lay price once in-play; cancels after 2 seconds."""

        def check_market_book(self, market, market_book):
            return market_book.status == "OPEN" and market_book.inplay

        def process_market_book(self, market, market_book):
            best = None
            for runner in market_book.runners:
                lay = runner.ex.available_to_lay
                # by key: flumine's own stream hands out price levels as dicts
                if runner.status == "ACTIVE" and lay and (best is None or lay[0]["price"] < best[1]):
                    best = (runner, lay[0]["price"])
            if best is None or best[1] > 10:
                return
            runner, price = best
            context = self.get_runner_context(market.market_id, runner.selection_id)
            if context.trade_count:
                return
            trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
            market.place_order(trade.create_order(side="LAY", order_type=LimitOrder(price, 2)))

        def process_orders(self, market, orders):
            for order in orders:
                if order.status == OrderStatus.EXECUTABLE and (order.elapsed_seconds or 0) > 2:
                    market.cancel_order(order)

    return {"no-op": Idle, "strategy": FavouriteLayer}


def _stream_classes():
    from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

    from vantrel.flumine import HistoricalStream

    return {"flumine": BetfairHistoricalStream, "vantrel": HistoricalStream}


# --------------------------------------------------------------------------
# Inputs


def month_set(markets: int, messages: int) -> list[Path]:
    """Small gzip market files, regenerated when the generator changes."""
    folder = DATA / "gen" / f"flumine-month-{markets}x{messages}"
    meta = {"markets": markets, "messages": messages,
            "generator": recordings.fingerprint()}
    meta_path = folder / ".meta"
    paths = [folder / f"1.9{i:08d}.gz" for i in range(markets)]
    try:
        if json.loads(meta_path.read_text()) == meta and all(p.exists() for p in paths):
            return paths
    except (OSError, ValueError):
        pass
    print(f"generating {markets} market files of {messages} messages in "
          f"{folder.relative_to(REPO)} ...", flush=True)
    folder.mkdir(parents=True, exist_ok=True)
    for i, path in enumerate(paths):
        recordings.generate(path, "sample", messages=messages, seed=i + 1,
                            market_id=path.name[:-3])
    meta_path.write_text(json.dumps(meta))
    return paths


def official_tar(paths: list[Path]) -> Path:
    """The same markets as the exchange ships them: a tar of bzip2 files in dated folders."""
    target = paths[0].parent / "archive.tar"
    if target.exists() and target.stat().st_mtime >= max(p.stat().st_mtime for p in paths):
        return target
    with TarWriter(target) as tar:
        for path in paths:
            tar.add(f"PRO/2023/Nov/1/32000000/{path.name[:-3]}.bz2",
                    bz2.compress(gzip.decompress(path.read_bytes()), 9))
    return target


# --------------------------------------------------------------------------
# Work


def replay_only(streams) -> int:
    books = 0
    for i, stream in enumerate(streams):
        stream.stream_id = i + 1
        for listed in stream.create_generator()():
            books += len(listed)
    return books


def simulate(strategy_cls, streams) -> int:
    from flumine import FlumineSimulation, clients

    framework = FlumineSimulation(client=clients.SimulatedClient())
    framework.add_strategy(strategy_cls(streams=streams, max_order_exposure=1000,
                                        max_selection_exposure=1000))
    framework.run()
    return sum(len(market.blotter) for market in framework.markets)


def measure(stream_cls, files: list[str], work: str, strategies: dict) -> tuple[float, int]:
    streams = [stream_cls(f) for f in files]
    # CPU seconds of this process: the machine is shared, and nothing here waits on I/O that
    # the page cache does not already hold after the first round.
    start = time.process_time()
    count = replay_only(streams) if work == "replay" else simulate(strategies[work], streams)
    return time.process_time() - start, count


def bench_input(name: str, runs: dict[str, list[str]], repeat: int, strategies: dict) -> dict:
    """Median seconds per stream and work; `runs` maps a stream name to its file list."""
    classes = _stream_classes()
    results: dict[str, dict] = {s: {} for s in runs}
    for work in ("replay", "no-op", "strategy"):
        times: dict[str, list[float]] = {s: [] for s in runs}
        counts: dict[str, int] = {}
        for r in range(repeat):
            order = list(runs) if r % 2 == 0 else list(reversed(runs))
            for stream in order:
                cls = classes[stream.split(" ")[0]]
                seconds, counts[stream] = measure(cls, runs[stream], work, strategies)
                times[stream].append(seconds)
        for stream in runs:
            results[stream][work] = statistics.median(times[stream])
            results[stream][work + " count"] = counts[stream]
    print_table(name, results)
    return results


def print_table(name: str, results: dict) -> None:
    base = results["flumine"]
    print(f"\n{name}")
    print(f"| stream | books | orders | replay s | no-op s | strategy s | "
          f"strategy speed-up | flumine's share |")
    print("|---|---|---|---|---|---|---|---|")
    for stream, r in results.items():
        share = (r["strategy"] - r["replay"]) / r["strategy"]
        print(f"| {stream} | {r['replay count']:,} | {r['strategy count']:,} | "
              f"{r['replay']:.2f} | {r['no-op']:.2f} | {r['strategy']:.2f} | "
              f"{base['strategy'] / r['strategy']:.2f}x | {share:.0%} |", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller month set, 1 repetition")
    parser.add_argument("--markets", type=int, help="market files in the month set (120)")
    parser.add_argument("--messages", type=int, help="messages per market file (600)")
    parser.add_argument("--repeat", type=int, help="timings per figure, median kept (3)")
    parser.add_argument("--no-shared", action="store_true", help="skip the shared recordings")
    parser.add_argument("--json", type=Path, help="write the figures here too")
    args = parser.parse_args(argv)
    markets = args.markets or (30 if args.quick else 120)
    messages = args.messages or (300 if args.quick else 600)
    repeat = args.repeat or (1 if args.quick else 3)

    logging.disable(logging.CRITICAL)  # flumine logs every market; not what is measured
    strategies = _strategies()
    import flumine

    print(f"flumine {flumine.__version__}, Python {sys.version.split()[0]}; CPU seconds, "
          f"median of {repeat}; garbage collector on, as flumine runs")
    figures = {}
    shared = None if args.no_shared else shared_data_dir()
    if shared is not None:
        files = [str(p) for p in shared_recordings(shared)]
        figures["shared"] = bench_input(f"shared recordings ({len(files)} files, one stream each)",
                                        {"flumine": files, "vantrel": files}, repeat, strategies)
    month = month_set(markets, messages)
    files = [str(p) for p in month]
    runs = {"flumine": files, "vantrel": files, "vantrel (tar of bz2, one stream)":
            [str(official_tar(month))]}
    figures["month"] = bench_input(f"month-like set ({markets} gzip market files of "
                                   f"{messages} messages)", runs, repeat, strategies)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(figures, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
