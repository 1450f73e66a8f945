"""Writes stream recordings (one JSON message a line) into a directory and replays them."""

import gzip
import itertools
import json

import vantrel


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
