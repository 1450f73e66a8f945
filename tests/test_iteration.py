"""The iterator: its protocol and length, messages before the first market, other markets,
runner order, and calls made from inside a step."""

import warnings

import pytest

from helpers.recordings import message


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
