"""Writes stream recordings (one JSON message a line) into a directory and replays them."""

import gzip
import heapq
import itertools
import json
import random
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


# The ladder keys a recording's price changes use: "full" ladders keyed by price, the level-keyed
# best-offers projections alone ("display": best available and best display, as a recorder
# subscribed to best offers writes them), or both ("mixed", the full ladder emptied at times).
LADDER_KEYS = {
    "full": ("atb", "atl", "trd"),
    "display": ("batb", "batl", "bdatb", "bdatl", "trd"),
    "mixed": ("atb", "atl", "batb", "batl", "bdatb", "bdatl", "trd"),
}


def _image_ladders(kind, i):
    full = {"atb": [[2 + i, 10]], "atl": [[2.5 + i, 12]]}
    if kind == "mixed":
        # At prices the changes name, so that the full ladder empties now and then.
        full = {"atb": [[(1.5, 2, 2.5, 3)[i % 4], 10]], "atl": [[(3, 4.2, 10, 2.5)[i % 4], 12]]}
    levels = {"batb": [[0, 2 + i, 10], [1, 1.9 + i, 4]], "batl": [[0, 2.5 + i, 12]],
              "bdatb": [[0, 2.02 + i, 11]], "bdatl": [[0, 2.48 + i, 13], [1, 2.6 + i, 3]]}
    return {"full": full, "display": levels, "mixed": {**full, **levels}}[kind]


def market_recording(market_id, seed, count=120, *, runners=(11, 12, 13, 14), start=1_714_568_400_000,
                     market_type="WIN", event_id="31", bet_delay_models=None, step=1_000,
                     ladders="full", wipe_at_close=False):
    """Messages of one realistic market: an image with its definition, then price, traded and
    starting-price changes, definitions now and then (a removal, the turn in play, the close).

    `ladders` picks the price keys (LADDER_KEYS). `wipe_at_close` ends the recording as the
    exchange ends a closed market: every traded volume set to 0 and the traded ladders emptied.
    """
    rng = random.Random(seed)
    order = list(runners)
    rng.shuffle(order)  # the definition's order is not the key order

    def definition(status="OPEN", inplay=False, removed=()):
        d = {"eventId": event_id, "eventTypeId": "7", "marketType": market_type, "status": status,
             "inPlay": inplay, "bettingType": "ODDS", "marketTime": "2024-05-01T13:00:00.000Z",
             "openDate": "2024-05-01T12:00:00Z", "numberOfWinners": 1, "version": rng.randint(1, 99),
             "runners": [{"id": s, "sortPriority": i + 1, "status": "REMOVED" if s in removed else "ACTIVE",
                          "name": f"R{s}"} for i, s in enumerate(order)]}
        if bet_delay_models is not None:
            d["betDelayModels"] = list(bet_delay_models)
        return d

    lines = [message(start, {"id": market_id, "img": True, "marketDefinition": definition(),
                             "rc": [{"id": s, **_image_ladders(ladders, i)}
                                    for i, s in enumerate(runners)]})]
    traded = {s: {} for s in runners}
    removed = ()
    for n in range(1, count):
        change = {"id": market_id, "tv": n * 3.5}
        rcs = []
        for _ in range(rng.randint(0, 3)):
            s = rng.choice(runners)
            rc = {"id": s}
            price = rng.choice([1.5, 2, 2.5, 3, 4.2, 10])
            key = rng.choice(LADDER_KEYS[ladders])
            size = rng.choice([0, 1, 7.25, 100])
            if key == "trd" and wipe_at_close:
                # Traded volume at a price only grows until the close wipes it.
                size = traded[s].get(price, 0) + size
            if key.startswith("b"):
                rc[key] = [[rng.randrange(3), price, size]]
            else:
                rc[key] = [[price, size]]
            if key == "trd":
                traded[s][price] = size
            if ladders == "mixed" and rng.random() < 0.2:
                # The full ladder of a side emptied: what is handed out falls back.
                side = rng.choice(["atb", "atl"])
                rc[side] = rc.get(side, []) + [[p, 0] for p in (1.5, 2, 2.5, 3, 4.2, 10)]
            if rng.random() < 0.3:
                rc["ltp"] = price
                rc["tv"] = n * 1.25
            if rng.random() < 0.1:
                rc[rng.choice(["spn", "spf"])] = rng.choice([1.9, 3.4, "NaN", "Infinity"])
            rcs.append(rc)
        if rcs:
            change["rc"] = rcs
        if n == count // 3:
            removed = (runners[-1],)
            change["marketDefinition"] = definition(removed=removed)
        elif n == count // 2:
            change["marketDefinition"] = definition(inplay=True, removed=removed)
        elif n == count - 1:
            change["marketDefinition"] = definition(status="CLOSED", inplay=True, removed=removed)
        lines.append(message(start + n * step, change))
    if wipe_at_close:
        rcs = [{"id": s, "tv": 0, **({"trd": [[p, 0] for p in traded[s]]} if traded[s] else {})}
               for s in runners]
        lines.append(message(start + count * step, {"id": market_id, "tv": 0, "rc": rcs}))
    return lines


def interleave(*recordings):
    """One event-level recording of several markets: messages in publish-time order, and the
    changes of messages published at the same time merged into one message."""
    by_time = {}
    for lines in recordings:
        for line in lines:
            merged = by_time.setdefault(line["pt"], message(line["pt"]))
            merged["mc"].extend(line["mc"])
    return [by_time[pt] for pt in sorted(by_time)]


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
