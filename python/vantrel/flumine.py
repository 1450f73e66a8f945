"""flumine backtests over vantrel's replay: `HistoricalStream`, a drop-in for flumine's
`BetfairHistoricalStream`.

Importing this module imports flumine; importing `vantrel` alone does not.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

from betfairlightweight.resources.bettingresources import PriceLadderDescription
from flumine.streams.betfairhistoricalstream import (
    BetfairHistoricalStream,
)

from . import _engine
from ._catalogue_source import narrowed
from ._filter import KEYS, EngineFilter, engine_filter
from ._replay import ReplayError, _threads
from ._sources import check_source, inputs
from .vantrel import MarketBook

__all__ = ["HistoricalStream"]

# Listener options whose effect lives in betfairlightweight's own cache, which is not used here:
# `lightweight` hands strategies plain dicts instead of books.
_UNSUPPORTED_OPTIONS = ("lightweight",)

# The market filter keys the stream takes among its listener options and the engine judges, as
# vantrel.replay does. flumine's listener knows none of them but `event_type_ids`, which stays
# the listener's own option, judged as flumine judges it.
_ENGINE_FILTER_KEYS = (*(key for key in KEYS if key != "event_type_ids"), "market_filter",
                       "event_files")


def _split_options(listener_kwargs: dict[str, Any]) -> tuple[dict[str, Any], EngineFilter, int]:
    """The options for flumine's listener, the market filter the engine judges, and the
    recordings it loads side by side."""
    listener = dict(listener_kwargs)
    # One by default: backtests are spread over processes, each taking a core already.
    threads = _threads(listener.pop("threads", 1))
    keys = {key: listener.pop(key) for key in _ENGINE_FILTER_KEYS if key in listener}
    given = engine_filter("HistoricalStream", keys)
    if "event_type_ids" in given and listener.get("event_type_ids") is not None:
        raise TypeError("event_type_ids and market_filter['eventTypeIds'] are the same key: "
                        "give it once")
    return listener, given, threads


class _Caches:
    """Stands in for the listener's market stream: flumine's `BaseStrategy.market_cached`
    looks markets up in `stream._listener.stream._caches`."""

    def __init__(self) -> None:
        self._caches: dict[str, bool] = {}  # the markets met so far


class _Filter:
    """flumine's historic listener options (`inplay`, `seconds_to_start`, `max_inplay_seconds`,
    `event_type_ids`), judged per book exactly as flumine's market stream judges each change."""

    def __init__(self, listener: Any) -> None:
        self.inplay = listener.inplay
        self.seconds_to_start = listener.seconds_to_start
        self.max_inplay_seconds = listener.max_inplay_seconds
        ids = listener.event_type_ids
        self.event_type_ids = [str(i) for i in ids] if isinstance(ids, (list, tuple)) else None
        self.excluded: set[str] = set()
        self._inplay_since: dict[str, int] = {}
        self._was_inplay: dict[str, bool | None] = {}  # None: no definition has said
        self.trivial = (self.inplay is None and self.seconds_to_start is None
                        and self.max_inplay_seconds is None and self.event_type_ids is None)

    def excludes(self, market_id: str, book: MarketBook) -> bool:
        """Markets of other event types are dropped for good once a definition names them."""
        if market_id in self.excluded:
            return True
        if self.event_type_ids is None or book.market_definition is None:
            return False
        if str(book.market_definition.event_type_id) in self.event_type_ids:
            return False
        self.excluded.add(market_id)
        return True

    def active(self, market_id: str, book: MarketBook) -> bool:
        if self.max_inplay_seconds is not None:
            inplay = book.inplay
            if inplay and not self._was_inplay.get(market_id):
                self._inplay_since[market_id] = book.publish_time_epoch
            self._was_inplay[market_id] = inplay
        # Before any definition flumine has no status to go by, and passes the book.
        if book.market_definition is None or book.status != "OPEN":
            return True
        if self.inplay:
            if not book.inplay:
                return False
        elif self.seconds_to_start is not None and self._too_early(book):
            return False
        if self.inplay is False and book.inplay:
            return False
        since = self._inplay_since.get(market_id) if self.max_inplay_seconds is not None else None
        if since is not None and (book.publish_time_epoch - since) / 1000 > self.max_inplay_seconds:
            return False
        return True

    def _too_early(self, book: MarketBook) -> bool:
        definition = book.market_definition
        market_time = definition.market_time if definition is not None else None
        if market_time is None:
            return False
        return bool((market_time - book.publish_time).total_seconds() > self.seconds_to_start)


def _open_source(file_path: object) -> object:
    # flumine reads its files through smart_open, so URLs (s3://, https://, ...) work there too;
    # the bytes are handed over untouched, since the replay tells formats by content.
    if isinstance(file_path, str) and "://" in file_path and not os.path.exists(file_path):
        import smart_open

        return smart_open.open(file_path, "rb", compression="disable")
    return file_path


