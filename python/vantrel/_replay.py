"""vantrel.replay: every book of every market of every recording a source holds."""

from __future__ import annotations

import numbers
import warnings
from collections.abc import Iterator

from . import _engine
from ._catalogue_source import narrowed
from ._filter import engine_filter
from ._sources import TYPE_CHECKING, check_source, inputs, usable_cpus
from .vantrel import MarketBook

if TYPE_CHECKING:
    from typing import Any, Unpack

    from ._options import Errors, MarketFilterKeys, RunnerOrder, Source

__all__ = ["PriceLadderDescription", "ReplayError", "SkippedRecordingWarning",
           "TrailingBytesWarning", "replay"]


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
    """A recording could not be read. `file` names it, `member` its archive member (or None),
    `reason` says why.

    When the operating system refused the file (missing, not readable, a directory...), the
    error is also the matching OSError, with `errno`, `strerror` and `filename` set: `except
    FileNotFoundError` catches a missing file as `except ValueError` does."""

    file: str
    member: str | None
    reason: str

    def __new__(cls, file: str, member: str | None, reason: str) -> ReplayError:
        if cls is ReplayError:
            code = _errno_of(reason)
            if code is not None:
                cls = _os_error_class(code)
        # An OSError subclass has its own instance layout, which only OSError may make.
        new = OSError.__new__ if issubclass(cls, OSError) else ValueError.__new__
        return new(cls)

    def __init__(self, file: str, member: str | None, reason: str) -> None:
        where = file if member is None else f"{file} (member {member})"
        ValueError.__init__(self, f"{where}: {reason}")
        self.file = file
        self.member = member
        self.reason = reason
        if isinstance(self, OSError):
            self.errno = _errno_of(reason)
            self.strerror = reason.rpartition(_OS_ERROR_MARK)[0]
            self.filename = file

    def __str__(self) -> str:
        return str(self.args[0])

    def __reduce__(self) -> tuple[type[ReplayError], tuple[str, str | None, str]]:
        return ReplayError, (self.file, self.member, self.reason)


# How the engine ends the text of an error the operating system gave: "... (os error 2)".
_OS_ERROR_MARK = " (os error "
_OS_ERROR_CLASSES: dict[type[OSError], type[ReplayError]] = {}


def _errno_of(reason: str) -> int | None:
    _, mark, tail = reason.rpartition(_OS_ERROR_MARK)
    number = tail[:-1]
    return int(number) if mark and tail.endswith(")") and number.isdigit() else None


def _os_error_class(code: int) -> type[ReplayError]:
    """ReplayError joined with the OSError subclass Python gives `code` (FileNotFoundError for
    ENOENT...), made once per subclass."""
    base = type(OSError(code, ""))
    cls = _OS_ERROR_CLASSES.get(base)
    if cls is None:
        name = f"Replay{base.__name__}"
        cls = type(name, (ReplayError, base), {"__module__": "vantrel", "__qualname__": name})
        _OS_ERROR_CLASSES[base] = cls
    return cls


class SkippedRecordingWarning(UserWarning):
    """A recording was skipped under errors="skip"; the message names it and says why."""


class TrailingBytesWarning(UserWarning):
    """Under errors="skip", bytes follow a recording's compressed data that are neither another
    stream of it nor zeros: the recording was read up to them and its books given. The message
    names it and says where they begin."""


# How the warnings of errors="skip" begin and end, for the command line to list them by.
SKIPPED = "skipped "
READ_UP_TO = ": read up to them"


# The engine's callback: `read` is true for what a recording was read past, whose books come.
def _raise(file: str, member: str | None, reason: str, read: bool = False) -> None:
    raise ReplayError(file, member, reason)


def _warn(file: str, member: str | None, reason: str, read: bool = False) -> None:
    error = ReplayError(file, member, reason)
    if read:
        warnings.warn(f"{error}{READ_UP_TO}", TrailingBytesWarning, stacklevel=3)
    else:
        warnings.warn(f"{SKIPPED}{error}", SkippedRecordingWarning, stacklevel=3)


