"""Replays a stream file through betfairlightweight and compares its books with vantrel's.

betfairlightweight's historical stream, in lightweight mode, turns the same recorded files
into plain market book dicts of the layout that ``MarketBook.to_dict()`` follows, which makes
it an independent second opinion on what each message should leave behind.

Only fields that mean the same thing on both sides are compared. Where the two read the stream
differently by design, the peer:
- takes market status, in-play, bet delay, version and the runner status, adjustment factor and
  removal date from market definitions only, and reports None for them before the first one
  (vantrel also applies these keys on market and runner changes, and starts from defaults);
- starts the whole market afresh on an image, definition and total matched included (vantrel
  drops only the runners);
- empties the traded ladder on "trd": [] (vantrel leaves it as it was);
- tells runners apart by the raw handicap (vantrel by the handicap in hundredths), keeps numbers
  as JSON wrote them, never fills "lastMatchTime" and orders runners by first appearance;
- ignores lines without "op", and a line that is itself a market change.
Recorded files stay clear of these cases, so on them the books agree field for field.
"""

from __future__ import annotations

import contextlib
import gzip
import itertools
import json
import os
import shutil
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Iterable, Iterator

MARKET_FIELDS = ("status", "inplay", "betDelay", "version", "totalMatched")
RUNNER_FIELDS = ("status", "lastPriceTraded", "totalMatched")
LADDER_FIELDS = ("availableToBack", "availableToLay", "tradedVolume")
CORE_FIELDS = (
    MARKET_FIELDS
    + tuple(f"runner.{name}" for name in RUNNER_FIELDS + LADDER_FIELDS)
    + ("runner.present",)
)

# Compared only on request: both sides fill them, but from rules that are known to differ
# in corner cases (see the module doc), so a difference here needs a human to judge it.
EXTRA_MARKET_FIELDS = (
    "complete",
    "bspReconciled",
    "crossMatching",
    "runnersVoidable",
    "numberOfWinners",
    "numberOfRunners",
    "numberOfActiveRunners",
)
EXTRA_RUNNER_FIELDS = ("adjustmentFactor", "removalDate")
EXTRA_SP_FIELDS = ("nearPrice", "farPrice", "actualSP", "backStakeTaken", "layLiabilityTaken")
EXTRA_FIELDS = (
    EXTRA_MARKET_FIELDS
    + tuple(f"runner.{name}" for name in EXTRA_RUNNER_FIELDS)
    + tuple(f"runner.sp.{name}" for name in EXTRA_SP_FIELDS)
)

_SP_LADDERS = ("backStakeTaken", "layLiabilityTaken")


def peer_available() -> bool:
    try:
        import betfairlightweight  # noqa: F401
    except ImportError:
        return False
    return True


