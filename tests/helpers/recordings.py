"""Writes stream recordings (one JSON message a line) into a directory and replays them; the
recordings come from the project's generator (tools/recordings)."""

import copy
import gzip
import itertools
import json
import os
import random
from pathlib import Path

import vantrel
from tools import recordings
from tools.recordings import archives
from tools.recordings import Shape


# The real recordings kept beside the project (CI has them); tests that read them skip without.
SHARED_DATA = Path(os.environ.get("VANTREL_DATA_DIR",
                                  Path(__file__).resolve().parents[3] / "shared" / "data"))
SHARED_RECORDINGS = ("1.197931750", "1.200806927.gz", "BASIC-1.132153978.gz",
                     "SELF-1.181223995.gz")


def shared_recording(name):
    """The path of one of SHARED_RECORDINGS; the test skips when it is absent."""
    import pytest

    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip(f"{path} is not here")
    return str(path)


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


def market_recording(market_id, seed, count=120, *, runners=(11, 12, 13, 14), start=1_714_568_400_000,
                     market_type="WIN", event_id="31", bet_delay_models=None, step=1_000,
                     ladders="full", wipe_at_close=False):
    """The messages (dicts) of one market, `count` of them `step` ms apart: an image with its
    definition (runners listed out of their id order), then price, traded and starting-price
    changes, definitions now and then (the removal of the runner listed last, the turn in play, the
    close).

    What it leaves out keeps `iter_prices_file` reading it as `vantrel.replay` does: the
    removal's date and the price ladder's definition. `ladders` picks the price keys (see
    Shape). `wipe_at_close` ends the recording as the exchange ends a closed market: every
    traded volume set to 0 and the traded ladders emptied (one message more).
    """
    order = list(runners)
    random.Random(seed).shuffle(order)
    shape = Shape(
        name="market", kind="race", runners=len(order), messages=count, whole_life=True,
        selection_ids=tuple(order),
        depth=(3, 8), start_ms=start, step_ms=step, market_type=market_type, event_id=event_id,
        non_runner=len(order) - 1 if len(order) > 2 else None, sp=0.1,
        bet_delay_models=None if bet_delay_models is None else tuple(bet_delay_models),
        ladders=ladders, wipe_at_close=wipe_at_close, removal_dates=False, price_ladder=None)
    return recordings.messages(shape, seed=seed, market_id=market_id)


def resubscribed(messages, count):
    """The messages (dicts) as a recording that starts on a resubscription's deltas holds them:
    the first `count` without their market definitions or images, so that a market's first
    books come before any definition of it."""
    out = copy.deepcopy(messages)
    for message in out[:count]:
        for change in message.get("mc", ()):
            change.pop("marketDefinition", None)
            change.pop("img", None)
    return out


def first_definitions(messages):
    """The publish time of each market's first definition in the messages (dicts)."""
    first = {}
    for message in messages:
        for change in message.get("mc", ()):
            if "marketDefinition" in change:
                first.setdefault(change["id"], message["pt"])
    return first


def race(market_id, *, messages=30, runners=4, seed=1):
    """A realistic recording of one horse-race market, as bytes: an image with the full
    definition and every runner's ladders, then deltas, suspensions, going in-play and the close.
    """
    return "".join(recordings.iter_lines("sample", messages=messages, runners=runners, seed=seed,
                                         market_id=market_id)).encode()


def event_file(*texts):
    """The recordings' lines merged in publish-time order, as one file holds a whole event."""
    return archives.event_text(texts)


START_MS = 1_700_000_000_000


