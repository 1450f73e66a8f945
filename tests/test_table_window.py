"""`window=` of prices_table and trades_table: the rows within seconds of each market's
scheduled start (the market time in force at the row), against the unwindowed table filtered
afterwards; a grid laid from the window's start; bad windows refused."""

import datetime

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from helpers import market_mix
from helpers.table_reference import ms, table_rows

IDS = market_mix.market_ids()
# Markets whose market time stays put from their first definition to their last.
STEADY = [IDS[0], IDS[1], IDS[3]]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return market_mix.write(tmp_path_factory.mktemp("window"), "event")


@pytest.fixture(scope="module")
def market_times(source):
    """The market time in force at each book, by (market id, publish time)."""
    out = {}
    for book in vantrel.replay(source):
        d = book.market_definition
        out[book.market_id, ms(book.publish_time)] = ms(d.market_time) if d else None
    return out


@pytest.fixture(scope="module")
def unwindowed(source):
    """The rows of a table without a window, built once per table and options."""
    cache = {}

    def rows(build, **options):
        key = (build.__name__, tuple(sorted(options.items())))
        if key not in cache:
            cache[key] = table_rows(build(source, **options))
        return cache[key]

    return rows


def seconds_ms(end):
    if end is None:
        return None
    if isinstance(end, datetime.timedelta):
        return end // datetime.timedelta(milliseconds=1)
    return round(end * 1000)


def within(window, time, market_time):
    start, end = (seconds_ms(e) for e in window)
    if market_time is None:
        return False
    since = time - market_time
    return (start is None or since >= start) and (end is None or since < end)


