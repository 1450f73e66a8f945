"""The Python-visible surface: registration, snapshot classes, dict export, iteration."""

import array
import datetime as dt
import gc
import importlib
import json
import operator
import random
import struct
import sys
import warnings
import weakref
from decimal import Decimal

import pytest

import vantrel
from conftest import message

NATIVE = sys.modules["vantrel.vantrel"]

CLASS_DOCS = {
    "PricesIterator": "Iterator that yields MarketBook objects with object reuse",
    "MarketBook": "A market book snapshot",
    "Runner": "A runner in the market",
    "ExchangePrices": "Exchange prices for a runner (back/lay/traded)",
    "StartingPrices": "Starting prices for a runner",
    "PriceSize": "A price/size pair in the order book",
    "MarketDefinition": "Market definition - metadata about the market",
    "MarketDefinitionRunner": "A runner in a market definition",
}

FIXED_NONE = {
    "MarketBook": ["bet_delay_models", "elapsed_time", "is_market_data_delayed", "key_line_description",
                   "price_ladder_definition", "suspend_reason", "total_available", "streaming_update"],
    "Runner": ["matches_by_strategy", "bet_delay_models", "suspend_reason"],
    "MarketDefinition": ["bet_delay_models", "key_line_definitions", "line_interval", "line_max_unit",
                         "line_min_unit", "price_ladder_definition", "suspend_reason"],
}

# attribute -> key of the dict export it mirrors
BOOK_KEYS = {
    "market_id": "marketId", "status": "status", "bet_delay": "betDelay", "bsp_reconciled": "bspReconciled",
    "complete": "complete", "cross_matching": "crossMatching", "inplay": "inplay",
    "number_of_active_runners": "numberOfActiveRunners", "number_of_runners": "numberOfRunners",
    "number_of_winners": "numberOfWinners", "runners_voidable": "runnersVoidable",
    "total_matched": "totalMatched", "version": "version", "last_match_time": "lastMatchTime",
    "publish_time_epoch": "publishTime",
}
RUNNER_KEYS = {
    "selection_id": "selectionId", "handicap": "handicap", "status": "status",
    "adjustment_factor": "adjustmentFactor", "last_price_traded": "lastPriceTraded",
    "total_matched": "totalMatched", "removal_date": "removalDate",
}
SP_KEYS = {"near_price": "nearPrice", "far_price": "farPrice", "actual_sp": "actualSP",
           "back_stake_taken": "backStakeTaken", "lay_liability_taken": "layLiabilityTaken"}
EX_KEYS = {"available_to_back": "availableToBack", "available_to_lay": "availableToLay",
           "traded_volume": "tradedVolume"}
DEFINITION_KEYS = {
    "bet_delay": "betDelay", "betting_type": "bettingType", "bsp_market": "bspMarket",
    "bsp_reconciled": "bspReconciled", "complete": "complete", "country_code": "countryCode",
    "cross_matching": "crossMatching", "discount_allowed": "discountAllowed", "event_id": "eventId",
    "event_name": "eventName", "event_type_id": "eventTypeId", "in_play": "inPlay",
    "market_base_rate": "marketBaseRate", "market_type": "marketType", "name": "name",
    "number_of_active_runners": "numberOfActiveRunners", "number_of_winners": "numberOfWinners",
    "persistence_enabled": "persistenceEnabled", "regulators": "regulators",
    "runners_voidable": "runnersVoidable", "status": "status", "timezone": "timezone",
    "turn_in_play_enabled": "turnInPlayEnabled", "venue": "venue", "version": "version",
}
DEFINITION_RUNNER_KEYS = {
    "selection_id": "id", "sort_priority": "sortPriority", "status": "status", "handicap": "hc",
    "adjustment_factor": "adjustmentFactor", "removal_date": "removalDate", "name": "name", "bsp": "bsp",
}
DEFINITION_TIMES = ["market_time", "open_date", "suspend_time", "settled_time"]

ATTRIBUTES = {
    "PricesIterator": set(),
    "MarketBook": {*BOOK_KEYS, "publish_time", "market_definition", "runners", "streaming_unique_id",
                   "streaming_snap", "to_dict", *FIXED_NONE["MarketBook"]},
    "Runner": {*RUNNER_KEYS, "ex", "sp", "orders", "matches", *FIXED_NONE["Runner"]},
    "ExchangePrices": set(EX_KEYS),
    "StartingPrices": set(SP_KEYS),
    "PriceSize": {"price", "size"},
    "MarketDefinition": {*DEFINITION_KEYS, "runners", "each_way_divisor", "race_type", *DEFINITION_TIMES,
                         *FIXED_NONE["MarketDefinition"]},
    "MarketDefinitionRunner": set(DEFINITION_RUNNER_KEYS),
}

PT = 1714568400123

