"""Pure-Python reference model of vantrel's replay semantics.

Written from the stream's rules, independently of the C++ code, with two rules that differ
from a naive replay:

1. a message after which no market cache exists yet is consumed without yielding, and the
   replay goes on with the next message (it ends only when the messages are used up);
2. once the cache exists, a market change whose "id" is a non-empty string different from
   the cache's market id is skipped whole; changes without a usable "id" are applied.

`replay_file(path)` yields one `Snapshot` per yielded `MarketBook`; `Snapshot.to_dict()`
gives the dict that `MarketBook.to_dict()` returns (same keys, same order, same value types).
The model also keeps the object reuse of the iterator: it builds a new `RunnerView`, price
list or `DefinitionView` exactly when vantrel builds a new Python object, and every snapshot
records the change counters the reuse decisions are based on (`RunnerStamp`,
`Snapshot.definition_generation`).
"""

from __future__ import annotations

import itertools
import json
import math
import os
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Iterator, NamedTuple

INT64_MIN = -(1 << 63)
INT64_MAX = (1 << 63) - 1
UINT64_MAX = (1 << 64) - 1

# ---------------------------------------------------------------------------------------------
# JSON value rules
#
# Decoded values are plain Python values. An integer literal stays an `int` when it fits the
# unsigned 64-bit range (non-negative) or the signed 64-bit range (negative); every other
# number is a `float`, as the native tape stores it.


def _parse_int(text: str) -> int | float:
    value = int(text)
    if INT64_MIN <= value <= UINT64_MAX:
        return value
    return float(text)


def _parse_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise ValueError("number out of range")
    return value


def _reject_constant(name: str) -> Any:
    raise ValueError(f"expected value (got {name})")


def decode_json(text: str) -> Any:
    return json.loads(
        text, parse_int=_parse_int, parse_float=_parse_float, parse_constant=_reject_constant
    )


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def as_double(value: Any) -> float | None:
    """The number as a double; None when the value is not a number."""
    return float(value) if is_number(value) else None


def as_int64(value: Any) -> int | None:
    """The number as an integer: integer literals in the signed 64-bit range."""
    if isinstance(value, int) and not isinstance(value, bool) and INT64_MIN <= value <= INT64_MAX:
        return value
    return None


def low32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= (1 << 31) else value


def sp_value(value: Any) -> float | str | None:
    """The starting-price value: a text, a number (as a double) or no value."""
    if isinstance(value, str):
        return value
    if is_number(value):
        return float(value)
    return None


def handicap_key(handicap: float) -> int:
    """handicap * 100, rounded half away from zero, saturated to signed 64 bits (NaN: 0)."""
    scaled = handicap * 100.0
    if math.isnan(scaled):
        return 0
    if math.isinf(scaled):
        return INT64_MAX if scaled > 0 else INT64_MIN
    whole = math.floor(abs(scaled))  # exact: the fraction of a double is a double
    if abs(scaled) - whole >= 0.5:
        whole += 1
    rounded = whole if scaled >= 0 else -whole
    return max(INT64_MIN, min(INT64_MAX, rounded))


