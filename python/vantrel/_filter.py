"""The exchange's market filter as the package takes it: its keys checked and handed to the
engine, which judges every market by them, and a warning for a key that no market met.

The keys are those of the exchange's stream market filter, snake_case as betfairlightweight's
`streaming_market_filter` names its arguments (the market ids apart, which the package has
always called `markets`); `market_filter=` takes that function's camelCase dict as it is.
"""

from __future__ import annotations

import contextvars
import warnings
from collections.abc import Iterable, Mapping

from ._sources import TYPE_CHECKING

if TYPE_CHECKING:
    from collections.abc import Callable

__all__ = ["FilterWarning"]

# The package's name of each key, and the stream filter's.
KEYS: dict[str, str] = {
    "markets": "marketIds",
    "event_ids": "eventIds",
    "event_type_ids": "eventTypeIds",
    "market_types": "marketTypes",
    "country_codes": "countryCodes",
    "venues": "venues",
    "race_types": "raceTypes",
    "betting_types": "bettingTypes",
    "bsp_market": "bspMarket",
    "turn_in_play_enabled": "turnInPlayEnabled",
}
FLAGS = ("bsp_market", "turn_in_play_enabled")
_CAMEL_KEYS = {camel: name for name, camel in KEYS.items()}

# What the engine takes: each key given, with its texts or its flag, and how the exchange's
# layout is read ("event_files").
type EngineFilter = dict[str, list[str] | bool | str]


class FilterWarning(UserWarning):
    """A market filter key matched no market in a whole run: `key` names it and `values` are
    what it was given. Values are matched exactly as the stream writes them ("WIN", "GB",
    "Flat"), with no case folding."""

    key: str
    values: list[str] | bool

    def __init__(self, key: str, values: list[str] | bool) -> None:
        hint = "" if isinstance(values, bool) else (
            "; values are matched exactly as the stream writes them")
        super().__init__(f"{key}={values!r} matched no market{hint}")
        self.key = key
        self.values = values

    def __reduce__(self) -> tuple[type[FilterWarning], tuple[str, list[str] | bool]]:
        return FilterWarning, (self.key, self.values)


def _texts(value: object, name: str) -> list[str]:
    if isinstance(value, str):
        return [value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be a str or an iterable of str, not {type(value).__name__}")
    if not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a str or an iterable of str; "
                        f"{type(value).__name__} is not iterable")
    items = list(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name} must hold str, not {type(item).__name__}")
    return items


def _value(key: str, value: object, name: str) -> list[str] | bool:
    if key in FLAGS:
        if not isinstance(value, bool):
            raise TypeError(f"{name} must be True, False or None, not {type(value).__name__}")
        return value
    return _texts(value, name)


def _event_files(value: object) -> str:
    from ._options import EVENT_FILES

    if value not in EVENT_FILES:
        raise ValueError(f"event_files must be one of {', '.join(map(repr, EVENT_FILES))}, "
                         f"not {value!r}")
    return str(value)


def engine_filter(function: str, keys: Mapping[str, object]) -> EngineFilter:
    """The filter of the keyword arguments `keys` given to `function` (its market filter keys
    and `market_filter`), checked: TypeError for an unknown argument, a value of the wrong type,
    or a key given both ways."""
    given: EngineFilter = {}
    for name, value in keys.items():
        if name == "market_filter":
            continue
        if name == "event_files":
            given[name] = _event_files(value)
            continue
        if name not in KEYS:
            raise TypeError(f"{function}() got an unexpected keyword argument {name!r}")
        if value is not None:
            given[name] = _value(name, value, name)
    camel = keys.get("market_filter")
    if camel is None:
        return given
    if not isinstance(camel, Mapping):
        raise TypeError(f"market_filter must be a dict, not {type(camel).__name__}")
    for camel_key, value in camel.items():
        key = _CAMEL_KEYS.get(camel_key) if isinstance(camel_key, str) else None
        if key is None:
            raise TypeError(f"market_filter has no key {camel_key!r}: it takes "
                            + ", ".join(KEYS.values()))
        if value is None:
            continue
        if key in given:
            raise TypeError(f"{key} and market_filter[{camel_key!r}] are the same key: "
                            "give it once")
        given[key] = _value(key, value, f"market_filter[{camel_key!r}]")
    return given


# Where a finished run's unmatched keys go instead of warnings: see collecting_unmatched.
_collector: contextvars.ContextVar[list[FilterWarning] | None] = contextvars.ContextVar(
    "vantrel_unmatched", default=None)


class collecting_unmatched:
    """Within it, the runs of this thread (or task) report the keys they matched no market
    with into the list it gives, rather than as warnings: for callers that run the parts of a
    larger run (the command line's tasks, Dask's partitions) and judge the whole."""

    def __enter__(self) -> list[FilterWarning]:
        self._found: list[FilterWarning] = []
        self._token = _collector.set(self._found)
        return self._found

    def __exit__(self, *exc: object) -> None:
        _collector.reset(self._token)


def reporter(given: EngineFilter, stacklevel: int) -> Callable[[list[str]], None] | None:
    """What the engine calls at the end of a whole run with the keys that met no market: a
    FilterWarning for each, `stacklevel` frames up from the caller, or into the list of an
    enclosing collecting_unmatched. None for no filter."""
    if not given:
        return None

    def report(names: list[str]) -> None:
        # The engine names filter keys only, never the "event_files" choice beside them.
        found = [FilterWarning(name, value) for name in names
                 if not isinstance(value := given[name], str)]
        collector = _collector.get()
        if collector is not None:
            collector.extend(found)
            return
        for warning in found:
            warnings.warn(warning, stacklevel=stacklevel)

    return report
