"""The types of the package's arguments: what a source may be, and one Literal per option.

The values each option takes are written once, in its Literal, and the checks the functions
make at run time are read from it: a new value is one edit here. This module imports typing,
which `import vantrel` does not, so the package imports it only when an option is checked;
`vantrel.Source`, `vantrel.Form` and the others come from here on first use.
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterable, Mapping
from typing import Literal, Protocol, TypedDict, get_args

__all__ = ["CatalogueTable", "DtypeBackend", "Errors", "EventFiles", "Form", "Ladder", "MarketFilterKeys", "Readable",
           "RunnerOrder", "Source", "Window"]


class Readable(Protocol):
    """A binary file object: anything whose read() gives the rest of its bytes."""

    def read(self, size: int = -1, /) -> bytes: ...


class CatalogueTable(Protocol):
    """A table in Arrow's stream interface (a pyarrow Table, a pandas or polars DataFrame):
    rows of vantrel.catalogue, read as a source."""

    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...


# What a source argument may be: a path, a directory, a glob pattern or a URL (through fsspec),
# bytes, a binary file object, or any iterable of these; or a catalogue's rows.
type Source = (str | os.PathLike[str] | bytes | bytearray | memoryview | Readable
               | Iterable[Source] | CatalogueTable)

# The shape of prices_table: the best levels per book and runner, one row per ladder level, or
# the last price traded alone.
type Form = Literal["best", "ladder", "ltp"]

# The ladder prices_table reads: per runner and side the first of full, best display and best
# available that has levels (what betfairlightweight hands out), or one of them alone.
type Ladder = Literal["auto", "full", "display", "best"]

# What becomes of an unreadable recording: a ReplayError, or a warning and on to the next one.
type Errors = Literal["raise", "skip"]

# Runners in the order the market's definition first listed them, or by selection id.
type RunnerOrder = Literal["definition", "key"]

# Where an event's folder holds a file per market and the event's own file with the same
# markets: each market once ("once": from its own file where that comes first, from the event
# file for the markets without one), the event files instead of the market files, the market
# files alone ("skip" the event files), or every file whole ("all": markets twice).
type EventFiles = Literal["once", "instead", "skip", "all"]

# A list key of the market filter: one value, or any of several.
type Texts = str | Iterable[str]


class MarketFilterKeys(TypedDict, total=False):
    """The exchange's market filter, as replay, the tables, vantrel.dask and the flumine stream
    take it: keyword arguments snake_case as betfairlightweight's streaming_market_filter names
    them (but `markets` for the market ids), or its camelCase dict as `market_filter`."""

    markets: Texts | None
    event_ids: Texts | None
    event_type_ids: Texts | None
    market_types: Texts | None
    country_codes: Texts | None
    venues: Texts | None
    race_types: Texts | None
    betting_types: Texts | None
    bsp_market: bool | None
    turn_in_play_enabled: bool | None
    market_filter: Mapping[str, object] | None
    event_files: EventFiles


# Seconds from each market's scheduled start (negative before it) that prices_table and
# trades_table keep their rows to, either end None for open.
type WindowEnd = float | datetime.timedelta | None
type Window = tuple[WindowEnd, WindowEnd]

# The pandas dtypes of vantrel.dask's frames, named as pandas' readers name them.
type DtypeBackend = Literal["numpy_nullable", "pyarrow"]

FORMS: tuple[str, ...] = get_args(Form.__value__)
LADDERS: tuple[str, ...] = get_args(Ladder.__value__)
ERRORS: tuple[str, ...] = get_args(Errors.__value__)
EVENT_FILES: tuple[str, ...] = get_args(EventFiles.__value__)
RUNNER_ORDERS: tuple[str, ...] = get_args(RunnerOrder.__value__)
DTYPE_BACKENDS: tuple[str, ...] = get_args(DtypeBackend.__value__)

# The names the package gives these types, handed out by its module __getattr__.
PUBLIC = {"Source": Source, "Form": Form, "Ladder": Ladder, "Errors": Errors,
          "RunnerOrder": RunnerOrder, "DtypeBackend": DtypeBackend, "EventFiles": EventFiles, "Readable": Readable,
          "MarketFilterKeys": MarketFilterKeys, "Window": Window}