def race_shape(market_id, *, runners=6, depth=8, preplay=60, inplay=60, non_runner=0,
               passive=True, bet_delay=1, winner=0, start_ms=START_MS, step_ms=1000,
               ladders="full", starting_prices=False, market_tv=False, price_ladder=None,
               early_suspension=False, event_type_id="7"):
    """A race market for backtests: `runners` with `depth` ladder levels a side in the image,
    `preplay` and `inplay` deltas a second apart around the off at its market time, the
    non-runner at place `non_runner` (None: none) withdrawn half way to the off, its prices
    left standing, and listed last from then on, the off with a bet delay (passive with
    `passive`), a suspension and the settlement with the runner at place `winner` winning.
    `starting_prices` adds the near and far starting prices, their ladders and the settled
    ones; `market_tv` the market's total matched and runner totals that run ahead of the
    traded ladders."""
    messages = preplay + inplay + 6
    return Shape(
        name="race", kind="race", runners=runners, messages=messages, market_id=market_id,
        whole_life=True,
        depth=(depth, depth), fill=(1.0, 1.0), off_at=(preplay + 2) / (messages - 1),
        removal=non_runner is not None, non_runner=non_runner, removed_last=True,
        removal_clears=False, winner=winner,
        bet_delay=bet_delay, bet_delay_models=("PASSIVE",) if passive else None,
        start_ms=start_ms, step_ms=step_ms, ladders=ladders,
        sp=0.3 if starting_prices else 0.0, bsp=starting_prices, market_tv=market_tv,
        tv_ahead=market_tv, price_ladder=price_ladder, early_suspension=early_suspension,
        event_type_id=event_type_id)


def race_file(path, *specs):
    """A recording of the races `specs` ((seed, race_shape options) pairs): one market's own
    file, or several markets' lines by publish time, as an event-level file holds them."""
    streams = [recordings.iter_lines(race_shape(**options), seed=seed) for seed, options in specs]
    return recordings.write(path, streams[0] if len(streams) == 1 else recordings.merge(*streams))


def replayed(source, **options):
    """What a replay gives, in a form that compares whole: market id, publish time, dict export."""
    return [(b.market_id, b.publish_time, b.to_dict()) for b in vantrel.replay(source, **options)]


# --- event-level recordings for the tables --------------------------------------------------

# The texts a definition may leave out, as a football market has no venue, country or runner
# names: tables of such a file have string columns that are null throughout.
OPTIONAL_TEXTS = ("eventName", "name", "marketType", "countryCode", "venue")
TABLE_START_MS = 1_714_560_000_000  # 2024-05-01T10:40:00Z


def event_lines(seed, markets=3, messages=240, peer_safe=True, texts=True):
    """The lines of one event-level recording: `markets` race markets of one meeting on one
    clock, a few seconds apart, each message holding the changes of every market that changed
    then: an image each, deltas with starting prices, a withdrawal, suspensions, the off and the
    settlement. `peer_safe` keeps to what betfairutil (through betfairlightweight) reads as
    vantrel does: no second image of a market. Without `texts` the definitions carry none of
    OPTIONAL_TEXTS."""
    rng = random.Random(seed)
    start = TABLE_START_MS + rng.randrange(10**6)
    shapes = []
    for _ in range(markets):
        runners = rng.randrange(3, 9)
        shapes.append(Shape(
            name="table", kind="race", runners=runners, messages=messages, depth=(8, 16),
            sp=0.1, off_at=0.75, non_runner=rng.randrange(runners), event_id="33000123",
            event_name="Ascot 1st May", venue="Ascot", texts=texts,
            reimage_at=None if peer_safe else 0.5, start_ms=start, step_ms=2500, jitter_ms=2000))
    ids = [f"1.23{seed:04d}{m:03d}" for m in range(markets)]
    return [text.rstrip("\n")
            for text in recordings.event_lines(shapes, seed=seed, messages=messages,
                                               market_ids=ids)]


def write_event(path, seed, **options):
    """event_lines(seed, **options) written to `path`, gzip when its name ends in .gz."""
    return recordings.write(path, event_lines(seed, **options))


def write_without_texts(path, seed, **options):
    """A recording as write_event's whose definitions carry none of OPTIONAL_TEXTS."""
    return write_event(path, seed, texts=False, **options)


def exchange_recordings(seed, count, long_names=False):
    """(name, bytes) of `count` recordings of 1 to 3 markets named as in the exchange's archives:
    PRO/<year>/<month>/<day>/<event>/<market id>; with `long_names`, every third one in a folder
    past the 100 bytes a plain tar header holds."""
    out = []
    for i in range(count):
        data = "\n".join(event_lines(seed + i, markets=1 + i % 3, messages=50 + 25 * i)) + "\n"
        folder = f"PRO/2024/May/{1 + i // 3}/3300{i // 3}"
        if long_names and i % 3 == 1:
            folder += "/" + "x" * 120
        out.append((f"{folder}/1.2{seed:03d}{i:05d}", data.encode()))
    return out