DEFINITION = {
    "status": "OPEN", "betDelay": 5, "bspReconciled": True, "complete": False, "crossMatching": False,
    "inPlay": True, "runnersVoidable": True, "numberOfWinners": 3, "eventId": "33123456",
    "eventTypeId": "7", "eventName": "Ascot 1st May", "marketType": "WIN",
    "marketTime": "2024-05-01T13:00:00.000Z", "countryCode": "GB", "venue": "Ascot", "raceType": "Flat",
    "bspMarket": True, "persistenceEnabled": False, "eachWayDivisor": 4, "timezone": "Europe/London",
    "turnInPlayEnabled": True, "bettingType": "ODDS", "name": "2m Hcap", "discountAllowed": True,
    "marketBaseRate": 5, "regulators": ["MR_INT", 7, "MR_NJ"], "openDate": "2024-05-01T12:00:00Z",
    "suspendTime": "2024-05-01T13:00:00.123456Z", "settledTime": "2024-05-01T13:05:00.5Z",
    "version": 123456789012,
    # Carried by real recordings; none of them may leak into the fixed attributes or the counts.
    "numberOfActiveRunners": 99, "keyLineDefinitions": {"keyLine": []}, "lineInterval": 0.5,
    "lineMaxUnit": 10, "lineMinUnit": 1, "priceLadderDefinition": {"type": "CLASSIC"},
    "suspendReason": "x", "betDelayModels": ["PASSIVE"],
    "runners": [
        {"id": 101, "sortPriority": 1, "status": "ACTIVE", "hc": -0.5, "adjustmentFactor": 30.5,
         "name": "Alpha", "bsp": 4.2},
        {"id": 101, "sortPriority": 2, "hc": 0.5},
        {"id": 7, "sortPriority": 3, "status": "REMOVED", "hc": -0.0, "adjustmentFactor": 12.1,
         "removalDate": "2024-05-01T11:00:00.000Z"},
        {"id": 9, "sortPriority": 4, "bsp": "NaN"},
    ],
}
RUNNER_CHANGE = {
    "id": 101, "hc": -0.5, "atb": [[1.5, 10], [2.0, 5.5], [1.01, 3]], "atl": [[2.02, 4], [3, 1]],
    "trd": [[1.9, 7], [1.5, 2]], "spn": 3.3, "spf": "Infinity", "spb": [[1.1, 2], [1.3, 5]],
    "spl": [[4, 6], [2, 1]], "ltp": 2, "tv": 100.25,
}
RICH = [message(PT, {"id": "1.228851234", "marketDefinition": DEFINITION, "tv": 1234.5,
                     "lastMatchTime": 1714568399000, "rc": [RUNNER_CHANGE]})]


def prices(*pairs):
    return [{"price": float(p), "size": float(s)} for p, s in pairs]


def plain_runner(selection_id, handicap, status="ACTIVE", **fields):
    runner = {"selectionId": selection_id, "handicap": handicap, "status": status, "adjustmentFactor": None,
              "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": None,
              "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []},
              "sp": {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [],
                     "layLiabilityTaken": []}}
    runner.update(fields)
    return runner


RICH_EXPORT = {
    "marketId": "1.228851234", "status": "OPEN", "betDelay": 5, "bspReconciled": True, "complete": False,
    "crossMatching": False, "inplay": True, "numberOfActiveRunners": 3, "numberOfRunners": 4,
    "numberOfWinners": 3, "runnersVoidable": True, "totalMatched": 1234.5, "version": 123456789012,
    "lastMatchTime": 1714568399000, "publishTime": PT,
    "runners": [
        plain_runner(7, -0.0, "REMOVED", adjustmentFactor=12.1, removalDate="2024-05-01T11:00:00.000Z"),
        plain_runner(9, 0.0, sp={"nearPrice": None, "farPrice": None, "actualSP": "NaN",
                                 "backStakeTaken": [], "layLiabilityTaken": []}),
        plain_runner(101, -0.5, adjustmentFactor=30.5, lastPriceTraded=2.0, totalMatched=100.25,
                     ex={"availableToBack": prices((2, 5.5), (1.5, 10), (1.01, 3)),
                         "availableToLay": prices((2.02, 4), (3, 1)),
                         "tradedVolume": prices((1.5, 2), (1.9, 7))},
                     sp={"nearPrice": 3.3, "farPrice": "Infinity", "actualSP": 4.2,
                         "backStakeTaken": prices((2, 1), (4, 6)),
                         "layLiabilityTaken": prices((1.3, 5), (1.1, 2))}),
        plain_runner(101, 0.5),
    ],
    "marketDefinition": {
        "betDelay": 5, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": True, "complete": False,
        "countryCode": "GB", "crossMatching": False, "discountAllowed": True, "eventId": "33123456",
        "eventName": "Ascot 1st May", "eventTypeId": "7", "inPlay": True, "marketBaseRate": 5.0,
        "marketTime": "2024-05-01T13:00:00.000Z", "marketType": "WIN", "name": "2m Hcap",
        "numberOfActiveRunners": 3, "numberOfWinners": 3, "openDate": "2024-05-01T12:00:00Z",
        "persistenceEnabled": False, "regulators": ["MR_INT", "MR_NJ"],
        "runners": [
            {"id": 101, "sortPriority": 1, "status": "ACTIVE", "adjustmentFactor": 30.5, "name": "Alpha",
             "hc": -0.5, "bsp": 4.2},
            {"id": 101, "sortPriority": 2, "status": "ACTIVE", "hc": 0.5},
            {"id": 7, "sortPriority": 3, "status": "REMOVED", "adjustmentFactor": 12.1,
             "removalDate": "2024-05-01T11:00:00.000Z"},
            {"id": 9, "sortPriority": 4, "status": "ACTIVE"},
        ],
        "runnersVoidable": True, "status": "OPEN", "suspendTime": "2024-05-01T13:00:00.123456Z",
        "timezone": "Europe/London", "turnInPlayEnabled": True, "venue": "Ascot", "version": 123456789012,
    },
}
RICH_TIMES = [dt.datetime(2024, 5, 1, 13), dt.datetime(2024, 5, 1, 12),
              dt.datetime(2024, 5, 1, 13, 0, 0, 123456), dt.datetime(2024, 5, 1, 13, 5, 0, 500000)]


