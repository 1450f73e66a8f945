"""Research tables as Arrow: prices, trades, and one row per market and per runner.

The engine builds every column in one pass over a source, with no Python object per book or
per cell, and hands over its buffers; pyarrow wraps them without copying. Every column is
described in docs/tables.md.
"""

from __future__ import annotations

import datetime
import math
import numbers
from collections.abc import Iterable, Mapping

from . import _engine
from ._catalogue_source import narrowed
from ._filter import engine_filter
from ._replay import _choice, _raise, _threads, _warn
from ._sources import TYPE_CHECKING, check_source, inputs

if TYPE_CHECKING:
    from typing import Any, Unpack

    import pyarrow

    from ._options import Errors, Form, Ladder, MarketFilterKeys, Source, Window

__all__ = ["catalogue", "market_summaries", "prices_table", "runner_summaries", "trades_table"]

DEFAULT_BEFORE_OFF = (60, 300, 600)


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as exc:
        raise ImportError(
            "vantrel's tables need pyarrow: install it with pip install 'vantrel[tables]'"
        ) from exc
    return pyarrow


def _whole_number(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return int(value)


def _depth(depth: object, form: str) -> int:
    if depth is None:
        if form == "best":
            raise TypeError("depth must be an int for form='best'")
        return 0  # every level
    value = _whole_number(depth, "depth")
    if value <= 0:
        raise ValueError(f"depth must be 1 or more, not {value}")
    return value


def _every_ms(every: object) -> int:
    if every is None:
        return 0
    if isinstance(every, datetime.timedelta):
        value = every // datetime.timedelta(milliseconds=1)
    else:
        value = _whole_number(every, "every")
    if value <= 0:
        raise ValueError(f"every must be at least one millisecond, not {every!r}")
    return value


def _inplay(inplay: object) -> bool | None:
    if inplay is not None and not isinstance(inplay, bool):
        raise TypeError(f"inplay must be True, False or None, not {type(inplay).__name__}")
    return inplay


def _window_end_ms(end: object, name: str) -> int | None:
    if end is None:
        return None
    if isinstance(end, datetime.timedelta):
        ms = end // datetime.timedelta(milliseconds=1)
    elif isinstance(end, bool) or not isinstance(end, numbers.Real):
        raise TypeError(f"{name} must be seconds (a number or a timedelta) or None, "
                        f"not {type(end).__name__}")
    elif not math.isfinite(end):
        raise ValueError(f"{name} must be a finite number of seconds (None leaves it open), "
                         f"not {end!r}")
    else:
        ms = round(float(end) * 1000)
    if not -WINDOW_LIMIT_MS <= ms <= WINDOW_LIMIT_MS:
        raise ValueError(f"{name} must be within {WINDOW_LIMIT_MS // 1000:,} seconds of the off, "
                         f"not {end!r}")
    return ms


# Ten thousand years either side of the off: further than any time a definition can hold.
WINDOW_LIMIT_MS = 10_000 * 366 * 86_400_000


def _window(window: object) -> tuple[int | None, int | None] | None:
    """(start, end) in milliseconds from the market time, or None for no window."""
    if window is None:
        return None
    if isinstance(window, (str, bytes, Mapping)) or not isinstance(window, Iterable):
        raise TypeError("window must be a (start, end) pair of seconds from the market time, "
                        f"not {type(window).__name__}")
    ends = list(window)
    if len(ends) != 2:
        raise TypeError(f"window must be a (start, end) pair, not {len(ends)} values")
    start, end = _window_end_ms(ends[0], "window start"), _window_end_ms(ends[1], "window end")
    if start is not None and end is not None and start >= end:
        raise ValueError(f"window start must come before its end, not {tuple(ends)!r}")
    return None if start is None and end is None else (start, end)


def _offset_seconds(offset: object) -> int:
    if isinstance(offset, datetime.timedelta):
        if offset % datetime.timedelta(seconds=1):
            raise ValueError(f"before_off offsets must be whole seconds, not {offset!r}")
        value = offset // datetime.timedelta(seconds=1)
    else:
        value = _whole_number(offset, "a before_off offset")
    if value < 0:
        raise ValueError(f"before_off offsets must be 0 or more seconds, not {offset!r}")
    return value


def _offsets(before_off: Iterable[object]) -> list[int]:
    if isinstance(before_off, (str, bytes)) or not isinstance(before_off, Iterable):
        raise TypeError("before_off must be a sequence of seconds (int or timedelta)")
    seconds = [_offset_seconds(o) for o in before_off]
    if len(set(seconds)) != len(seconds):
        raise ValueError("before_off offsets must differ from each other")
    return seconds


def _array(pa: Any, column: tuple[Any, ...]) -> Any:
    _name, kind, length, nulls, buffers, child_length, child_buffers = column
    wrapped = [None if b is None else pa.py_buffer(b) for b in buffers]
    child = [None if b is None else pa.py_buffer(b) for b in child_buffers]
    if kind == "dictionary":
        dictionary = pa.Array.from_buffers(pa.string(), child_length, child)
        indices = pa.Array.from_buffers(pa.int32(), length, wrapped, null_count=nulls)
        # The engine numbers every string it writes: checking each index again would cost a
        # pass over the column for nothing.
        return pa.DictionaryArray.from_arrays(indices, dictionary, safe=False)
    if kind == "list_int64":
        values = pa.Array.from_buffers(pa.int64(), child_length, child)
        return pa.Array.from_buffers(pa.list_(pa.int64()), length, wrapped, children=[values])
    return pa.Array.from_buffers(_value_type(pa, kind), length, wrapped, null_count=nulls)


_VALUE_TYPES: dict[str, Any] = {}


def _value_type(pa: Any, kind: str) -> Any:
    # Made once: making them per column cost a quarter of wrapping a small file's table.
    if not _VALUE_TYPES:
        _VALUE_TYPES.update(float64=pa.float64(), int64=pa.int64(), bool=pa.bool_(),
                            timestamp_ms=pa.timestamp("ms", tz="UTC"))
    return _VALUE_TYPES[kind]


# (books, markets) the last table built in this process came from: the command line sums them
# over its tasks for its closing summary.
last_counts: tuple[int, int] = (0, 0)


def _build(function: str, source: Source, table: str, market_filter: MarketFilterKeys,
           errors: Errors, storage_options: dict[str, Any] | None, threads: int | None,
           **options: Any) -> Any:
    """Checks what every table takes, then builds `table` in the engine."""
    workers = _threads(threads)
    pa = _pyarrow()
    # the caller of the table function is three frames above _columns
    columns = _columns(pa, function, source, table, market_filter, errors, storage_options, 5,
                       threads=workers, **options)
    arrays = [_array(pa, c) for c in columns]
    return pa.Table.from_arrays(arrays, names=[c[0] for c in columns])


def _columns(pa: Any, function: str, source: Source, table: str,
             market_filter: MarketFilterKeys, errors: Errors,
             storage_options: dict[str, Any] | None, stacklevel: int, **options: Any) -> Any:
    """The table's columns from the engine; a filter key that met no market warns
    `stacklevel` frames up from the engine's call of the reporter (this function is one)."""
    source = check_source(source)
    from . import _options

    _choice(errors, "errors", _options.ERRORS)
    given = engine_filter(function, market_filter)
    on_error = _raise if errors == "raise" else _warn
    counts: list[tuple[int, int]] = []
    given, report = narrowed(source, given, stacklevel)
    columns = _engine.build_table(
        inputs(source, storage_options), on_error, table, filter=given,
        unmatched=report, counts=counts, **options)
    global last_counts
    last_counts = counts[0]
    return columns


def prices_table(
    source: Source,
    *,
    form: Form = "best",
    depth: int | None = 3,
    inplay: bool | None = None,
    every: int | datetime.timedelta | None = None,
    changed_only: bool = False,
    ladder: Ladder = "auto",
    window: Window | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
    threads: int | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> pyarrow.Table:
    """Prices of every runner of every book in `source`, as a pyarrow.Table.

    `form="best"`: one row per book and runner with the best `depth` back and lay prices and
    sizes (null beyond the ladder). `form="ladder"`: one row per book, runner, side and level
    (`depth` levels per side, None for all). `form="ltp"`: one row per book and runner with
    its last price traded. `inplay=True`/`False` keeps only books in that in-play state (a
    book before the market's first definition, whose state is null, is in neither).
    `changed_only=True` writes a runner only when its state changed since its last row.
    `every` (milliseconds or a timedelta) samples each market at the multiples of that step
    from its first book to its last: each row holds the last book at or before the point, and
    `publish_time` is the point. `ladder` picks the ladder the prices come from: `"full"`
    (atb/atl), `"display"` (the best display offers, bdatb/bdatl), `"best"` (the best available
    offers, batb/batl), or `"auto"`, per runner and side the first of these three that has
    levels, which is what betfairlightweight hands out as available_to_back/_lay.

    `window=(start, end)` keeps the rows from `start` seconds after each market's scheduled
    start (its definition's market time, as it stood at the row; negative before it) up to
    `end` seconds, `end` itself left out; either end None leaves that side open. A market with
    no market time gives no rows while it has none. With `every`, the points fall on whole steps
    from the window's start: `every=1000, window=(-600, 0)` gives a row a second for the ten
    minutes before the off. `changed_only` then counts from the window's first row.

    `source`, the market filter keys (`markets`, `market_types`, `venues`, ... or
    `market_filter`), `errors` and `storage_options` are as for vantrel.replay.
    `threads`: how many recordings are decompressed and parsed side by side, the members of a
    plain tar or zip file too, the interpreter lock released (None, the default: the cores this
    process may run on; 1: one at a time). The rows, their order and the errors are the same
    whatever it is. Columns: docs/tables.md.
    """
    from . import _options

    _choice(form, "form", _options.FORMS)
    _choice(ladder, "ladder", _options.LADDERS)
    options = {
        "form": form,
        "depth": _depth(depth, form) if form != "ltp" else 0,
        "inplay": _inplay(inplay),
        "every_ms": _every_ms(every),
        "changed_only": bool(changed_only),
        "ladder": ladder,
        "window": _window(window),
    }
    return _build("prices_table", source, "prices", market_filter, errors, storage_options,
                  threads, **options)


def trades_table(
    source: Source,
    *,
    window: Window | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
    threads: int | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> pyarrow.Table:
    """One row whenever a runner's traded volume at a price changes: the cumulative figure
    (`traded`) and what was matched since the runner's previous change there (`delta`).
    `window=(start, end)` keeps the rows within those seconds of each market's scheduled start,
    as for prices_table; a row's `delta` still counts from the change before it, in the window
    or not. The market filter keys, `errors` and `storage_options` are as for vantrel.replay,
    `threads` as for prices_table.
    Columns: docs/tables.md."""
    return _build("trades_table", source, "trades", market_filter, errors, storage_options,
                  threads, window=_window(window))


def market_summaries(
    source: Source,
    *,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
    threads: int | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> pyarrow.Table:
    """One row per market of each recording: its definition, final status, winners, traded
    volume, first, last and first in-play publish times, book count and the file it came
    from. The market filter keys, `errors` and `storage_options` are as for vantrel.replay,
    `threads` as for prices_table.
    Columns: docs/tables.md."""
    return _build("market_summaries", source, "markets", market_filter, errors, storage_options,
                  threads)


def runner_summaries(
    source: Source,
    *,
    before_off: Iterable[int | datetime.timedelta] = DEFAULT_BEFORE_OFF,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
    threads: int | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> pyarrow.Table:
    """One row per market and runner of its last book: final status, starting price, last
    price traded and traded volume at the off and at the end, and the best back and lay prices
    `before_off` seconds before the market time (`back_price_60s`, `lay_price_60s`, ...). The
    market filter keys, `errors` and `storage_options` are as for vantrel.replay,
    `threads` as for prices_table.
    Columns: docs/tables.md."""
    offsets = _offsets(before_off)
    return _build("runner_summaries", source, "runners", market_filter, errors, storage_options,
                  threads, offsets=offsets)


# The engine writes the catalogue's runners flat: the list column of selection ids, and one
# column per other field of theirs, a value per runner in list order.
_RUNNER_FIELDS = ("handicap", "name", "sort_priority")


def catalogue(
    source: Source,
    *,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
    threads: int | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> pyarrow.Table:
    """One row per market of every recording, from its first market definition: where it is
    (`source`, archive `member`, and the `offset` and `size` of its stored bytes in the file),
    what it is (ids, names, type, venue, times, its `runners`) and when it was first published.

    A recording named as one market's file (the exchange's `1.234567890.bz2`) is read no further
    than that market's first definition, so a month's archive is catalogued for a fraction of
    what replaying it costs; other recordings are read whole. The market filter keys, `errors`
    and `storage_options` are as for vantrel.replay, `threads` as for prices_table.
    Columns: docs/tables.md."""
    workers = _threads(threads)
    pa = _pyarrow()
    columns = _columns(pa, "catalogue", source, "catalogue", market_filter, errors,
                       storage_options, 4, threads=workers)
    arrays = {c[0]: _array(pa, c) for c in columns}
    ids = arrays["runners"]
    fields = [ids.values] + [arrays.pop(f"runners.{f}") for f in _RUNNER_FIELDS]
    runner = pa.StructArray.from_arrays(fields, names=["selection_id", *_RUNNER_FIELDS])
    # The ids' own offsets: the struct's children are the engine's buffers, not copies.
    arrays["runners"] = pa.Array.from_buffers(pa.list_(runner.type), len(ids),
                                              ids.buffers()[:2], children=[runner])
    return pa.Table.from_arrays(list(arrays.values()), names=list(arrays))