def _price_bits(price: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", price))[0]


# ---------------------------------------------------------------------------------------------
# Stream file and line classification

WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


class ParsedMessage(NamedTuple):
    market_changes: list
    publish_time: int


def is_gzip_name(path: str) -> bool:
    name = os.path.basename(path.rstrip(os.sep))
    if name == ".." or "." not in name:
        return False
    dot = name.rindex(".")
    return dot > 0 and name[dot + 1 :] in ("gz", "gzip")


def read_lines(path: str) -> list[str]:
    with open(path, "rb") as f:
        data = f.read()
    if is_gzip_name(path):
        # Every member in turn, as gzip -d does; bytes after a member that do not start a new
        # member are ignored.
        out = []
        while data[:2] == b"\x1f\x8b":
            d = zlib.decompressobj(wbits=31)
            out.append(d.decompress(data))
            data = d.unused_data
        data = b"".join(out)
    lines = []
    for raw in data.split(b"\n"):
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        lines.append(raw.decode("utf-8"))
    return lines


def classify(value: Any) -> ParsedMessage | None:
    """The message kept for one decoded line, or None when the line is skipped."""
    if not isinstance(value, dict):
        return None
    publish_time = as_int64(value.get("pt")) or 0
    changes = value.get("mc")
    if isinstance(changes, list):
        market_changes = list(changes)
    elif "marketDefinition" in value or "rc" in value:
        market_changes = [value]
    else:
        return None
    if publish_time <= 0:
        return None
    return ParsedMessage(market_changes, publish_time)


def load_messages(path: str) -> list[ParsedMessage]:
    messages = []
    for line in read_lines(path):
        line = line.strip(WHITE_SPACE)
        if not line:
            continue
        message = classify(decode_json(line))
        if message is not None:
            messages.append(message)
    return messages


# ---------------------------------------------------------------------------------------------
# Price ladder


class PriceLadder:
    def __init__(self, descending: bool) -> None:
        self.levels: dict[int, tuple[float, float]] = {}  # price bit pattern -> (price, size)
        self.counter = 0
        self.descending = descending

    def update(self, elements: list) -> bool:
        changed = False
        for element in elements:
            if not isinstance(element, list) or len(element) < 2:
                continue
            price = as_double(element[0])
            size = as_double(element[1])
            price = 0.0 if price is None else price
            size = 0.0 if size is None else size
            key = _price_bits(price)
            if size == 0.0:
                changed |= self.levels.pop(key, None) is not None
            else:
                old = self.levels.get(key)
                changed |= old is None or old[1] != size
                self.levels[key] = (price, size)
        if changed:
            self.counter += 1
        return changed

    def to_price_sizes(self) -> tuple[tuple[float, float], ...]:
        return tuple(sorted(self.levels.values(), key=lambda ps: ps[0], reverse=self.descending))


# ---------------------------------------------------------------------------------------------
# Runner cache and the Python objects built from it


class RunnerView(NamedTuple):
    """What one `Runner` object holds; a new view stands for a new Python object."""

    selection_id: int
    handicap: float
    status: str
    adjustment_factor: float | None
    last_price_traded: float | None
    total_matched: float
    removal_date: str | None
    available_to_back: tuple
    available_to_lay: tuple
    traded_volume: tuple
    near_price: float | str | None
    far_price: float | str | None
    actual_sp: float | str | None
    back_stake_taken: tuple
    lay_liability_taken: tuple

    def to_dict(self) -> dict:
        return {
            "selectionId": self.selection_id,
            "handicap": self.handicap,
            "status": self.status,
            "adjustmentFactor": self.adjustment_factor,
            "lastPriceTraded": self.last_price_traded,
            "totalMatched": self.total_matched,
            "removalDate": self.removal_date,
            "ex": {
                "availableToBack": _price_dicts(self.available_to_back),
                "availableToLay": _price_dicts(self.available_to_lay),
                "tradedVolume": _price_dicts(self.traded_volume),
            },
            "sp": {
                "nearPrice": self.near_price,
                "farPrice": self.far_price,
                "actualSP": self.actual_sp,
                "backStakeTaken": _price_dicts(self.back_stake_taken),
                "layLiabilityTaken": _price_dicts(self.lay_liability_taken),
            },
        }


def _price_dicts(pairs) -> list[dict]:
    return [{"price": price, "size": size} for price, size in pairs]


class RunnerStamp(NamedTuple):
    """The counters behind one runner's objects in one snapshot.

    `serial` names the runner cache: a runner dropped by "img" and created again is a new
    cache with new objects, even if its counters come back to the same values.
    """

    serial: int
    change_counter: int
    atb_counter: int
    atl_counter: int
    trd_counter: int


_serials = itertools.count(1)


class RunnerCache:
    def __init__(self, selection_id: int, handicap: float) -> None:
        self.serial = next(_serials)
        self.selection_id = selection_id
        self.handicap = handicap
        self.status = "ACTIVE"
        self.adjustment_factor: float | None = None
        self.last_price_traded: float | None = None
        self.total_matched = 0.0
        self.removal_date: str | None = None
        self.near_price: float | str | None = None
        self.far_price: float | str | None = None
        self.actual_sp: float | str | None = None
        self.atb = PriceLadder(descending=True)
        self.atl = PriceLadder(descending=False)
        self.spb = PriceLadder(descending=True)
        self.spl = PriceLadder(descending=False)
        self.trd = PriceLadder(descending=False)
        self.change_counter = 0
        # Reuse slots: (object, stamp).
        self.runner_slot: tuple[RunnerView, int] | None = None
        self.list_slots: dict[str, tuple[tuple, int]] = {}

    def apply_change(self, change: dict) -> None:
        """The keys of one runner-change object after "id" and "hc"."""
        changed = False
        status = change.get("status")
        if isinstance(status, str) and status != self.status:
            self.status, changed = status, True
        for key, attr in (("adjustmentFactor", "adjustment_factor"), ("ltp", "last_price_traded")):
            value = as_double(change.get(key))
            if value is not None and (getattr(self, attr) is None or getattr(self, attr) != value):
                setattr(self, attr, value)
                changed = True
        tv = as_double(change.get("tv"))
        if tv is not None and tv != self.total_matched:
            self.total_matched, changed = tv, True
        removal = change.get("removalDate")
        if isinstance(removal, str) and removal != self.removal_date:
            self.removal_date, changed = removal, True
        for key in ("spb", "spl", "atb", "atl", "trd"):
            elements = change.get(key)
            if isinstance(elements, list) and getattr(self, key).update(elements):
                changed = True
        if "spn" in change:
            self.near_price, changed = sp_value(change["spn"]), True
        if "spf" in change:
            self.far_price, changed = sp_value(change["spf"]), True
        if changed:
            self.change_counter += 1

    def apply_definition_runner(self, element: dict) -> None:
        """Second pass of a definition's "runners" for this runner."""
        status = element.get("status")
        if isinstance(status, str) and status != self.status:
            self.status = status
        self.actual_sp = sp_value(element.get("bsp"))
        factor = as_double(element.get("adjustmentFactor"))
        if factor is not None and (self.adjustment_factor is None or self.adjustment_factor != factor):
            self.adjustment_factor = factor
        removal = element.get("removalDate")
        if isinstance(removal, str) and removal != self.removal_date:
            self.removal_date = removal
        self.change_counter += 1

    # -- object building --

    def _ladder_list(self, name: str) -> tuple:
        ladder = getattr(self, name)
        slot = self.list_slots.get(name)
        if slot is None or slot[1] != ladder.counter:
            slot = (ladder.to_price_sizes(), ladder.counter)
            self.list_slots[name] = slot
        return slot[0]

    def runner_object(self) -> RunnerView:
        if self.runner_slot is not None and self.runner_slot[1] == self.change_counter:
            return self.runner_slot[0]
        view = RunnerView(
            selection_id=self.selection_id,
            handicap=self.handicap,
            status=self.status,
            adjustment_factor=self.adjustment_factor,
            last_price_traded=self.last_price_traded,
            total_matched=self.total_matched,
            removal_date=self.removal_date,
            available_to_back=self._ladder_list("atb"),
            available_to_lay=self._ladder_list("atl"),
            traded_volume=self._ladder_list("trd"),
            near_price=self.near_price,
            far_price=self.far_price,
            actual_sp=self.actual_sp,
            back_stake_taken=self.spl.to_price_sizes(),
            lay_liability_taken=self.spb.to_price_sizes(),
        )
        self.runner_slot = (view, self.change_counter)
        return view

    def stamp(self) -> RunnerStamp:
        return RunnerStamp(
            self.serial, self.change_counter, self.atb.counter, self.atl.counter, self.trd.counter
        )


# ---------------------------------------------------------------------------------------------
# Market definition


class DefinitionRunnerRecord(NamedTuple):
    selection_id: int
    sort_priority: int
    status: str
    handicap: float
    adjustment_factor: float | None
    removal_date: str | None
    name: str | None
    bsp: float | None

    @classmethod
    def from_element(cls, element: Any) -> DefinitionRunnerRecord:
        if not isinstance(element, dict):
            element = {}
        status = element.get("status")
        removal = element.get("removalDate")
        name = element.get("name")
        handicap = as_double(element.get("hc"))
        return cls(
            selection_id=as_int64(element.get("id")) or 0,
            sort_priority=low32(as_int64(element.get("sortPriority")) or 0),
            status=status if isinstance(status, str) else "ACTIVE",
            handicap=0.0 if handicap is None else handicap,
            adjustment_factor=as_double(element.get("adjustmentFactor")),
            removal_date=removal if isinstance(removal, str) else None,
            name=name if isinstance(name, str) else None,
            bsp=as_double(element.get("bsp")),
        )

    def to_dict(self) -> dict:
        result: dict[str, Any] = {
            "id": self.selection_id,
            "sortPriority": self.sort_priority,
            "status": self.status,
        }
        if self.adjustment_factor is not None:
            result["adjustmentFactor"] = self.adjustment_factor
        if self.name is not None:
            result["name"] = self.name
        if self.handicap != 0.0:
            result["hc"] = self.handicap
        if self.removal_date is not None:
            result["removalDate"] = self.removal_date
        if self.bsp is not None:
            result["bsp"] = self.bsp
        return result


# Market-level keys of a definition, in the order they are applied;
# "regulators" is handled on its own at its place. kind: how the value is read.
_DEFINITION_KEYS = (
    ("status", "status", "str"),
    ("betDelay", "bet_delay", "int32"),
    ("bspReconciled", "bsp_reconciled", "bool"),
    ("complete", "complete", "bool"),
    ("crossMatching", "cross_matching", "bool"),
    ("inPlay", "in_play", "bool"),
    ("runnersVoidable", "runners_voidable", "bool"),
    ("numberOfWinners", "number_of_winners", "int32"),
    ("eventId", "event_id", "str"),
    ("eventTypeId", "event_type_id", "str"),
    ("eventName", "event_name", "str"),
    ("marketType", "market_type", "str"),
    ("marketTime", "market_time", "str"),
    ("countryCode", "country_code", "str"),
    ("venue", "venue", "str"),
    ("raceType", "race_type", "str"),
    ("bspMarket", "bsp_market", "bool"),
    ("persistenceEnabled", "persistence_enabled", "bool"),
    ("eachWayDivisor", "each_way_divisor", "double"),
    ("timezone", "timezone", "str"),
    ("turnInPlayEnabled", "turn_in_play_enabled", "bool"),
    ("bettingType", "betting_type", "str"),
    ("name", "name", "str"),
    ("discountAllowed", "discount_allowed", "bool"),
    ("marketBaseRate", "market_base_rate", "double"),
    ("regulators", "regulators", "regulators"),
    ("openDate", "open_date", "str"),
    ("suspendTime", "suspend_time", "str"),
    ("settledTime", "settled_time", "str"),
    ("version", "version", "int64"),
)

# Market-level keys of a change object itself, in order.
_CHANGE_KEYS = (
    ("status", "status", "str"),
    ("betDelay", "bet_delay", "int32"),
    ("bspReconciled", "bsp_reconciled", "bool"),
    ("complete", "complete", "bool"),
    ("crossMatching", "cross_matching", "bool"),
    ("inPlay", "in_play", "bool"),
    ("runnersVoidable", "runners_voidable", "bool"),
    ("tv", "total_matched", "double"),
    ("version", "version", "int64"),
    ("lastMatchTime", "last_match_time", "int64"),
)


def _read(value: Any, kind: str) -> Any:
    """The field value for a key of the given kind, or None when the key is skipped."""
    if kind == "str":
        return value if isinstance(value, str) else None
    if kind == "bool":
        return value if isinstance(value, bool) else None
    if kind == "double":
        return as_double(value)
    if kind == "int64":
        return as_int64(value)
    if kind == "int32":
        integer = as_int64(value)
        return None if integer is None else low32(integer)
    if kind == "regulators":
        return [v for v in value if isinstance(v, str)] if isinstance(value, list) else None
    raise AssertionError(kind)


@dataclass(frozen=True)
class DefinitionView:
    """What one `MarketDefinition` object holds (the fields `to_dict` exports)."""

    bet_delay: int
    betting_type: str | None
    bsp_market: bool
    bsp_reconciled: bool
    complete: bool
    country_code: str | None
    cross_matching: bool
    discount_allowed: bool
    event_id: str | None
    event_name: str | None
    event_type_id: str | None
    in_play: bool
    market_base_rate: float
    market_time: str | None
    market_type: str | None
    name: str | None
    number_of_active_runners: int
    number_of_winners: int
    open_date: str | None
    persistence_enabled: bool
    regulators: tuple
    runners: tuple
    runners_voidable: bool
    status: str
    suspend_time: str | None
    timezone: str | None
    turn_in_play_enabled: bool
    venue: str | None
    version: int

    def to_dict(self) -> dict:
        return {
            "betDelay": self.bet_delay,
            "bettingType": self.betting_type,
            "bspMarket": self.bsp_market,
            "bspReconciled": self.bsp_reconciled,
            "complete": self.complete,
            "countryCode": self.country_code,
            "crossMatching": self.cross_matching,
            "discountAllowed": self.discount_allowed,
            "eventId": self.event_id,
            "eventName": self.event_name,
            "eventTypeId": self.event_type_id,
            "inPlay": self.in_play,
            "marketBaseRate": self.market_base_rate,
            "marketTime": self.market_time,
            "marketType": self.market_type,
            "name": self.name,
            "numberOfActiveRunners": self.number_of_active_runners,
            "numberOfWinners": self.number_of_winners,
            "openDate": self.open_date,
            "persistenceEnabled": self.persistence_enabled,
            "regulators": list(self.regulators),
            "runners": [record.to_dict() for record in self.runners],
            "runnersVoidable": self.runners_voidable,
            "status": self.status,
            "suspendTime": self.suspend_time,
            "timezone": self.timezone,
            "turnInPlayEnabled": self.turn_in_play_enabled,
            "venue": self.venue,
            "version": self.version,
        }


# ---------------------------------------------------------------------------------------------
# Market cache and snapshots


@dataclass
class Snapshot:
    market_id: str
    status: str
    bet_delay: int
    bsp_reconciled: bool
    complete: bool
    cross_matching: bool
    in_play: bool
    number_of_active_runners: int
    number_of_runners: int
    number_of_winners: int
    runners_voidable: bool
    total_matched: float
    version: int
    last_match_time: int | None
    publish_time: int
    runners: list[RunnerView]
    market_definition: DefinitionView | None
    # Reuse bookkeeping: per runner (in runner order) its key and counters; the definition
    # generation the definition object was built at.
    runner_keys: list[tuple[int, int]]
    runner_stamps: list[RunnerStamp]
    definition_generation: int

    def to_dict(self) -> dict:
        result = {
            "marketId": self.market_id,
            "status": self.status,
            "betDelay": self.bet_delay,
            "bspReconciled": self.bsp_reconciled,
            "complete": self.complete,
            "crossMatching": self.cross_matching,
            "inplay": self.in_play,
            "numberOfActiveRunners": self.number_of_active_runners,
            "numberOfRunners": self.number_of_runners,
            "numberOfWinners": self.number_of_winners,
            "runnersVoidable": self.runners_voidable,
            "totalMatched": self.total_matched,
            "version": self.version,
            "lastMatchTime": self.last_match_time,
            "publishTime": self.publish_time,
            "runners": [runner.to_dict() for runner in self.runners],
        }
        if self.market_definition is not None:
            result["marketDefinition"] = self.market_definition.to_dict()
        return result


class MarketCache:
    def __init__(self, market_id: str) -> None:
        self.market_id = market_id
        self.publish_time = 0
        self.status = "OPEN"
        self.bet_delay = 0
        self.bsp_reconciled = False
        self.complete = True
        self.cross_matching = True
        self.in_play = False
        self.runners_voidable = False
        self.number_of_winners = 1
        self.bsp_market = False
        self.turn_in_play_enabled = False
        self.discount_allowed = False
        self.persistence_enabled = True
        self.each_way_divisor: float | None = None
        self.market_base_rate = 0.0
        for name in (
            "event_id", "event_type_id", "event_name", "market_type", "market_time",
            "country_code", "venue", "race_type", "name", "timezone", "betting_type",
            "open_date", "suspend_time", "settled_time",
        ):  # fmt: skip
            setattr(self, name, None)
        self.regulators: list[str] = []
        self.version = 0
        self.total_matched = 0.0
        self.last_match_time: int | None = None
        self.definition_runners: list[DefinitionRunnerRecord] = []
        self.runners: dict[tuple[int, int], RunnerCache] = {}
        self.definition_generation = 0
        self.number_of_runners = 0
        self.number_of_active_runners = 0
        self.definition_slot: tuple[DefinitionView, int] | None = None

    # -- applying one market change --

    def update(self, change: Any, publish_time: int) -> None:
        self.publish_time = publish_time
        if isinstance(change, dict):
            if change.get("img") is True:
                self.runners.clear()
            if "marketDefinition" in change:
                self._apply_definition(change["marketDefinition"])
            self._apply_keys(change, _CHANGE_KEYS)
            runner_changes = change.get("rc")
            if isinstance(runner_changes, list):
                for element in runner_changes:
                    self._apply_runner_change(element)
        self.number_of_runners = len(self.runners)
        self.number_of_active_runners = self._active_count()

    def _active_count(self) -> int:
        return sum(1 for runner in self.runners.values() if runner.status == "ACTIVE")

    def _apply_keys(self, source: dict, table) -> None:
        for key, attr, kind in table:
            if key in source:
                value = _read(source[key], kind)
                if value is not None:
                    setattr(self, attr, value)

    def _runner(self, selection_id: int, handicap: float) -> RunnerCache:
        key = (selection_id, handicap_key(handicap))
        runner = self.runners.get(key)
        if runner is None:
            runner = self.runners[key] = RunnerCache(selection_id, handicap)
        return runner

    def _apply_runner_change(self, element: Any) -> None:
        if not isinstance(element, dict):
            return
        selection_id = as_int64(element.get("id"))
        if selection_id is None:
            return
        handicap = as_double(element.get("hc"))
        runner = self._runner(selection_id, 0.0 if handicap is None else handicap)
        runner.apply_change(element)

    def _apply_definition(self, definition: Any) -> None:
        if isinstance(definition, dict):
            self._apply_keys(definition, _DEFINITION_KEYS)
        self.definition_generation += 1
        if not isinstance(definition, dict) or not isinstance(definition.get("runners"), list):
            return
        elements = definition["runners"]
        # First pass: the definition runner list.
        self.definition_runners = [DefinitionRunnerRecord.from_element(e) for e in elements]
        # Second pass: the runner caches.
        for element in elements:
            if not isinstance(element, dict):
                continue
            selection_id = as_int64(element.get("id"))
            if selection_id is None:
                continue
            handicap = as_double(element.get("hc"))
            runner = self._runner(selection_id, 0.0 if handicap is None else handicap)
            runner.apply_definition_runner(element)

    # -- building a snapshot --

    def _definition_object(self) -> DefinitionView | None:
        if self.definition_slot is not None and self.definition_slot[1] == self.definition_generation:
            return self.definition_slot[0]
        if self.definition_generation == 0:
            return None
        view = DefinitionView(
            bet_delay=self.bet_delay,
            betting_type=self.betting_type,
            bsp_market=self.bsp_market,
            bsp_reconciled=self.bsp_reconciled,
            complete=self.complete,
            country_code=self.country_code,
            cross_matching=self.cross_matching,
            discount_allowed=self.discount_allowed,
            event_id=self.event_id,
            event_name=self.event_name,
            event_type_id=self.event_type_id,
            in_play=self.in_play,
            market_base_rate=self.market_base_rate,
            market_time=self.market_time,
            market_type=self.market_type,
            name=self.name,
            number_of_active_runners=self._active_count(),
            number_of_winners=self.number_of_winners,
            open_date=self.open_date,
            persistence_enabled=self.persistence_enabled,
            regulators=tuple(self.regulators),
            runners=tuple(self.definition_runners),
            runners_voidable=self.runners_voidable,
            status=self.status,
            suspend_time=self.suspend_time,
            timezone=self.timezone,
            turn_in_play_enabled=self.turn_in_play_enabled,
            venue=self.venue,
            version=self.version,
        )
        self.definition_slot = (view, self.definition_generation)
        return view

    def snapshot(self) -> Snapshot:
        keys = sorted(self.runners)
        runners = [self.runners[key] for key in keys]
        views = [runner.runner_object() for runner in runners]
        return Snapshot(
            market_id=self.market_id,
            status=self.status,
            bet_delay=self.bet_delay,
            bsp_reconciled=self.bsp_reconciled,
            complete=self.complete,
            cross_matching=self.cross_matching,
            in_play=self.in_play,
            number_of_active_runners=self.number_of_active_runners,
            number_of_runners=self.number_of_runners,
            number_of_winners=self.number_of_winners,
            runners_voidable=self.runners_voidable,
            total_matched=self.total_matched,
            version=self.version,
            last_match_time=self.last_match_time,
            publish_time=self.publish_time,
            runners=views,
            market_definition=self._definition_object(),
            runner_keys=keys,
            runner_stamps=[runner.stamp() for runner in runners],
            definition_generation=self.definition_generation,
        )


# ---------------------------------------------------------------------------------------------
# Replay


def _market_id(change: Any) -> str | None:
    """The change's usable market id: a non-empty string "id"."""
    if isinstance(change, dict):
        market_id = change.get("id")
        if isinstance(market_id, str) and market_id:
            return market_id
    return None


def replay(messages: list[ParsedMessage]) -> Iterator[Snapshot]:
    cache: MarketCache | None = None
    for message in messages:
        for change in message.market_changes:
            market_id = _market_id(change)
            if cache is None:
                if market_id is None:
                    continue
                cache = MarketCache(market_id)
            elif market_id is not None and market_id != cache.market_id:
                continue
            cache.update(change, message.publish_time)
        if cache is not None:
            yield cache.snapshot()


def replay_file(path: str) -> Iterator[Snapshot]:
    return replay(load_messages(path))