def exact(value):
    """Serialised form that tells int from float and -0.0 from 0.0 and keeps key order."""
    return json.dumps(value)


def same(actual, expected):
    return type(actual) is type(expected) and exact(actual) == exact(expected)


def price_pairs(price_list):
    return [{"price": p.price, "size": p.size} for p in price_list]


def plain_decimal(x):
    """Shortest round-trip digits written out in full."""
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def interpreter_error(convert, value):
    """The type and text of the interpreter's own exception from `convert(value)`."""
    try:
        convert(value)
    except Exception as error:
        return type(error), str(error)
    raise AssertionError(f"{value!r} converted")


def time_error(text):
    # Both formats failed; the message is the one from the whole-seconds attempt.
    return interpreter_error(lambda t: dt.datetime.strptime(t, "%Y-%m-%dT%H:%M:%SZ"), text)


@pytest.fixture
def book(stream):
    return stream.replay(RICH)[0]


@pytest.fixture
def samples(stream, book):
    runner = book.runners[2]
    return {"PricesIterator": stream.open(RICH), "MarketBook": book, "Runner": runner,
            "ExchangePrices": runner.ex, "StartingPrices": runner.sp,
            "PriceSize": runner.ex.available_to_back[0], "MarketDefinition": book.market_definition,
            "MarketDefinitionRunner": book.market_definition.runners[0]}


# --- module registration ---------------------------------------------------------------------

def test_module_registration():
    assert NATIVE.__all__ == ["iter_prices_file", *CLASS_DOCS]
    assert vantrel.__all__ == NATIVE.__all__
    assert NATIVE.__name__ == "vantrel.vantrel" and NATIVE.__doc__ == ""
    function = NATIVE.iter_prices_file
    assert (function.__name__, function.__module__) == ("iter_prices_file", "vantrel.vantrel")
    assert function.__text_signature__ == "(path)" and function.__doc__ is None
    for name, doc in CLASS_DOCS.items():
        cls = getattr(NATIVE, name)
        assert getattr(vantrel, name) is cls
        assert (cls.__name__, repr(cls), cls.__doc__) == (name, f"<class '{name}'>", doc)
        assert cls.__text_signature__ is None
        assert {n for n in dir(cls) if not n.startswith("_")} == ATTRIBUTES[name]


def test_reimport_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "vantrel.vantrel")
    assert importlib.import_module("vantrel.vantrel") is NATIVE


@pytest.mark.parametrize("name", list(CLASS_DOCS))
def test_classes_have_no_constructor_dict_or_weakref(name, samples):
    cls = getattr(NATIVE, name)
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError) as error:
            cls(*args, **kwargs)
        assert str(error.value) == f"No constructor defined for {name}"
    instance = samples[name]
    assert type(instance) is cls
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.not_an_attribute = 1


# --- snapshot classes ------------------------------------------------------------------------

def test_market_book_attributes(book):
    for attribute, key in BOOK_KEYS.items():
        assert same(getattr(book, attribute), RICH_EXPORT[key]), attribute
    assert book.publish_time == dt.datetime(2024, 5, 1, 13, 0, 0, 123000)
    assert book.publish_time.tzinfo is None
    for stored in ("publish_time", "runners", "market_definition"):
        assert getattr(book, stored) is getattr(book, stored)
    assert type(book.runners) is list and all(type(r) is vantrel.Runner for r in book.runners)
    assert type(book.market_definition) is vantrel.MarketDefinition
    assert book.streaming_unique_id is None and book.streaming_snap is True
    for attribute in FIXED_NONE["MarketBook"]:
        assert getattr(book, attribute) is None, attribute


