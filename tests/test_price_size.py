"""PriceSize: its repr in plain shortest decimals, and lookup by key but not by position."""

import json
import random
import struct
from decimal import Decimal

import pytest

from helpers.compare import same


def plain_decimal(x):
    """Shortest round-trip digits written out in full."""
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


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
