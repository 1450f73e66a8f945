"""Replays recordings with vantrel.replay and prints a summary of the last book of each market.

    python examples/replay.py [SOURCE]

SOURCE is anything vantrel.replay reads: a recording (plain, gzip, bzip2, zstd or xz), a tar
or zip archive, a folder or a glob. Without it the sample recording shipped beside this script
is replayed.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import vantrel

SAMPLE = Path(__file__).with_name("1.234567890.gz")


def best(prices: list[vantrel.PriceSize]) -> str:
    return f"{prices[0].price:g} ({prices[0].size:.2f})" if prices else "-"


def show(book: vantrel.MarketBook) -> None:
    definition = book.market_definition
    name = f"  {definition.venue or ''} {definition.name or ''}".rstrip() if definition else ""
    print(f"market     {book.market_id}{name}")
    print(f"status     {book.status}  in-play {book.inplay}  matched {book.total_matched:.2f}")
    print(f"published  {book.publish_time:%Y-%m-%d %H:%M:%S} UTC")
    print(f"{'selection':>10}  {'status':<8}  {'back':>16}  {'lay':>16}  {'last':>6}")
    for runner in book.runners:
        ltp = f"{runner.last_price_traded:g}" if runner.last_price_traded is not None else "-"
        print(
            f"{runner.selection_id:>10}  {runner.status:<8}  {best(runner.ex.available_to_back):>16}"
            f"  {best(runner.ex.available_to_lay):>16}  {ltp:>6}"
        )


def main(source: str) -> None:
    started = time.perf_counter()
    last: dict[str, vantrel.MarketBook] = {}
    count = 0
    for book in vantrel.replay(source):
        last[book.market_id] = book
        count += 1
    done = time.perf_counter()
    print(f"source     {source}")
    print(f"books      {count}  (read and replayed in {1000 * (done - started):.1f} ms)")
    for book in last.values():
        print()
        show(book)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(SAMPLE))