def test_runner_attributes(book):
    for runner, expected in zip(book.runners, RICH_EXPORT["runners"], strict=True):
        for attribute, key in RUNNER_KEYS.items():
            assert same(getattr(runner, attribute), expected[key]), attribute
        assert runner.status is runner.status and runner.ex is runner.ex
        assert type(runner.ex) is vantrel.ExchangePrices
        for attribute, key in EX_KEYS.items():
            price_list = getattr(runner.ex, attribute)
            assert price_list is getattr(runner.ex, attribute)
            assert type(price_list) is list and all(type(p) is vantrel.PriceSize for p in price_list)
            assert same(price_pairs(price_list), expected["ex"][key])
        assert runner.sp is not runner.sp and type(runner.sp) is vantrel.StartingPrices
        sp = runner.sp
        for attribute, key in SP_KEYS.items():
            value = getattr(sp, attribute)
            if isinstance(value, list):
                assert value is not getattr(sp, attribute)
                value = price_pairs(value)
            assert same(value, expected["sp"][key]), attribute
        assert runner.orders == [] and runner.matches == []
        runner.orders.append(1)
        runner.matches.append(1)
        assert runner.orders == [] and runner.matches == [] and runner.orders is not runner.orders
        for attribute in FIXED_NONE["Runner"]:
            assert getattr(runner, attribute) is None, attribute


def test_attribute_docs():
    docs = {name: getattr(vantrel.MarketBook, name).__doc__ for name in ATTRIBUTES["MarketBook"]}
    assert docs.pop("streaming_unique_id") == "Streaming unique ID (set by stream for flumine compatibility)"
    assert docs.pop("publish_time_epoch") == "publish_time in epoch milliseconds (int, for flumine compatibility)"
    assert docs.pop("to_dict") == ("Convert to a dict matching betfairutil lightweight format (for testing)")
    assert vantrel.MarketBook.to_dict.__text_signature__ == "($self)"
    assert not any(docs.values()), docs


@pytest.mark.parametrize("name", [n for n in CLASS_DOCS if n != "PricesIterator"])
def test_attributes_are_read_only(name, samples):
    instance = samples[name]
    for attribute in sorted(ATTRIBUTES[name] - {"streaming_unique_id", "to_dict"}):
        before = repr(getattr(instance, attribute))
        with pytest.raises(AttributeError):
            setattr(instance, attribute, None)
        with pytest.raises(AttributeError):
            delattr(instance, attribute)
        if attribute != "sp":
            assert repr(getattr(instance, attribute)) == before


# --- PriceSize -------------------------------------------------------------------------------

def ladder_of(stream, pairs):
    levels = ",".join(f"[{json.dumps(p)},{json.dumps(s)}]" for p, s in pairs)
    line = '{"pt":1,"mc":[{"id":"1.1","rc":[{"id":1,"atl":[%s]}]}]}' % levels
    return stream.replay([line])[0].runners[0].ex.available_to_lay


@pytest.mark.parametrize("price, size, text", [
    (1.01, 2.0, "PriceSize(price=1.01, size=2)"),
    (0.1, 1e21, "PriceSize(price=0.1, size=1" + "0" * 21 + ")"),
    (-0.0, 1.5, "PriceSize(price=-0, size=1.5)"),
    (1e-7, 123456789.125, "PriceSize(price=0.0000001, size=123456789.125)"),
    (2.0**53, 1e22, "PriceSize(price=9007199254740992, size=1" + "0" * 22 + ")"),
    (1e23, 1.0, "PriceSize(price=1" + "0" * 23 + ", size=1)"),
    (8.773833219672013e16, 1.0, "PriceSize(price=87738332196720130, size=1)"),
    (1.7976931348623157e308, 1.0, "PriceSize(price=17976931348623157" + "0" * 292 + ", size=1)"),
])
def test_price_size_repr_examples(stream, price, size, text):
    (level,) = ladder_of(stream, [(price, size)])
    assert same(level.price, price) and same(level.size, size)
    assert repr(level) == text


def test_price_size_repr_is_shortest_plain_decimal(stream):
    rng = random.Random(20240501)
    values = {5e-324, 2.0**-1074 * 3, 2.0**-1022, 0.5, 2.0**53 - 1, -(2.0**52) - 0.5}
    values |= {round(rng.uniform(1.01, 1000), rng.randint(0, 6)) for _ in range(100)}
    while len(values) < 400:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if x == x and 0 < abs(x) < 2.0**53:
            values.add(x)
    pairs = [(x, abs(x)) for x in sorted(values)]
    levels = ladder_of(stream, pairs)
    assert [repr(p) for p in levels] == [
        f"PriceSize(price={plain_decimal(p)}, size={plain_decimal(s)})" for p, s in pairs]


