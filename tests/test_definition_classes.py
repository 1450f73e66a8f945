"""MarketDefinition and MarketDefinitionRunner: attributes, counts and defaults, the time
fields, and when a new definition object is built."""

import datetime as dt

import pytest

import vantrel
from helpers.compare import interpreter_error, same
from helpers.recordings import message
from helpers.surface import (DEFINITION, DEFINITION_KEYS, DEFINITION_RUNNER_KEYS, DEFINITION_TIMES,
                             FIXED_NONE, RICH_EXPORT, RICH_TIMES)


def time_error(text):
    # Both formats failed; the message is the one from the whole-seconds attempt.
    return interpreter_error(lambda t: dt.datetime.strptime(t, "%Y-%m-%dT%H:%M:%SZ"), text)


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