class _LiveMarkets:
    """The latest book of every market met, in the order the markets were first met, as
    flumine's stream keeps its caches; a market its listener options leave out for now is held
    as None.

    A closed market leaves once its closing book is out. flumine's own stream keeps handing
    it out, to no effect on a simulation; over an archive of many markets that would make each
    message cost as much as all the markets seen before it.
    """

    def __init__(self) -> None:
        self._books: dict[str, MarketBook | None] = {}

    def __bool__(self) -> bool:
        return bool(self._books)

    def update(self, market_id: str, book: MarketBook | None) -> None:
        self._books[market_id] = book

    def drop(self, market_id: str) -> None:
        self._books.pop(market_id, None)

    def clear(self) -> None:
        self._books.clear()

    def books(self) -> list[MarketBook]:
        return [book for book in self._books.values() if book is not None]


def _messages(source: object, listener: Any, select: _Filter, given: EngineFilter,
              threads: int) -> Any:
    """The engine's iterator of (recording number, books) for every message: what flumine's
    listener gets per line.

    The books hold what flumine's own stream hands strategies: price levels as dicts (flumine
    patches betfairlightweight to keep its cache's dicts rather than make objects of them),
    betfairlightweight's PriceLadderDescription, and totals computed as the listener asks. Its
    cache computes those from its lists of traded levels, which it stops keeping up to date
    while the listener leaves a market out; the engine follows that when told which books were
    left out (`left_out`).
    """
    def stop(file: str, member: str | None, reason: str, read: bool = False) -> None:
        raise ReplayError(file, member, reason)

    source = check_source(source)
    # a catalogue's rows keep their markets alone
    given, report = narrowed(source, given, stacklevel=2)
    return _engine.replay(
        inputs(source), stop, filter=given, unmatched=report,
        per_message=True, dict_levels=True,
        price_ladder_description=PriceLadderDescription,
        calculate_market_tv=bool(listener.calculate_market_tv),
        cumulative_runner_tv=bool(listener.cumulative_runner_tv),
        activity=not select.trivial,
        threads=threads,
    )


class HistoricalStream(BetfairHistoricalStream):  # type: ignore[misc]
    """flumine's historical market stream, reading its recording through `vantrel.replay`.

    Takes the arguments of flumine's `BetfairHistoricalStream` and is passed to a strategy the
    same way (`stream=` or `streams=`). `file_path` is anything `vantrel.replay` reads by path:
    a recording in any format it knows (plain, gzip, bzip2, zstd, xz), a tar or zip archive, a
    directory, or a URL smart_open opens. The listener options `inplay`, `seconds_to_start`,
    `max_inplay_seconds` and `event_type_ids` act as in flumine. `listener_kwargs` also takes
    the rest of the exchange's market filter, judged as vantrel.replay judges it: `markets`,
    `event_ids`, `market_types`, `country_codes`, `venues`, `race_types`, `betting_types`,
    `bsp_market`, `turn_in_play_enabled`, or betfairlightweight's streaming_market_filter dict
    as `market_filter`; and `threads`, the recordings decompressed and parsed ahead of the
    backtest side by side (1 by default, as backtests are usually spread over processes; None
    for the cores this process may run on), as for vantrel.replay.

    Books are handed out as flumine's own stream hands them out: after each market change, a
    list of the latest book of every market being processed, runners in the order they were
    first met, with `streaming_unique_id` set to the stream's id. A market that has closed is
    no longer handed out again with other markets' changes (flumine has nothing left to do with
    it), which keeps a stream over an archive of many markets cheap.
    """

    def __init__(
        self,
        file_path: str,
        listener_kwargs: dict[str, Any] | None = None,
        stream_id: int | None = None,
        event_processing: bool = False,
        event_group: str | None = None,
        event_id: str | None = None,
        operation: str = "marketSubscription",
    ) -> None:
        if operation != "marketSubscription":
            raise ValueError(f"HistoricalStream replays market streams only, not {operation!r}")
        options, self._market_filter, self._threads = _split_options(listener_kwargs or {})
        super().__init__(file_path, options, stream_id, event_processing, event_group,
                         event_id, operation)
        # All of them, so that the stream's hash tells streams of different filters apart.
        self.listener_kwargs = dict(listener_kwargs or {})
        for option in _UNSUPPORTED_OPTIONS:
            if getattr(self._listener, option):
                raise ValueError(f"listener option {option}=True is not supported by vantrel")

    def create_generator(self) -> Callable[[], Iterator[list[MarketBook]]]:
        return self._generate

    def _generate(self) -> Iterator[list[MarketBook]]:
        caches = _Caches()
        self._listener.stream = caches
        met = caches._caches
        live = _LiveMarkets()
        select = _Filter(self._listener)
        stream_id = self.stream_id
        recording = 0
        messages = _messages(_open_source(self.file_path), self._listener, select,
                             self._market_filter, self._threads)
        for number, books in messages:
            if number != recording:
                # A recording that ended without closing its markets leaves them behind.
                recording = number
                live.clear()
            # As flumine's stream: the message is handed on when the last market it changed
            # is active, as the latest book of every active market.
            active = False
            left_out = []
            for position, book in enumerate(books):
                market_id = book.market_id
                if not select.trivial and select.excludes(market_id, book):
                    continue
                met[market_id] = True
                book.streaming_unique_id = stream_id
                active = select.trivial or select.active(market_id, book)
                live.update(market_id, book if active else None)
                if not active:
                    left_out.append(position)
            if left_out:
                messages.left_out(left_out)
            if active:
                yield live.books()
            for book in books:
                if book.status == "CLOSED":
                    live.drop(book.market_id)
