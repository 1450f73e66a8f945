"""Comparisons exact enough to tell the value types apart, and the interpreter's own errors."""

import json


def prices(*pairs):
    return [{"price": float(p), "size": float(s)} for p, s in pairs]


def exact(value):
    """Serialised form that tells int from float and -0.0 from 0.0 and keeps key order."""
    return json.dumps(value)


def same(actual, expected):
    return type(actual) is type(expected) and exact(actual) == exact(expected)


def price_pairs(price_list):
    return [{"price": p.price, "size": p.size} for p in price_list]


def interpreter_error(convert, value):
    """The type and text of the interpreter's own exception from `convert(value)`."""
    try:
        convert(value)
    except Exception as error:
        return type(error), str(error)
    raise AssertionError(f"{value!r} converted")