def test_price_size_subscript(stream):
    (level,) = ladder_of(stream, [(2.5, 7)])
    assert same(level["price"], 2.5) and same(level["size"], 7.0)
    for key in ("Price", "SIZE", "", "price "):
        with pytest.raises(KeyError) as error:
            level[key]
        assert error.value.args == (key,)
    for key in (0, b"price", None, 1.5):
        with pytest.raises(TypeError) as error:
            level[key]
        assert str(error.value) == (f"argument 'key': '{type(key).__name__}' object cannot be converted "
                                    "to 'PyString'")
    for consume in (list, tuple, iter, lambda p: [*p]):
        with pytest.raises(TypeError):
            consume(level)
    with pytest.raises(TypeError):
        price, size = level
    twin = ladder_of(stream, [(2.5, 7)])[0]
    assert twin != level and level == level


# --- MarketBook.streaming_unique_id ----------------------------------------------------------

class Index:
    def __index__(self):
        return -12


@pytest.mark.parametrize("value, stored", [
    (None, None), (True, 1), (False, 0), (2147483647, 2147483647), (-2147483648, -2147483648),
    (Index(), -12),
])
def test_streaming_unique_id_accepts(stream, value, stored):
    it = stream.open([message(1, {"id": "1.1"}), message(2, {"id": "1.1"})])
    first = next(it)
    first.streaming_unique_id = 5
    first.streaming_unique_id = value
    assert same(first.streaming_unique_id, stored)
    assert next(it).streaming_unique_id is None


@pytest.mark.parametrize("value, error", [
    (2147483648, (OverflowError, "out of range integral type conversion attempted")),
    (-2147483649, (OverflowError, "out of range integral type conversion attempted")),
    (2**70, interpreter_error(lambda v: array.array("l", [v]), 2**70)),
    (-2**63 - 1, interpreter_error(lambda v: array.array("l", [v]), -2**63 - 1)),
    ("x", (TypeError, "argument 'streaming_unique_id': " + interpreter_error(operator.index, "x")[1])),
    (1.0, (TypeError, "argument 'streaming_unique_id': " + interpreter_error(operator.index, 1.0)[1])),
])
def test_streaming_unique_id_rejects(book, value, error):
    book.streaming_unique_id = 77
    with pytest.raises(error[0]) as raised:
        book.streaming_unique_id = value
    assert (type(raised.value), str(raised.value)) == error
    assert book.streaming_unique_id == 77
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del book.streaming_unique_id
    assert book.streaming_unique_id == 77


# --- definition classes ----------------------------------------------------------------------

def test_market_definition_attributes(book):
    definition = book.market_definition
    expected = RICH_EXPORT["marketDefinition"]
    for attribute, key in DEFINITION_KEYS.items():
        assert same(getattr(definition, attribute), expected[key]), attribute
    assert same(definition.each_way_divisor, 4.0) and definition.race_type == "Flat"
    assert definition.regulators is not definition.regulators
    assert definition.runners is definition.runners and type(definition.runners) is list
    for attribute, expected_time in zip(DEFINITION_TIMES, RICH_TIMES):
        value = getattr(definition, attribute)
        assert type(value) is dt.datetime and value == expected_time and value.tzinfo is None
        assert getattr(definition, attribute) is value
    for attribute in FIXED_NONE["MarketDefinition"]:
        assert getattr(definition, attribute) is None, attribute
    for runner, expected_runner, source in zip(definition.runners, expected["runners"], DEFINITION["runners"],
                                               strict=True):
        assert type(runner) is vantrel.MarketDefinitionRunner
        for attribute, key in DEFINITION_RUNNER_KEYS.items():
            default = float(source.get("hc", 0.0)) if key == "hc" else None
            assert same(getattr(runner, attribute), expected_runner.get(key, default)), attribute


def test_market_definition_counts_and_defaults(stream):
    first, second = stream.replay([
        message(1, {"id": "1.1", "marketDefinition": {"numberOfActiveRunners": 5, "runners": [
            {"id": 1}, {"id": 2, "status": "active"}]}, "rc": [{"id": 3}]}),
        message(2, {"id": "1.1", "rc": [{"id": 1, "status": "REMOVED"}]}),
    ])
    definition = first.market_definition
    # Runners met only in "rc" count; a lower-case status does not.
    assert definition.number_of_active_runners == 2 and first.number_of_active_runners == 2
    assert second.market_definition is definition and second.number_of_active_runners == 1
    assert definition.regulators == [] and definition.each_way_divisor is None
    assert all(getattr(definition, t) is None for t in DEFINITION_TIMES)
    assert (definition.status, definition.number_of_winners, definition.market_base_rate) == ("OPEN", 1, 0.0)
    exported = first.to_dict()["marketDefinition"]
    assert list(exported) == sorted(exported) and len(exported) == 29
    assert {exported[k] for k in ("marketTime", "openDate", "suspendTime", "eventId")} == {None}


