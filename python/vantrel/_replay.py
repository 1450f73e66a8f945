"""vantrel.replay: every book of every market of every recording a source holds."""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Iterator

from . import _engine
from ._sources import TYPE_CHECKING, check_source, inputs
from .vantrel import MarketBook

if TYPE_CHECKING:
    from ._sources import Source

__all__ = ["PriceLadderDescription", "ReplayError", "SkippedRecordingWarning", "replay"]


class PriceLadderDescription:
    """The price ladder a market's definition describes: `type` is "CLASSIC", "FINEST" or
    "LINE_RANGE". Read and serialised as betfairlightweight's object of that name."""

    __slots__ = ("type",)

    def __init__(self, type: str) -> None:
        self.type = type

    def serialise(self) -> dict[str, str]:
        return {"type": self.type}

    def __getitem__(self, key: str) -> str:
        if key != "type":
            raise AttributeError(key)
        return self.type

    def get(self, key: str, default: object = None) -> object:
        return self.type if key == "type" else default

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PriceLadderDescription):
            return NotImplemented
        return self.type == other.type

    def __hash__(self) -> int:
        return hash(self.type)

    def __repr__(self) -> str:
        return f"PriceLadderDescription(type={self.type!r})"


class ReplayError(ValueError):
    """A recording could not be read. `file` names it, `member` its archive member (or None)."""

    def __init__(self, file: str, member: str | None, reason: str) -> None:
        where = file if member is None else f"{file} (member {member})"
        super().__init__(f"{where}: {reason}")
        self.file = file
        self.member = member
        self.reason = reason


class SkippedRecordingWarning(UserWarning):
    """A recording was skipped under errors="skip"; the message names it and says why."""


def _raise(file: str, member: str | None, reason: str) -> None:
    raise ReplayError(file, member, reason)


def _warn(file: str, member: str | None, reason: str) -> None:
    error = ReplayError(file, member, reason)
    warnings.warn(f"skipped {error}", SkippedRecordingWarning, stacklevel=3)


def _id_list(value: str | Iterable[str] | None, name: str) -> list[str] | None:
    if value is None:
        return None
    items = [value] if isinstance(value, str) else list(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name} must hold str, not {type(item).__name__}")
    return items


def _choice(value: object, name: str, allowed: tuple[str, ...]) -> None:
    if value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {options}, not {value!r}")


def replay(
    source: Source,
    *,
    markets: str | Iterable[str] | None = None,
    market_types: str | Iterable[str] | None = None,
    errors: str = "raise",
    naive_times: bool = False,
    runner_order: str = "definition",
) -> Iterator[MarketBook]:
    """Replays every recording in `source`, yielding one MarketBook per market a message changes.

    `source` is a path to a file, an archive (tar, plain or compressed; zip) or a directory
    (walked recursively in sorted path order, hidden files skipped), bytes, a binary file
    object (read whole), or a list or tuple of these, replayed in the order given. Formats are
    told by content: plain text, gzip, bzip2, zstd and xz. Each file or archive member is
    replayed on its own, every market in it with a cache of its own.

    `markets` keeps only these market ids; `market_types` only markets whose definition
    carries one of these market types. Times are timezone-aware UTC datetimes, or naive UTC
    with `naive_times=True`. Runners come in the order the market's definition first listed them,
    runners first named by a price change after them as they appeared, which is the order
    betfairlightweight and flumine give (`runner_order="definition"`), or by selection id and
    handicap (`"key"`).

    A recording that cannot be read raises ReplayError (a ValueError) naming it, before any of
    its books; with `errors="skip"` it is skipped with a SkippedRecordingWarning instead.
    """
    check_source(source)
    _choice(errors, "errors", ("raise", "skip"))
    _choice(runner_order, "runner_order", ("definition", "key"))
    market_ids = _id_list(markets, "markets")
    types = _id_list(market_types, "market_types")
    on_error = _raise if errors == "raise" else _warn
    return _engine.replay(
        inputs(source),
        on_error,
        markets=market_ids,
        market_types=types,
        naive_times=bool(naive_times),
        appearance_order=runner_order == "definition",
        price_ladder_description=PriceLadderDescription,
    )
