"""vantrel.replay: several markets per recording, filters, the ecosystem's runner order, times
and bet delay models, and its agreement with iter_prices_file on single-market files."""

import datetime
import re
import warnings

import pytest

import vantrel
from helpers.compare import interpreter_error
from helpers.recordings import market_recording, message
from tools.recordings import interleave

UTC = datetime.timezone.utc


def native(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return list(vantrel.iter_prices_file(path))


def reuse_pattern(books):
    """For each step, which objects were handed out again: runners (by key), their price lists,
    and the definition."""
    pattern = []
    for before, after in zip(books, books[1:]):
        old = {(r.selection_id, r.handicap): r for r in before.runners}
        step = [after.market_definition is before.market_definition]
        for r in after.runners:
            o = old.get((r.selection_id, r.handicap))
            step.append(None if o is None else (
                r is o, r.ex.available_to_back is o.ex.available_to_back,
                r.ex.available_to_lay is o.ex.available_to_lay,
                r.ex.traded_volume is o.ex.traded_volume))
        pattern.append(step)
    return pattern


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("gzipped", [False, True])
def test_one_market_equals_iter_prices_file(stream, seed, gzipped):
    path = stream.write(market_recording("1.5", seed), gzipped=gzipped)
    expected = native(path)
    books = list(vantrel.replay(path, runner_order="key", naive_times=True))
    assert [b.to_dict() for b in books] == [b.to_dict() for b in expected]
    assert [b.publish_time for b in books] == [b.publish_time for b in expected]
    assert [b.market_definition.market_time for b in books] == [
        b.market_definition.market_time for b in expected]
    assert reuse_pattern(books) == reuse_pattern(expected)
    assert all(type(b) is vantrel.MarketBook for b in books)


def test_interleaved_markets_equal_their_own_files(stream):
    markets = {m: market_recording(m, seed, count=90, runners=runners, step=step)
               for m, seed, runners, step in [("1.1", 1, (5, 6), 1000), ("1.2", 2, (7, 8, 9), 1500),
                                              ("1.3", 3, (10,), 500)]}
    books = list(vantrel.replay(stream.write(interleave(*markets.values()))))
    assert {b.market_id for b in books} == set(markets)
    for market_id, lines in markets.items():
        alone = list(vantrel.replay(stream.write(lines)))
        mine = [b for b in books if b.market_id == market_id]
        assert [b.to_dict() for b in mine] == [b.to_dict() for b in alone]
        assert reuse_pattern(mine) == reuse_pattern(alone)
    # A message yields one book per market it changed, in the order of their changes.
    times = [b.publish_time_epoch for b in books]
    assert times == sorted(times)


def test_one_book_per_changed_market_in_change_order(stream):
    lines = [
        message(1, {"id": "1.2", "rc": [{"id": 1, "atb": [[2, 1]]}]},
                {"id": "1.1", "rc": [{"id": 1, "atb": [[3, 1]]}]},
                {"id": "1.2", "rc": [{"id": 1, "atl": [[4, 1]]}]}),
        message(2, {"rc": [{"id": 2, "atb": [[5, 1]]}]}),  # no id: the market last named
        message(3),  # changes nothing
    ]
    books = list(vantrel.replay(stream.write(lines)))
    assert [(b.market_id, b.publish_time_epoch) for b in books] == [("1.2", 1), ("1.1", 1), ("1.2", 2)]
    assert [r.selection_id for r in books[2].runners] == [1, 2]
    assert books[0].runners[0].ex.available_to_lay[0].price == 4


def test_markets_filter_applies_nothing_of_other_markets(stream):
    lines = [
        message(1, {"id": "1.1", "rc": [{"id": 1, "atb": [[2, 1]]}]}),
        message(2, {"id": "1.2", "rc": [{"id": 1, "atb": [[3, 1]]}]}, {"rc": [{"id": 9, "atb": [[9, 9]]}]}),
        message(3, {"id": "1.1", "rc": [{"id": 2, "atb": [[4, 1]]}]}),
    ]
    path = stream.write(lines)
    books = list(vantrel.replay(path, markets=["1.1"]))
    assert [(b.market_id, b.publish_time_epoch) for b in books] == [("1.1", 1), ("1.1", 3)]
    assert [r.selection_id for r in books[-1].runners] == [1, 2]
    assert list(vantrel.replay(path, markets="1.2"))[0].market_id == "1.2"
    with pytest.warns(vantrel.FilterWarning, match="markets=\\[\\] matched no market"):
        assert list(vantrel.replay(path, markets=[])) == []


def test_market_types_filter(stream):
    win = market_recording("1.1", 1, count=30, market_type="WIN")
    place = market_recording("1.2", 2, count=30, market_type="PLACE")
    # A market whose type only arrives later is yielded from that book on.
    late = [message(win[0]["pt"] - 500, {"id": "1.3", "rc": [{"id": 4, "atb": [[2, 1]]}]})]
    late += market_recording("1.3", 3, count=30, market_type="WIN")
    path = stream.write(interleave(win, place, late))
    books = list(vantrel.replay(path, market_types=["WIN"]))
    assert {b.market_id for b in books} == {"1.1", "1.3"}
    first_late = next(b for b in books if b.market_id == "1.3")
    assert first_late.publish_time_epoch == late[1]["pt"]
    # A market whose definition later carries another type is dropped from then on.
    switched = win[:10] + [message(win[9]["pt"] + 1, {"id": "1.1", "marketDefinition": {"marketType": "PLACE"}})] + win[10:]
    kept = list(vantrel.replay(stream.write(switched), market_types="WIN"))
    assert len(kept) == 10


def test_runner_order_follows_the_definition(stream):
    definition = {"marketType": "WIN", "runners": [{"id": 30, "sortPriority": 1}, {"id": 10, "sortPriority": 2},
                                                   {"id": 20, "hc": 1.5, "sortPriority": 3}]}
    lines = [message(1, {"id": "1.1", "marketDefinition": definition,
                         "rc": [{"id": 5, "atb": [[2, 1]]}, {"id": 20, "atb": [[2, 1]]}, {"id": 20, "hc": 1.5}]})]
    path = stream.write(lines)
    order = [(r.selection_id, r.handicap) for r in next(vantrel.replay(path)).runners]
    assert order == [(30, 0.0), (10, 0.0), (20, 1.5), (5, 0.0), (20, 0.0)]
    by_key = [(r.selection_id, r.handicap) for r in next(vantrel.replay(path, runner_order="key")).runners]
    assert by_key == sorted(order)


@pytest.mark.parametrize("models", [None, [], ["PASSIVE"], ["PASSIVE", "DYNAMIC"]])
def test_bet_delay_models(stream, models):
    path = stream.write(market_recording("1.1", 4, count=10, bet_delay_models=models))
    book = list(vantrel.replay(path))[-1]
    assert book.market_definition.bet_delay_models == models
    assert native(path)[-1].market_definition.bet_delay_models is None


@pytest.mark.parametrize("text", [
    "2024-05-01T13:00:00.000Z", "2024-05-01T13:00:00Z", "2024-02-29T23:59:59.123456Z", "2024-05-01T13:00:00.5Z",
    "2024-5-1T13:00:00.000Z", "0999-12-31T00:00:00Z", "1970-01-01T00:00:00.000Z",
])
def test_times_equal_the_interpreters(stream, text):
    lines = [message(1_714_568_400_123, {"id": "1.1", "marketDefinition": {"marketTime": text, "openDate": text}})]
    path = stream.write(lines)
    expected = native(path)[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no deprecation warning per book
        naive = next(vantrel.replay(path, naive_times=True))
        aware = next(vantrel.replay(path))
    for mine, theirs in [(naive.publish_time, expected.publish_time),
                         (naive.market_definition.market_time, expected.market_definition.market_time)]:
        assert mine == theirs and mine.tzinfo is None
    assert aware.publish_time == expected.publish_time.replace(tzinfo=UTC)
    assert aware.publish_time.tzinfo is UTC
    assert aware.market_definition.open_date == expected.market_definition.open_date.replace(tzinfo=UTC)


# Each form of a publish time against its own arithmetic: the package's from whole milliseconds,
# iter_prices_file's from utcfromtimestamp of a float, which near year 9999 no longer holds every
# millisecond. Past that year iter_prices_file raises the interpreter's error at that book, and
# the package refuses the recording, naming the line, before any of its books.
@pytest.mark.parametrize("pt", [
    1, 999, 86_399_999, 951_782_400_000, 1_709_251_199_999, 4_102_444_799_999, 253_402_300_799_999,
    253_402_300_800_000,
])
def test_publish_times_at_the_edges(stream, pt):
    path = stream.write([message(pt, {"id": "1.1"})])
    if pt >= 253_402_300_800_000:
        error = interpreter_error(datetime.datetime.utcfromtimestamp, pt / 1000.0)
        with pytest.raises(error[0]) as raised:
            native(path)
        assert str(raised.value) == error[1]
        for naive_times in (False, True):
            with warnings.catch_warnings(), pytest.raises(vantrel.ReplayError) as refused:
                warnings.simplefilter("error")  # no deprecated conversion on the way
                list(vantrel.replay(path, naive_times=naive_times))
            assert refused.value.reason == f"line 1: publish time {pt} is past the year 9999, the last a datetime holds"
        return
    exact = datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=pt)
    assert native(path)[0].publish_time == datetime.datetime.utcfromtimestamp(pt / 1000.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        naive = next(vantrel.replay(path, naive_times=True)).publish_time
        aware = next(vantrel.replay(path)).publish_time
    assert naive == exact and naive.tzinfo is None
    assert aware == exact.replace(tzinfo=UTC) and aware.tzinfo is UTC


# Texts the package reads as instants, against the interpreter's ISO reading: offsets that carry
# into another day, month or year, leap days, the first and last microseconds a datetime holds.
@pytest.mark.parametrize("text", [
    "2024-03-01T00:30:00.000+01:00", "2023-03-01T00:30:00+01:00", "2023-12-31T23:30:00.123456-01:00",
    "9999-12-31T22:59:59.999999-01:00", "0001-01-01T01:00:00+01:00", "2000-02-29T12:00:00Z",
    "2100-02-28T23:59:59.9Z", "1969-12-31T23:59:59.999Z", "2024-05-01T13:00:00.0005Z",
])
def test_definition_times_read_as_their_instants(stream, text):
    path = stream.write([message(1, {"id": "1.1", "marketDefinition": {"marketTime": text}})])
    expected = datetime.datetime.fromisoformat(text).astimezone(UTC)
    aware = next(vantrel.replay(path)).market_definition.market_time
    naive = next(vantrel.replay(path, naive_times=True)).market_definition.market_time
    assert aware == expected and aware.tzinfo is UTC
    assert naive == expected.replace(tzinfo=None) and naive.tzinfo is None
    # the summaries keep whole milliseconds, cut as the tables cut every time
    summary = vantrel.market_summaries(path).column("market_time").to_pylist()
    assert summary == [expected.replace(microsecond=expected.microsecond // 1000 * 1000)]


def _removal(text, rc_text=None, ladder=None):
    definition = {"status": "OPEN", "runners": [
        {"id": 1, "sortPriority": 1, "status": "REMOVED", "removalDate": text},
        {"id": 2, "sortPriority": 2, "status": "ACTIVE"}]}
    if ladder is not None:
        definition["priceLadderDefinition"] = ladder
    change = {"id": "1.1", "marketDefinition": definition}
    if rc_text is not None:
        change["rc"] = [{"id": 2, "removalDate": rc_text}]
    return message(1_714_568_400_123, change)


@pytest.mark.parametrize("text, expected", [
    ("2024-05-01T11:00:00.000Z", datetime.datetime(2024, 5, 1, 11, tzinfo=UTC)),
    ("2024-05-01T11:00:00Z", datetime.datetime(2024, 5, 1, 11, tzinfo=UTC)),
    ("2024-02-29T23:59:59.123456Z", datetime.datetime(2024, 2, 29, 23, 59, 59, 123456, tzinfo=UTC)),
])
def test_removal_dates_are_times_like_every_other(stream, text, expected):
    path = stream.write([_removal(text, rc_text=text)])
    for naive_times, wanted in [(False, expected), (True, expected.replace(tzinfo=None))]:
        book = next(vantrel.replay(path, naive_times=naive_times))
        dates = [r.removal_date for r in book.runners + book.market_definition.runners]
        assert dates == [wanted, wanted, wanted, None]
        assert all(d.tzinfo == wanted.tzinfo for d in dates[:3])
        # the export keeps the text the stream carried
        assert [r["removalDate"] for r in book.to_dict()["runners"]] == [text, text]
    mine = native(path)[0]
    assert [r.removal_date for r in mine.runners] == [text, text]
    assert [r.removal_date for r in mine.market_definition.runners] == [text, None]


def test_bad_removal_date_raises_as_a_bad_definition_time(stream):
    with pytest.raises(ValueError):
        list(vantrel.replay(stream.write([_removal("yesterday")])))


@pytest.mark.parametrize("ladder, kind", [
    ({"type": "CLASSIC"}, "CLASSIC"), ({"type": "LINE_RANGE"}, "LINE_RANGE"), ({}, None),
    ({"type": 3}, None), ("CLASSIC", None), (None, None)])
def test_price_ladder_definition_comes_from_the_definition(stream, ladder, kind):
    from betfairlightweight.resources import MarketBook

    path = stream.write([_removal("2024-05-01T11:00:00Z", ladder=ladder),
                         message(1_714_568_400_200, {"id": "1.1", "rc": [{"id": 2, "ltp": 2}]})])
    books = list(vantrel.replay(path))
    peer = MarketBook(marketId="1.1", runners=[], priceLadderDefinition=ladder) if kind else None
    for book in books:
        for description in (book.price_ladder_definition,
                            book.market_definition.price_ladder_definition):
            if kind is None:
                assert description is None
            else:
                assert isinstance(description, vantrel.PriceLadderDescription)
                assert description.type == peer.price_ladder_definition.type == kind
                assert description.serialise() == peer.price_ladder_definition.serialise()
                assert description["type"] == description.get("type") == kind
    assert native(path)[0].price_ladder_definition is None
    assert native(path)[0].market_definition.price_ladder_definition is None


def test_a_definition_without_a_price_ladder_has_none(stream):
    later = message(1_714_568_400_200, {"id": "1.1", "marketDefinition": {"status": "OPEN"}})
    books = list(vantrel.replay(stream.write([_removal("2024-05-01T11:00:00Z",
                                                       ladder={"type": "FINEST"}), later])))
    assert [b.price_ladder_definition for b in books] == [
        vantrel.PriceLadderDescription("FINEST"), None]


@pytest.mark.parametrize("text", ["never", "2024-02-30T00:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01 13:00:00Z",
                                  "2100-02-29T00:00:00Z", "0001-01-01T00:30:00+01:00", "9999-12-31T23:30:00-01:00"])
def test_bad_definition_time_fails_the_recording_with_its_line(stream, text):
    path = stream.write([message(1, {"id": "1.1", "rc": [{"id": 7, "atb": [[2, 1]]}]}), "",
                         message(2, {"id": "1.1", "marketDefinition": {"marketTime": text}})])
    with pytest.raises(ValueError, match="does not match format|out of range"):
        native(path)
    with pytest.raises(vantrel.ReplayError, match=f'^{re.escape(path)}: line 3: .*"{re.escape(text)}"'):
        list(vantrel.replay(path))


def test_each_file_is_replayed_with_fresh_caches(stream):
    first = stream.write([message(1, {"id": "1.1", "rc": [{"id": 1, "atb": [[2, 1]]}]})])
    second = stream.write([message(2, {"id": "1.1", "rc": [{"id": 2, "atb": [[3, 1]]}]})])
    books = list(vantrel.replay([first, second]))
    assert [[r.selection_id for r in b.runners] for b in books] == [[1], [2]]


@pytest.mark.parametrize("call, error", [
    (lambda p: vantrel.replay(p, errors="ignore"), ValueError),
    (lambda p: vantrel.replay(p, runner_order="name"), ValueError),
    (lambda p: vantrel.replay(p, markets=[1.1]), TypeError),
    (lambda p: vantrel.replay(42), TypeError),
    (lambda p: vantrel.replay([p, [p]]), TypeError),
])
def test_arguments_are_checked_before_any_work(stream, call, error):
    path = stream.write([message(1, {"id": "1.1"})])
    with pytest.raises(error):
        call(path)


class Unreadable:
    name = "remote-object"

    def read(self):
        raise ConnectionError("connection reset")


@pytest.mark.parametrize("bad", ["corrupt", "unreadable"])
def test_skipped_files_are_reported_in_file_order(stream, bad):
    # The next file is loaded while the current one is replayed: its failure must still wait
    # until every book before it has been handed out.
    first = stream.write(market_recording("1.1", 5, count=40))
    second = stream.write(market_recording("1.2", 6, count=40))
    broken = stream.write(['{"op": "mcm", "pt": 1, "mc": [}']) if bad == "corrupt" else Unreadable()
    seen = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for book in vantrel.replay([first, broken, second], errors="skip"):
            seen.append((book.market_id, len(caught)))
    assert [m for m, _ in seen] == ["1.1"] * 40 + ["1.2"] * 40
    assert [n for _, n in seen] == [0] * 40 + [1] * 40
    assert issubclass(caught[0].category, vantrel.SkippedRecordingWarning)
    assert ("remote-object" if bad == "unreadable" else broken) in str(caught[0].message)
    with pytest.raises(vantrel.ReplayError) as raised:
        for book in vantrel.replay([first, broken, second]):
            assert book.market_id == "1.1"
    assert raised.value.member is None and raised.value.file in ("remote-object", broken)


def test_runner_order_is_the_order_of_first_appearance(stream):
    # As the ecosystem's stream caches keep it: a later definition listing the runners in
    # another order changes nothing, a runner first named by a change goes last, an image
    # starts afresh.
    first = {"runners": [{"id": 3, "sortPriority": 1}, {"id": 1, "sortPriority": 2}]}
    resorted = {"runners": [{"id": 1, "sortPriority": 1}, {"id": 3, "sortPriority": 2},
                            {"id": 2, "sortPriority": 3}]}
    lines = [message(1, {"id": "1.1", "marketDefinition": first}),
             message(2, {"id": "1.1", "rc": [{"id": 9, "atb": [[2, 1]]}]}),
             message(3, {"id": "1.1", "marketDefinition": resorted}),
             message(4, {"id": "1.1", "img": True, "marketDefinition": resorted})]
    orders = [[r.selection_id for r in b.runners] for b in vantrel.replay(stream.write(lines))]
    assert orders == [[3, 1], [3, 1, 9], [3, 1, 9, 2], [1, 3, 2]]


def test_books_grouped_by_message(stream):
    from vantrel import _engine
    lines = [message(1, {"id": "1.2", "rc": [{"id": 1, "atb": [[2, 1]]}]}, {"id": "1.1"}),
             message(2),
             message(3, {"id": "1.1", "tv": 5})]
    paths = [stream.write(lines), stream.write(lines[:1])]

    def on_error(*args):
        raise AssertionError(args)

    grouped = list(_engine.replay([(p, p) for p in paths], on_error, per_message=True))
    assert [(n, [(b.market_id, b.publish_time_epoch) for b in books]) for n, books in grouped] == [
        (0, [("1.2", 1), ("1.1", 1)]), (0, [("1.1", 3)]), (1, [("1.2", 1), ("1.1", 1)])]