def _choice(value: object, name: str, allowed: tuple[str, ...]) -> None:
    if value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {options}, not {value!r}")


def _threads(threads: object) -> int:
    """The recordings a call loads side by side: `threads`, or for None the cores this process
    may run on (a container's or taskset's share, not the machine's)."""
    if threads is None:
        return usable_cpus()
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be 1 or more, not {threads}")
    return int(threads)


def replay(
    source: Source,
    *,
    errors: Errors = "raise",
    threads: int | None = None,
    naive_times: bool = False,
    runner_order: RunnerOrder = "definition",
    storage_options: dict[str, Any] | None = None,
    **market_filter: Unpack[MarketFilterKeys],
) -> Iterator[MarketBook]:
    """Replays every recording in `source`, yielding one MarketBook per market a message changes.

    `source` is a path to a file, an archive (tar, plain or compressed; zip) or a directory
    (walked recursively in sorted path order, hidden files skipped), a glob pattern ("**"
    recursive), a URL read through fsspec (`storage_options` go to it), bytes, a binary file
    object (read whole), or any iterable of these (a list, `Path.glob()`), replayed in the order
    given. Formats are told by content: plain text, gzip, bzip2, zstd and xz. Each file or
    archive member is replayed on its own, every market in it with a cache of its own.

    `source` may also be rows of vantrel.catalogue, picked as you like (a pyarrow Table, a
    pandas or polars DataFrame): only the members they name are read, each with one seek to its
    offset in a plain tar or zip, in the rows' order, once however many rows name it, and only
    the markets they name are kept. A member whose archive no longer holds it there fails as a
    damaged recording would. Rows without an offset (members of a compressed tar) read their
    source whole, once, where the first of them is.

    The exchange's market filter picks the markets: `markets` (market ids), `event_ids`,
    `event_type_ids`, `market_types`, `country_codes`, `venues`, `race_types`, `betting_types`
    (each a str or an iterable of str: any of them), `bsp_market` and `turn_in_play_enabled`
    (True or False), or `market_filter`, betfairlightweight's streaming_market_filter dict
    (camelCase keys). A market must meet every key given. Values are matched exactly as the
    stream writes them ("WIN", "GB", "Flat"). A market is judged at its first definition and
    yielded from then on while its definitions meet the filter; one that fails it is dropped for
    good. A run that ends with a key no market met warns with a FilterWarning.

    Times are timezone-aware UTC datetimes, or naive UTC with `naive_times=True`. Runners come
    in the order the market's definition first listed them, runners first named by a price
    change after them as they appeared, which is the order betfairlightweight and flumine give
    (`runner_order="definition"`), or by selection id and handicap (`"key"`).

    A recording that cannot be read raises ReplayError (a ValueError) naming it, before any of
    its books, a missing or unreadable file also the matching OSError; with `errors="skip"` it
    is skipped with a SkippedRecordingWarning instead. A stream that is not market data (race,
    cricket or order streams) is such a recording. So are bytes after a gzip or bzip2
    recording's data that are neither another stream of it nor zeros, but with
    `errors="skip"` the recording is read up to them, with a TrailingBytesWarning.

    `threads` recordings are decompressed and parsed ahead of the replay, side by side, the
    members of a plain tar or zip file too (None, the default: the cores this process may run
    on; 1: one at a time, one recording ahead). The books, their order and the errors are the
    same whatever it is; memory grows by about a recording's text per thread.
    """
    from . import _options

    workers = _threads(threads)
    source = check_source(source)
    _choice(errors, "errors", _options.ERRORS)
    _choice(runner_order, "runner_order", _options.RUNNER_ORDERS)
    given = engine_filter("replay", market_filter)
    on_error = _raise if errors == "raise" else _warn
    # called from the iterator's last step: one frame up is the loop that took it
    given, report = narrowed(source, given, stacklevel=2)
    return _engine.replay(
        inputs(source, storage_options),
        on_error,
        filter=given,
        unmatched=report,
        naive_times=bool(naive_times),
        appearance_order=runner_order == "definition",
        price_ladder_description=PriceLadderDescription,
        threads=workers,
    )