@pytest.mark.parametrize("text, expected", [
    ("2024-05-01T13:00:00.000Z", dt.datetime(2024, 5, 1, 13)),
    ("2024-05-01T13:00:00Z", dt.datetime(2024, 5, 1, 13)),
    ("2024-05-01T13:00:00.123456Z", dt.datetime(2024, 5, 1, 13, 0, 0, 123456)),
    ("2024-05-01T13:00:00.5Z", dt.datetime(2024, 5, 1, 13, 0, 0, 500000)),
    ("2024-05-01T13:00:00.1234567Z", None),
    ("2024-05-01T13:00:00+00:00", None),
    ("2024-05-01T13:00:00.000", None),
    ("", None),
])
def test_definition_times(stream, text, expected):
    keys = ["marketTime", "openDate", "suspendTime", "settledTime"]
    it = stream.open([message(1, {"id": "1.1", "marketDefinition": dict.fromkeys(keys, text)})])
    if expected is None:
        with pytest.raises(ValueError) as error:
            next(it)
        assert (ValueError, str(error.value)) == time_error(text)
        return
    book = next(it)
    times = [getattr(book.market_definition, attribute) for attribute in DEFINITION_TIMES]
    assert times == [expected] * 4 and {t.tzinfo for t in times} == {None}
    exported = book.to_dict()["marketDefinition"]
    assert [exported[k] for k in keys[:3]] == [text] * 3 and "settledTime" not in exported


def test_definition_object_reuse(stream):
    good = {"status": "OPEN", "runners": [{"id": 1}]}
    it = stream.open([
        message(1, {"id": "1.1", "rc": [{"id": 1, "ltp": 2}]}),
        message(2, {"id": "1.1", "marketDefinition": good}),
        message(3, {"id": "1.1", "rc": [{"id": 1, "ltp": 3}]}),
        message(4, {"id": "1.1", "marketDefinition": good}),
        message(5, {"id": "1.1", "marketDefinition": {}}),
        message(6, {"id": "1.1", "marketDefinition": None}),
        message(7, {"id": "1.1", "marketDefinition": {"marketTime": "not a time"}}),
        message(8),
        message(9, {"id": "1.1", "rc": [{"id": 1, "ltp": 4}]}),
        message(10, {"id": "1.1", "marketDefinition": {"marketTime": "2024-05-01T13:00:00Z"}}),
        message(11, {"id": "1.1", "rc": [{"id": 1, "ltp": 5}]}),
    ])
    first = next(it)
    assert first.market_definition is None and "marketDefinition" not in first.to_dict()
    books = [next(it) for _ in range(5)]
    definitions = [b.market_definition for b in books]
    assert definitions[0] is definitions[1]
    assert len({id(d) for d in definitions[1:]}) == 4
    assert same(books[1].to_dict()["marketDefinition"], books[2].to_dict()["marketDefinition"])
    for _ in range(3):
        with pytest.raises(ValueError) as error:
            next(it)
        assert (ValueError, str(error.value)) == time_error("not a time")
    recovered, after = next(it), next(it)
    assert recovered.publish_time_epoch == 10 and recovered.runners[0].last_price_traded == 4.0
    assert recovered.market_definition.market_time == dt.datetime(2024, 5, 1, 13)
    assert after.market_definition is recovered.market_definition
    assert next(it, None) is None


# --- dict export -----------------------------------------------------------------------------

def test_to_dict(book):
    exported = book.to_dict()
    assert exported == RICH_EXPORT
    assert exact(exported) == exact(RICH_EXPORT)  # key order, int/float and the sign of zero
    for runner, runner_dict in zip(book.runners, exported["runners"], strict=True):
        assert runner_dict["status"] is runner.status
    with pytest.raises(TypeError):
        book.to_dict(1)


def test_to_dict_calls_share_nothing(book):
    def containers(value, found):
        if isinstance(value, (dict, list)):
            found.append(value)
            for item in value.values() if isinstance(value, dict) else value:
                containers(item, found)
        return found

    first, second = book.to_dict(), book.to_dict()
    assert first == second
    assert not {id(c) for c in containers(first, [])} & {id(c) for c in containers(second, [])}
    first["runners"][2]["ex"]["availableToBack"].clear()
    assert book.to_dict() == RICH_EXPORT


