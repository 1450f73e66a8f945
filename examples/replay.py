"""Replays a market-stream file and prints a summary of its last snapshot.

    python examples/replay.py [PATH]

Without PATH it replays the sample recording shipped beside this script.
"""

from __future__ import annotations

import sys
import time
import warnings
from pathlib import Path

import vantrel

SAMPLE = Path(__file__).with_name("1.234567890.gz")


def best(prices: list[vantrel.PriceSize]) -> str:
    return f"{prices[0].price:g} ({prices[0].size:.2f})" if prices else "-"


def main(path: Path) -> None:
    # Snapshot times come from datetime.utcfromtimestamp, which Python 3.12 deprecates; the
    # demo has no use for the reminder.
    warnings.filterwarnings("ignore", r"datetime\.datetime\.utcfromtimestamp", DeprecationWarning)
    started = time.perf_counter()
    snapshots = vantrel.iter_prices_file(str(path))
    loaded = time.perf_counter()
    count = 0
    book = None
    for book in snapshots:
        count += 1
    done = time.perf_counter()

    print(f"file       {path}")
    print(f"messages   {len(snapshots)}  (loaded in {1000 * (loaded - started):.1f} ms)")
    print(f"snapshots  {count}  (replayed in {1000 * (done - loaded):.1f} ms)")
    if book is None:
        return
    definition = book.market_definition
    name = f"  {definition.venue or ''} {definition.name or ''}".rstrip() if definition else ""
    print(f"market     {book.market_id}{name}")
    print(f"status     {book.status}  in-play {book.inplay}  matched {book.total_matched:.2f}")
    print(f"published  {book.publish_time:%Y-%m-%d %H:%M:%S}")
    print(f"{'selection':>10}  {'status':<8}  {'back':>16}  {'lay':>16}  {'last':>6}")
    for runner in book.runners:
        ltp = f"{runner.last_price_traded:g}" if runner.last_price_traded is not None else "-"
        print(
            f"{runner.selection_id:>10}  {runner.status:<8}  {best(runner.ex.available_to_back):>16}"
            f"  {best(runner.ex.available_to_lay):>16}  {ltp:>6}"
        )


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE)