@contextlib.contextmanager
def _plain_text(path: str) -> Iterator[str]:
    # The peer opens files as plain text, so compressed recordings are inflated beside it.
    if not path.endswith((".gz", ".gzip")):
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="peer-replay-") as tmp:
        plain = os.path.join(tmp, os.path.basename(path).rsplit(".", 1)[0])
        with gzip.open(path, "rb") as src, open(plain, "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        yield plain


def _listener_class():
    from betfairlightweight import StreamListener

    class MarkingListener(StreamListener):
        """Notes whether the line just read was applied as a change message.

        The peer's generator hands out a snapshot after every line once a market exists,
        heartbeats and unreadable lines included; only lines that reached the market stream
        count as messages. A line the peer cannot digest (no "op", no "pt") is counted and
        skipped instead of ending the replay.
        """

        def __init__(self) -> None:
            super().__init__(max_latency=None, lightweight=True)
            self.took_change = False
            self.rejected = 0

        def on_data(self, raw_data):
            self.took_change = False
            try:
                return super().on_data(raw_data)
            except (KeyError, TypeError, AttributeError, IndexError):
                self.rejected += 1
                return None

        def _on_change_message(self, data, unique_id):
            super()._on_change_message(data, unique_id)
            self.took_change = True

    return MarkingListener


def iter_peer_books(path: str) -> Iterator[dict]:
    """Yields the peer's market book dict after each change message of the file.

    With several markets in one file the book of the first market met is yielded, since that
    is the market whose id vantrel reports.
    """
    from betfairlightweight import APIClient

    trading = APIClient("username", "password", app_key="appkey")
    listener = _listener_class()()
    with _plain_text(os.fspath(path)) as plain:
        stream = trading.streaming.create_historical_generator_stream(
            file_path=plain, listener=listener
        )
        for books in stream.get_generator()():
            if listener.took_change:
                yield books[0]


def replay(path: str) -> list[dict]:
    return list(iter_peer_books(path))


def iter_peer_market_books(path: str) -> Iterator[dict]:
    """The peer's book of every market each change message changed, in the order the message
    first changed them: the books `vantrel.replay` yields."""
    listener = _listener_class()()
    listener.register_stream(0, "marketSubscription")
    with _plain_text(os.fspath(path)) as plain, open(plain) as lines:
        for line in lines:
            listener.on_data(line)
            if not listener.took_change:
                continue
            changed = dict.fromkeys(change["id"] for change in json.loads(line)["mc"])
            for market_id in changed:
                yield listener.stream._caches[market_id].create_resource(0)


def iter_our_books(path: str) -> Iterator[dict]:
    import vantrel

    for book in vantrel.iter_prices_file(os.fspath(path)):
        yield book.to_dict()


# ---------------------------------------------------------------------------
# Alignment


Pair = tuple[int | None, dict | None, dict | None]


def align(ours: Iterable[dict], peer: Iterable[dict]) -> Iterator[Pair]:
    """Pairs the two sequences of books by publish time.

    Yields (our message number from 1, our book, peer book); one side is None where the other
    has a book without counterpart. Both sides stamp a book with the publish time of the last
    change applied, so a message that changes nothing carries the previous time on both.
    Publish times never decrease in recordings, which makes a merge on them exact.
    """
    peer_it = iter(peer)
    pending = next(peer_it, None)
    for number, book in enumerate(ours, 1):
        pt = book["publishTime"]
        while pending is not None and pending["publishTime"] < pt:
            yield None, None, pending
            pending = next(peer_it, None)
        if pending is not None and pending["publishTime"] == pt:
            yield number, book, pending
            pending = next(peer_it, None)
        else:
            yield number, book, None
    while pending is not None:
        yield None, None, pending
        pending = next(peer_it, None)


# ---------------------------------------------------------------------------
# Comparison


@dataclass(frozen=True)
class Difference:
    field: str
    ours: Any
    peer: Any
    runner: tuple | None = None


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def same(a: Any, b: Any) -> bool:
    """Equality that lets an integer match the float nearest to it.

    The peer hands numbers on as JSON wrote them, vantrel as doubles: 2 and 2.0 are one value,
    and so are 18446744073709551615 and the double it rounds to.
    """
    if isinstance(a, float) and _is_int(b) or _is_int(a) and isinstance(b, float):
        try:
            return float(a) == float(b)
        except OverflowError:
            return False
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def _prices(levels: list | None) -> list[tuple]:
    return [(level["price"], level["size"]) for level in levels or ()]


def _runner_key(runner: dict) -> tuple:
    return runner["selectionId"], float(runner.get("handicap") or 0.0)


def _runner_value(runner: dict, name: str) -> Any:
    if name in LADDER_FIELDS:
        return _prices(runner["ex"][name])
    if name.startswith("sp."):
        value = runner["sp"][name[3:]]
        return _prices(value) if name[3:] in _SP_LADDERS else value
    return runner[name]


def compare_books(
    ours: dict, peer: dict, fields: Iterable[str] = CORE_FIELDS
) -> tuple[list[str], list[Difference]]:
    """Compares two books field by field; returns the fields that agree and the differences.

    Runners are matched by selection id and handicap, so their order does not matter. A field
    counts once per runner present on both sides.
    """
    fields = tuple(fields)
    agreed: list[str] = []
    differences: list[Difference] = []
    for name in fields:
        if "." not in name:
            a, b = ours[name], peer[name]
            if same(a, b):
                agreed.append(name)
            else:
                differences.append(Difference(name, a, b))
    runner_fields = [name[len("runner."):] for name in fields if name.startswith("runner.")]
    if not runner_fields:
        return agreed, differences
    ours_runners = {_runner_key(r): r for r in ours["runners"]}
    peer_runners = {_runner_key(r): r for r in peer["runners"]}
    keys = list(ours_runners) + [key for key in peer_runners if key not in ours_runners]
    for key in keys:
        ours_runner, peer_runner = ours_runners.get(key), peer_runners.get(key)
        if ours_runner is None or peer_runner is None:
            if "present" in runner_fields:
                present = (ours_runner is not None, peer_runner is not None)
                differences.append(Difference("runner.present", *present, key))
            continue
        if "present" in runner_fields:
            agreed.append("runner.present")
        for name in runner_fields:
            if name == "present":
                continue
            a, b = _runner_value(ours_runner, name), _runner_value(peer_runner, name)
            if same(a, b):
                agreed.append(f"runner.{name}")
            else:
                differences.append(Difference(f"runner.{name}", a, b, key))
    return agreed, differences


@dataclass
class Report:
    path: str
    ours: int = 0
    peer: int = 0
    matched: int = 0
    ours_only: list[int] = field(default_factory=list)
    peer_only: int = 0
    agreements: Counter = field(default_factory=Counter)
    differences: Counter = field(default_factory=Counter)
    examples: dict[str, list[tuple[int, Difference]]] = field(default_factory=dict)

    @property
    def clean(self) -> bool:
        return not self.ours_only and not self.peer_only and not self.differences


def compare_file(path: str, fields: Iterable[str] = CORE_FIELDS, keep: int = 5) -> Report:
    """Replays ``path`` through both and tallies, per field, agreements and differences.

    ``keep`` differences per field are kept with their message number as examples.
    """
    report = Report(os.fspath(path))
    for number, ours, peer in align(iter_our_books(path), iter_peer_books(path)):
        _tally(report, number, ours, peer, tuple(fields), keep)
    return report


def compare_replay(path: str, fields: Iterable[str] = CORE_FIELDS, keep: int = 5) -> Report:
    """As compare_file, for the package's books: `vantrel.replay`'s, one per market a message
    changed, paired in order with the peer's (iter_peer_market_books); a pair of different
    markets or times is a difference of the field "book"."""
    import vantrel

    fields = ("book", *fields)
    report = Report(os.fspath(path))
    ours_books = (book.to_dict() for book in vantrel.replay(os.fspath(path)))
    pairs = itertools.zip_longest(ours_books, iter_peer_market_books(path))
    for number, (ours, peer) in enumerate(pairs, 1):
        if ours is not None:
            ours = {**ours, "book": (ours["marketId"], ours["publishTime"])}
        if peer is not None:
            peer = {**peer, "book": (peer["marketId"], peer["publishTime"])}
        _tally(report, number, ours, peer, fields, keep)
    return report


def _tally(report: Report, number: int | None, ours: dict | None, peer: dict | None,
           fields: tuple[str, ...], keep: int) -> None:
    report.ours += ours is not None
    report.peer += peer is not None
    if ours is None:
        report.peer_only += 1
        return
    if peer is None:
        report.ours_only.append(number)
        return
    report.matched += 1
    agreed, differences = compare_books(ours, peer, fields)
    report.agreements.update(agreed)
    for difference in differences:
        report.differences[difference.field] += 1
        kept = report.examples.setdefault(difference.field, [])
        if len(kept) < keep:
            kept.append((number, difference))
