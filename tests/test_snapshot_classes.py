"""MarketBook, Runner, ExchangePrices and StartingPrices as Python sees them: attribute values
and types, which objects are stored and which built on each access, read-only attributes, the
one writable attribute and the publish time."""

import array
import datetime as dt
import operator

import pytest

import vantrel
from helpers.compare import interpreter_error, price_pairs, same
from helpers.recordings import message
from helpers.surface import (ATTRIBUTES, BOOK_KEYS, CLASS_DOCS, EX_KEYS, FIXED_NONE, PT, RICH_EXPORT,
                             RUNNER_KEYS, SP_KEYS)


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