@pytest.mark.parametrize("place, target", [
    (lambda b: b.runners, "Runner"),
    (lambda b: b.runners[2].ex.available_to_back, "PriceSize"),
    (lambda b: b.runners[2].ex.available_to_lay, "PriceSize"),
    (lambda b: b.runners[0].ex.traded_volume, "PriceSize"),
    (lambda b: b.market_definition.runners, "MarketDefinitionRunner"),
])
def test_to_dict_rejects_foreign_objects(book, place, target):
    for foreign in ((1.5, 2.0), book.market_definition.runners[0], book.runners[0]):
        if type(foreign).__name__ == target:
            continue
        place(book).append(foreign)
        with pytest.raises(TypeError, match=f"cannot be converted to '{target}'"):
            book.to_dict()
        place(book).pop()
        assert book.to_dict() == RICH_EXPORT


def test_to_dict_sees_list_edits(book):
    removed = book.runners.pop(1)
    moved = book.runners[0].ex.available_to_back
    moved.append(book.runners[1].ex.available_to_back[0])
    exported = book.to_dict()
    assert [r["selectionId"] for r in exported["runners"]] == [7, 101, 101]
    assert exported["runners"][0]["ex"]["availableToBack"] == prices((2, 5.5))
    assert exported["numberOfRunners"] == 4 and removed.selection_id == 9


# --- publish time ----------------------------------------------------------------------------

@pytest.mark.parametrize("pt", [1, 1714568400000, PT])
def test_publish_time(stream, pt):
    (book,) = stream.replay([message(pt, {"id": "1.1"})])
    assert book.publish_time == dt.datetime(1970, 1, 1) + dt.timedelta(milliseconds=pt)
    assert book.publish_time.tzinfo is None and type(book.publish_time) is dt.datetime
    assert same(book.publish_time_epoch, pt) and same(book.to_dict()["publishTime"], pt)


def test_publish_time_out_of_range_raises_and_continues(stream):
    pt = 253402300800000  # year 10000
    it = stream.open([message(pt, {"id": "1.1"}), message(2, {"id": "1.1"})])
    expected = interpreter_error(dt.datetime.utcfromtimestamp, pt / 1000.0)
    with pytest.raises(expected[0]) as error:
        next(it)
    assert str(error.value) == expected[1]
    assert next(it).publish_time_epoch == 2


# --- iteration -------------------------------------------------------------------------------

@pytest.mark.parametrize("gzipped", [False, True])
def test_iterator_protocol_and_leading_messages(stream, gzipped):
    it = stream.open([
        "",
        message(1, {"rc": [{"id": 1, "ltp": 9}]}),
        message(2),
        message(3, {"id": "", "tv": 5}, {"id": 17, "tv": 6}, [1, 2]),
        message(4, {"id": "1.9", "rc": [{"id": 2}]}),
        message(5),
    ], gzipped=gzipped)
    assert iter(it) is it and len(it) == 5
    first = next(it)
    assert (first.publish_time_epoch, first.market_id, first.total_matched) == (4, "1.9", 0.0)
    assert [(r.selection_id, r.handicap) for r in first.runners] == [(2, 0.0)]
    assert len(it) == 5
    second = next(it)
    assert second.publish_time_epoch == 4 and second.runners[0] is first.runners[0]
    assert second is not first and second.runners is not first.runners
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert len(it) == 5 and list(it) == []


def test_iterator_without_any_market(stream):
    it = stream.open([message(1, {"rc": [{"id": 1}]}), message(2), message(3, {"id": ""})])
    assert len(it) == 3
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    empty = stream.open([])
    assert len(empty) == 0 and list(empty) == [] and next(empty, None) is None


def test_other_markets_are_skipped(stream):
    books = stream.replay([
        message(1, {"id": "1.1", "rc": [{"id": 1, "ltp": 2}]}),
        message(2, {"id": "1.2", "marketDefinition": {"status": "CLOSED"}, "tv": 9,
                    "rc": [{"id": 1, "ltp": 3}, {"id": 2}]}),
        message(3, {"id": "1.2", "tv": 5}, {"rc": [{"id": 1, "ltp": 4}]}, {"id": "", "tv": 7},
                {"id": 12, "inPlay": True}, {"id": "1.1", "version": 3}),
    ])
    assert [b.market_id for b in books] == ["1.1"] * 3
    skipped, mixed = books[1], books[2]
    assert skipped.publish_time_epoch == 1 and skipped.status == "OPEN"
    assert skipped.market_definition is None and skipped.total_matched == 0.0
    assert skipped.runners == books[0].runners and skipped.runners[0].last_price_traded == 2.0
    assert (mixed.publish_time_epoch, mixed.total_matched, mixed.inplay, mixed.version) == (3, 7.0, True, 3)
    assert [(r.selection_id, r.last_price_traded) for r in mixed.runners] == [(1, 4.0)]