WINDOWS = {
    "ten minutes before": (-600, 0),
    "before the off": (None, 0),
    "from the off": (0, None),
    "fractions": (-30.5, 90.25),
    "timedeltas": (datetime.timedelta(minutes=-5), datetime.timedelta(minutes=5)),
    "before and after the put back": (60, 900),
}
OPTIONS = {
    "best": {},
    "ladder": {"form": "ladder", "depth": 2},
    "ltp before the off": {"form": "ltp", "inplay": False},
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("window", WINDOWS.values(), ids=WINDOWS.keys())
def test_prices_are_the_unwindowed_prices_within_the_window(source, market_times, unwindowed,
                                                            window, options):
    everything = unwindowed(vantrel.prices_table, **options)
    expected = [r for r in everything
                if within(window, r["publish_time"], market_times[r["market_id"],
                                                                  r["publish_time"]])]
    got = table_rows(vantrel.prices_table(source, window=window, **options))
    assert got == expected
    assert len(got) < len(everything)
    assert got or options  # every window holds books; not every one books before the off


@pytest.mark.parametrize("window", WINDOWS.values(), ids=WINDOWS.keys())
def test_trades_are_the_unwindowed_trades_within_the_window(source, market_times, unwindowed,
                                                            window):
    everything = unwindowed(vantrel.trades_table)
    # a row's delta counts from the change before it, whether that was in the window or not
    expected = [r for r in everything
                if within(window, r["publish_time"], market_times[r["market_id"],
                                                                  r["publish_time"]])]
    got = table_rows(vantrel.trades_table(source, window=window))
    assert got == expected
    assert 0 < len(got) < len(everything)


def test_a_market_without_a_market_time_has_no_rows_in_a_window(source):
    timeless = IDS[market_mix.TIMELESS]
    for build in (vantrel.prices_table, vantrel.trades_table):
        assert timeless in build(source).column("market_id").to_pylist()
        assert timeless not in build(source, window=(None, 10**6)).column("market_id").to_pylist()
        # a window open at both ends is no window
        assert table_rows(build(source, window=(None, None))) == table_rows(build(source))


def book_history(rows, market_id):
    """(publish time, rows) of each book of a market, from the per-book table's rows."""
    history = {}
    for row in rows:
        if row["market_id"] == market_id:
            history.setdefault(row["publish_time"], []).append(row)
    return sorted(history.items())


def grid_reference(history, market_time, every, window):
    """Rows at the points of `every` through the window's start (the epoch's multiples when it
    has none) within the window, from the market's first book to its last."""
    start, end = (seconds_ms(e) for e in window)
    phase = market_time + start if start is not None else 0
    first = max(history[0][0], phase if start is not None else history[0][0])
    point = phase + -(-(first - phase) // every) * every
    rows, at = [], 0
    while point <= history[-1][0] and (end is None or point < market_time + end):
        while at + 1 < len(history) and history[at + 1][0] <= point:
            at += 1
        rows.extend({**row, "publish_time": point} for row in history[at][1])
        point += every
    return rows


@pytest.mark.parametrize("every, window", [
    (1000, (-600, 0)),
    (7000, (-123.4, 200)),
    (5000, (None, 0)),
    (60_000, (-2, None)),
])
def test_a_grid_falls_on_whole_steps_from_the_windows_start(source, market_times, unwindowed,
                                                            every, window):
    table = table_rows(vantrel.prices_table(source, depth=1, every=every, window=window))
    for market_id in STEADY:
        history = book_history(unwindowed(vantrel.prices_table, depth=1), market_id)
        market_time = market_times[market_id, history[-1][0]]
        got = [r for r in table if r["market_id"] == market_id]
        assert got == grid_reference(history, market_time, every, window)


def test_a_row_a_second_for_the_ten_minutes_before_the_off(source, market_times):
    table = vantrel.prices_table(source, every=1000, window=(-600, 0), markets=IDS[0])
    times = sorted(set(ms(t) for t in table.column("publish_time").to_pylist()))
    off = next(t for (market, _), t in market_times.items() if market == IDS[0])
    assert times == list(range(off - 600_000, off, 1000))


def test_a_market_put_back_lays_its_points_from_its_new_time(source, market_times, unwindowed):
    # ten minutes is no whole number of steps: points on the old time's steps would be off
    window, every = (-700, 800), 7000
    history = book_history(unwindowed(vantrel.prices_table, depth=1), IDS[market_mix.CHANGED])
    rows = table_rows(vantrel.prices_table(source, every=every, window=window,
                                           markets=IDS[market_mix.CHANGED]))
    points = sorted({r["publish_time"] for r in rows})
    in_force = {}
    for point in points:
        # the market time of the last book at or before the point
        book_time = max(t for t, _ in history if t <= point)
        in_force[point] = market_times[IDS[market_mix.CHANGED], book_time]
        assert within(window, point, in_force[point])
        assert (point - in_force[point] - seconds_ms(window[0])) % every == 0
    assert len(set(in_force.values())) == 2  # before and after the put back


def test_changed_only_counts_from_the_windows_first_row(source, market_times):
    window = (-300, 0)
    rows = table_rows(vantrel.prices_table(source, changed_only=True, window=window,
                                           markets=IDS[0]))
    first = rows[0]["publish_time"]
    runners = {r["selection_id"] for r in table_rows(vantrel.prices_table(source, markets=IDS[0]))}
    assert {r["selection_id"] for r in rows if r["publish_time"] == first} == runners


BAD_WINDOWS = {
    "a number": (5, TypeError, "window must be a \\(start, end\\) pair"),
    "a text": ("-600,0", TypeError, "window must be a \\(start, end\\) pair"),
    "three ends": ((-600, 0, 5), TypeError, "not 3 values"),
    "a text end": (("-600", 0), TypeError, "window start must be seconds"),
    "a bool end": ((0, True), TypeError, "window end must be seconds"),
    "start after end": ((0, -600), ValueError, "start must come before its end"),
    "an empty window": ((60, 60), ValueError, "start must come before its end"),
    "not a number": ((float("nan"), 0), ValueError, "finite"),
    "infinity": ((None, float("inf")), ValueError, "None leaves it open"),
    "beyond any time": ((-1e20, 0), ValueError, "within"),
}


@pytest.mark.parametrize("window, kind, text", BAD_WINDOWS.values(), ids=BAD_WINDOWS.keys())
@pytest.mark.parametrize("build", [vantrel.prices_table, vantrel.trades_table])
def test_bad_windows_are_refused_before_any_work(build, window, kind, text):
    with pytest.raises(kind, match=text):
        build("/no/such/file", window=window)
