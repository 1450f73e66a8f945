"""Writes stream recordings (one JSON message a line) into a directory and replays them."""

import gzip
import heapq
import itertools
import json
import sys
from pathlib import Path

import vantrel

# The benchmark generator writes realistic recordings; the tests borrow it rather than keep a second.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))


def message(pt, *changes):
    """One recorded market-change message carrying `changes` as its "mc" array."""
    return {"op": "mcm", "clk": "AAA", "pt": pt, "mc": list(changes)}


class StreamFiles:
    """Writes recordings into a directory; a str entry is written verbatim as one line."""

    def __init__(self, directory):
        self.directory = directory
        self._names = itertools.count()

    def write(self, lines, *, gzipped=False, name=None):
        text = "".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines)
        if name is None:
            name = f"stream-{next(self._names)}" + (".json.gz" if gzipped else ".json")
        path = self.directory / name
        data = text.encode()
        path.write_bytes(gzip.compress(data) if gzipped else data)
        return str(path)

    def open(self, lines, **options):
        return vantrel.iter_prices_file(self.write(lines, **options))

    def replay(self, lines, **options):
        return list(self.open(lines, **options))


def race(market_id, *, messages=30, runners=4, seed=1):
    """A realistic recording of one horse-race market, as bytes: an image with the full
    definition and every runner's ladders, then deltas, suspensions, going in-play and the close.
    """
    from gen_stream import iter_lines

    return "".join(iter_lines("sample", messages=messages, runners=runners, seed=seed,
                              market_id=market_id)).encode()


def event_file(*recordings):
    """The recordings' lines merged in publish-time order, as one file holds a whole event."""
    streams = [data.decode().splitlines(keepends=True) for data in recordings]
    merged = heapq.merge(*streams, key=lambda line: json.loads(line)["pt"])
    return "".join(merged).encode()


def replayed(source, **options):
    """What a replay gives, in a form that compares whole: market id, publish time, dict export."""
    return [(b.market_id, b.publish_time, b.to_dict()) for b in vantrel.replay(source, **options)]