def test_runner_order(stream):
    books = stream.replay([
        message(1, {"id": "1.1", "rc": [{"id": 10}, {"id": 2, "hc": 0.5}, {"id": 2, "hc": -0.5}]}),
        message(2, {"id": "1.1", "rc": [{"id": 3, "hc": 1}, {"id": 2}, {"id": -4, "hc": 7.25}]}),
    ])
    assert [(r.selection_id, r.handicap) for r in books[0].runners] == [(2, -0.5), (2, 0.5), (10, 0.0)]
    assert [(r.selection_id, r.handicap) for r in books[1].runners] == [
        (-4, 7.25), (2, -0.5), (2, 0.0), (2, 0.5), (3, 1.0), (10, 0.0)]


def test_reentry_during_a_step_is_refused(stream):
    it = stream.open([message(1, {"id": "1.1"}), message(2, {"id": "1.1"})])
    seen = []

    def reenter(*args, **kwargs):
        for call in (next, len, iter):
            try:
                call(it)
            except RuntimeError as error:
                seen.append((call.__name__, str(error)))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = reenter
        book = next(it)
    assert seen == [("next", "Already borrowed"), ("len", "Already mutably borrowed"),
                    ("iter", "Already mutably borrowed")]
    assert book.publish_time_epoch == 1 and next(it).publish_time_epoch == 2 and len(it) == 2


def test_warnings_are_not_suppressed(stream):
    it = stream.open([message(1, {"id": "1.1"}), message(2, {"id": "1.1"})])
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="utcfromtimestamp"):
            next(it)
    assert next(it).publish_time_epoch == 2


# --- reference counting ----------------------------------------------------------------------

def generated_recording(seed, count=240):
    rng = random.Random(seed)
    definition = {"status": "OPEN", "marketTime": "2024-05-01T13:00:00.000Z", "regulators": ["MR_INT"],
                  "runners": [{"id": s, "sortPriority": s, "name": f"R{s}", "bsp": 3.5} for s in range(1, 7)]}
    lines = [message(1_714_568_400_000, {"id": "1.5", "img": True, "marketDefinition": definition})]
    for step in range(1, count):
        changes = [{"id": "1.5", "tv": step * 2.5, "rc": [
            {"id": rng.randint(1, 8), "hc": rng.choice([0, 0.5]),
             rng.choice(["atb", "atl", "trd", "spb", "spl"]): [[rng.choice([1.5, 2, 3.25, 4]), rng.randint(0, 3)]],
             "ltp": rng.choice([2, 3]), rng.choice(["spn", "spf"]): rng.choice([1.5, "NaN", None])}
            for _ in range(rng.randint(0, 3))]}]
        if step % 40 == 0:
            changes[0]["marketDefinition"] = dict(definition, version=step)
        lines.append(message(1_714_568_400_000 + step * 50, *changes))
    return lines


def test_replays_release_everything(stream):
    good = stream.write(generated_recording(1), gzipped=True)
    failing = generated_recording(2)
    failing[60]["mc"][0]["marketDefinition"] = {"marketTime": "never"}
    failing[100]["pt"] = 253402300800000
    failing = stream.write(failing)

    def with_to_dict():
        for book in vantrel.iter_prices_file(good):
            book.to_dict()
            book.streaming_unique_id = 3

    def kept_then_dropped():
        books = list(vantrel.iter_prices_file(good))
        books[-1].runners[0].ex.available_to_back.append("not a price")
        with pytest.raises(TypeError):
            books[-1].to_dict()

    def abandoned():
        it = vantrel.iter_prices_file(good)
        for _ in range(len(it) // 2):
            next(it).runners[0].sp.back_stake_taken

    def with_errors():
        it = vantrel.iter_prices_file(failing)
        while True:
            try:
                next(it)
            except StopIteration:
                break
            except (ValueError, OverflowError, OSError):
                pass

    scenarios = [with_to_dict, kept_then_dropped, abandoned, with_errors]
    for scenario in scenarios * 3:
        scenario()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(25):
        for scenario in scenarios:
            scenario()
    gc.collect()
    # The interpreter's own caches move by a hundred blocks or so; one object lost per message,
    # or per definition built, adds thousands.
    assert sys.getallocatedblocks() - before < 400


class Marker:
    pass


@pytest.mark.parametrize("place", [
    lambda book: book.runners,
    lambda book: book.runners[0].ex.available_to_back,
    lambda book: book.runners[0].ex.traded_volume,
])
def test_snapshot_stored_in_its_own_lists_is_collected(stream, place):
    # A strategy may keep a book inside something the book itself reaches; once nothing else
    # holds that loop, the collector must be able to free it.
    it = vantrel.iter_prices_file(stream.write(generated_recording(3, count=30)))
    books = [next(it) for _ in range(3)]
    marker = Marker()
    probe = weakref.ref(marker)
    for book in books[:2]:
        place(book).append(book)
    place(books[0]).append(marker)
    del book, books, marker, it
    gc.collect()
    assert probe() is None
