"""Research tables as Arrow: prices, trades, and one row per market and per runner.

The engine builds every column in one pass over a source, with no Python object per book or
per cell, and hands over its buffers; pyarrow wraps them without copying. Every column is
described in docs/tables.md.
"""

from __future__ import annotations

import datetime
import numbers
from collections.abc import Iterable
from . import _engine
from ._replay import _choice, _id_list, _raise, _warn
from ._sources import TYPE_CHECKING, check_source, inputs

if TYPE_CHECKING:
    from typing import Any

    import pyarrow

    from ._options import Errors, Form, Ladder, Source

__all__ = ["market_summaries", "prices_table", "runner_summaries", "trades_table"]

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


def _build(source: Source, table: str, markets: str | Iterable[str] | None,
           market_types: str | Iterable[str] | None, errors: Errors,
           storage_options: dict[str, Any] | None, **options: Any) -> Any:
    """Checks what every table takes, then builds `table` in the engine."""
    pa = _pyarrow()
    source = check_source(source)
    from . import _options

    _choice(errors, "errors", _options.ERRORS)
    market_ids = _id_list(markets, "markets")
    types = _id_list(market_types, "market_types")
    on_error = _raise if errors == "raise" else _warn
    counts: list[tuple[int, int]] = []
    columns = _engine.build_table(
        inputs(source, storage_options), on_error, table, markets=market_ids, market_types=types,
        counts=counts, **options)
    global last_counts
    last_counts = counts[0]
    arrays = [_array(pa, c) for c in columns]
    return pa.Table.from_arrays(arrays, names=[c[0] for c in columns])


def prices_table(
    source: Source,
    *,
    form: Form = "best",
    depth: int | None = 3,
    inplay: bool | None = None,
    every: int | datetime.timedelta | None = None,
    changed_only: bool = False,
    ladder: Ladder = "auto",
    markets: str | Iterable[str] | None = None,
    market_types: str | Iterable[str] | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
) -> pyarrow.Table:
    """Prices of every runner of every book in `source`, as a pyarrow.Table.

    `form="best"`: one row per book and runner with the best `depth` back and lay prices and
    sizes (null beyond the ladder). `form="ladder"`: one row per book, runner, side and level
    (`depth` levels per side, None for all). `form="ltp"`: one row per book and runner with
    its last price traded. `inplay=True`/`False` keeps only books in that in-play state.
    `changed_only=True` writes a runner only when its state changed since its last row.
    `every` (milliseconds or a timedelta) samples each market at the multiples of that step
    from its first book to its last: each row holds the last book at or before the point, and
    `publish_time` is the point. `ladder` picks the ladder the prices come from: `"full"`
    (atb/atl), `"display"` (the best display offers, bdatb/bdatl), `"best"` (the best available
    offers, batb/batl), or `"auto"`, per runner and side the first of these three that has
    levels, which is what betfairlightweight hands out as available_to_back/_lay. `source`,
    `markets`, `market_types`, `errors` and `storage_options` are as for vantrel.replay.
    Columns: docs/tables.md.
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
    }
    return _build(source, "prices", markets, market_types, errors, storage_options,
                  **options)


def trades_table(
    source: Source,
    *,
    markets: str | Iterable[str] | None = None,
    market_types: str | Iterable[str] | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
) -> pyarrow.Table:
    """One row whenever a runner's traded volume at a price changes: the cumulative figure
    (`traded`) and what was matched since the runner's previous change there (`delta`).
    Columns: docs/tables.md."""
    return _build(source, "trades", markets, market_types, errors, storage_options)


def market_summaries(
    source: Source,
    *,
    markets: str | Iterable[str] | None = None,
    market_types: str | Iterable[str] | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
) -> pyarrow.Table:
    """One row per market of each recording: its definition, final status, winners, traded
    volume, first, last and first in-play publish times, book count and the file it came
    from. Columns: docs/tables.md."""
    return _build(source, "markets", markets, market_types, errors, storage_options)


def runner_summaries(
    source: Source,
    *,
    before_off: Iterable[int | datetime.timedelta] = DEFAULT_BEFORE_OFF,
    markets: str | Iterable[str] | None = None,
    market_types: str | Iterable[str] | None = None,
    errors: Errors = "raise",
    storage_options: dict[str, Any] | None = None,
) -> pyarrow.Table:
    """One row per market and runner of its last book: final status, starting price, last
    price traded and traded volume at the off and at the end, and the best back and lay prices
    `before_off` seconds before the market time (`back_price_60s`, `lay_price_60s`, ...).
    Columns: docs/tables.md."""
    offsets = _offsets(before_off)
    return _build(source, "runners", markets, market_types, errors, storage_options,
                  offsets=offsets)
