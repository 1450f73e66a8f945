"""The tables as a plain Python loop over vantrel.replay computes them from snapshot objects.

Each function takes one recording (a path) and returns a list of row dicts; times are epoch
milliseconds and NaN is written "nan", so that rows compare with ==.
"""

import datetime
import functools
import math

import vantrel

EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def ms(when):
    if when is None:
        return None
    if isinstance(when, str):
        when = datetime.datetime.strptime(when, "%Y-%m-%dT%H:%M:%S.%f%z")
    return (when - EPOCH) // datetime.timedelta(milliseconds=1)


def _int(text):
    return None if text is None else int(text)


def _of(definition, name):
    """A definition's field; None for a market no definition described."""
    return None if definition is None else getattr(definition, name)


def plain(value):
    """A cell as the comparisons see it."""
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, datetime.datetime):
        return ms(value)
    return value


def plain_rows(rows):
    """Reference rows with their cells as the comparisons see them."""
    return [{k: plain(v) for k, v in row.items()} for row in rows]


def table_rows(table):
    """A pyarrow table as row dicts in the same terms as the reference rows."""
    return [{k: plain(v) for k, v in row.items()} for row in table.to_pylist()]


def _sp(value):
    if value is None:
        return None
    try:
        return plain(float(value))
    except ValueError:
        return None


def best_row(book, runner, depth, time=None):
    row = {"market_id": book.market_id, "publish_time": ms(book.publish_time) if time is None else time,
           "market_status": book.status, "inplay": book.inplay,
           "selection_id": runner.selection_id, "handicap": runner.handicap,
           "status": runner.status, "last_price_traded": runner.last_price_traded,
           "total_matched": runner.total_matched}
    for side, levels in (("back", runner.ex.available_to_back), ("lay", runner.ex.available_to_lay)):
        for i in range(depth):
            level = levels[i] if i < len(levels) else None
            row[f"{side}_price_{i + 1}"] = level.price if level else None
            row[f"{side}_size_{i + 1}"] = level.size if level else None
    row["sp_near"] = _sp(runner.sp.near_price)
    row["sp_far"] = _sp(runner.sp.far_price)
    return row


def prices_best(path, depth=3, inplay=None, changed_only=False):
    rows, last = [], {}
    for book in vantrel.replay(path):
        if inplay is not None and book.inplay != inplay:
            continue
        for runner in book.runners:
            key = (book.market_id, runner.selection_id, runner.handicap)
            # a runner that did not change is handed out again as the very same object
            if changed_only and last.get(key) is runner:
                continue
            last[key] = runner
            rows.append(best_row(book, runner, depth))
    return rows


@functools.lru_cache(maxsize=4)
def _grid_books(path, depth):
    """The rows of every book's runners, and per market [(publish time, market time, first
    row, row count)] of its books: what a grid takes its rows from, kept for the next grid."""
    books = {}
    rows = []
    for book in vantrel.replay(path):
        d = book.market_definition
        market_time = ms(d.market_time) if d is not None else None
        books.setdefault(book.market_id, []).append(
            (ms(book.publish_time), market_time, len(rows), len(book.runners)))
        rows.extend(best_row(book, r, depth) for r in book.runners)
    return rows, books


def _grid(path, every, depth, window):
    """(the rows of every book's runners, [(first row, row count, point)]): the grid's points
    of each market from its first book to its last, each taking the last book at or before it.
    With a window (seconds from the off, either end None), the points fall within it, on whole
    steps from its start when it has one; the market's time must stay put."""
    rows, books = _grid_books(path, depth)
    picks = []
    for history in books.values():
        first, last = history[0][0], history[-1][0]
        point, stop = -(-first // every) * every, last + 1
        if window is not None:
            market_times = {h[1] for h in history}
            assert len(market_times) == 1, "the reference grid takes markets whose time stays put"
            market_time = market_times.pop()
            if market_time is None:
                continue
            start, end = (None if e is None else round(e * 1000) for e in window)
            if start is not None:
                point = market_time + start
                point += max(0, -(-(first - point) // every)) * every
            if end is not None:
                stop = min(stop, market_time + end)
        at = 0
        while point < stop:
            while at + 1 < len(history) and history[at + 1][0] <= point:
                at += 1
            picks.append((history[at][2], history[at][3], point))
            point += every
    return rows, picks


def prices_grid(path, every, depth=3, window=None):
    """The rows of prices_table(path, every=every, depth=depth, window=window)."""
    rows, picks = _grid(path, every, depth, window)
    return [{**rows[i], "publish_time": point}
            for first, count, point in picks for i in range(first, first + count)]


def prices_grid_table(path, every, schema, depth=3, window=None):
    """prices_grid as a pyarrow table of `schema` (plain_table's types), for grids too large to
    compare row dict by row dict."""
    import pyarrow as pa

    rows, picks = _grid(path, every, depth, window)
    rows = [{k: math.nan if v == "nan" else v for k, v in row.items()} for row in rows]
    taken = [i for first, count, _ in picks for i in range(first, first + count)]
    points = [point for _, count, point in picks for _ in range(count)]
    table = pa.Table.from_pylist(rows, schema=schema).take(pa.array(taken, pa.int64()))
    return table.set_column(table.column_names.index("publish_time"), "publish_time",
                            pa.array(points, pa.int64()))


def plain_table(table):
    """A table of the engine's with timestamps as epoch milliseconds and no dictionaries."""
    import pyarrow as pa

    columns = []
    for column in table.columns:
        if pa.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        elif pa.types.is_timestamp(column.type):
            column = column.cast(pa.int64())
        columns.append(column)
    return pa.table(columns, names=table.column_names)


def differing_columns(table, expected):
    """The names of the columns where two tables of one schema differ, NaN equal to NaN."""
    import pyarrow as pa
    import pyarrow.compute as pc

    def unnan(column):
        if not pa.types.is_floating(column.type):
            return column, None
        nan = pc.is_nan(column)
        return pc.if_else(nan, 0.0, column), nan

    if table.num_rows != expected.num_rows:
        return [f"{table.num_rows} rows, {expected.num_rows} expected"]
    out = []
    for name in expected.column_names:
        (a, a_nan), (b, b_nan) = unnan(table.column(name)), unnan(expected.column(name))
        if not a.equals(b) or (a_nan is not None and not a_nan.equals(b_nan)):
            out.append(name)
    return out


def trades(path):
    rows, seen = [], {}
    for book in vantrel.replay(path):
        for runner in book.runners:
            key = (book.market_id, runner.selection_id, runner.handicap)
            before = seen.get(key, {})
            now = {ps.price: ps.size for ps in runner.ex.traded_volume}
            for price in sorted(set(before) | set(now)):
                traded = now.get(price, 0.0)
                if traded != before.get(price, 0.0):
                    rows.append({"market_id": book.market_id, "publish_time": ms(book.publish_time),
                                 "inplay": book.inplay, "selection_id": runner.selection_id,
                                 "handicap": runner.handicap, "price": price, "traded": traded,
                                 "delta": traded - before.get(price, 0.0)})
            seen[key] = now
    return rows


def _last_books(path):
    """Per market, in order of first book: (first pt, first in-play pt, book count, last book,
    largest traded volume of the market, and of each runner by (selection id, handicap))."""
    markets = {}
    for book in vantrel.replay(path):
        pt = ms(book.publish_time)
        first, inplay_at, count, _, peak, peaks = markets.get(
            book.market_id, (pt, None, 0, None, 0.0, {}))
        if book.inplay and inplay_at is None:
            inplay_at = pt
        for r in book.runners:
            key = (r.selection_id, r.handicap)
            peaks[key] = max(peaks.get(key, 0.0), r.total_matched)
        markets[book.market_id] = (first, inplay_at, count + 1, book,
                                   max(peak, book.total_matched), peaks)
    return markets


def market_summaries(path):
    rows = []
    for first, inplay_at, count, book, peak, _ in _last_books(path).values():
        d = book.market_definition
        rows.append({
            "market_id": book.market_id, "event_id": _int(_of(d, "event_id")),
            "event_type_id": _int(_of(d, "event_type_id")), "event_name": _of(d, "event_name"),
            "market_name": _of(d, "name"), "market_type": _of(d, "market_type"),
            "country_code": _of(d, "country_code"), "venue": _of(d, "venue"),
            "market_time": ms(_of(d, "market_time")), "open_date": ms(_of(d, "open_date")),
            "status": book.status, "number_of_runners": book.number_of_runners,
            "number_of_winners": _of(d, "number_of_winners"),
            "winners": [r.selection_id for r in book.runners if r.status == "WINNER"],
            "total_matched": peak, "first_publish_time": first,
            "last_publish_time": ms(book.publish_time), "inplay_time": inplay_at,
            "books": count, "source": path})
    return rows


def runner_summaries(path, before_off):
    at_off, taken, gone_in_play = {}, {}, set()
    for book in vantrel.replay(path):
        if book.market_id in gone_in_play or book.inplay:
            gone_in_play.add(book.market_id)
            continue
        definition = book.market_definition
        market_time = ms(definition.market_time) if definition is not None else None
        for r in book.runners:
            key = (book.market_id, r.selection_id, r.handicap)
            at_off[key] = (r.last_price_traded, r.total_matched)
            for s in before_off:
                if market_time is not None and ms(book.publish_time) <= market_time - s * 1000:
                    back, lay = r.ex.available_to_back, r.ex.available_to_lay
                    taken[key, s] = (back[0].price if back else None, lay[0].price if lay else None)
    rows = []
    for *_, book, _, peaks in _last_books(path).values():
        definition = book.market_definition
        records = {(d.selection_id, d.handicap): d
                   for d in (definition.runners if definition is not None else ())}
        for r in book.runners:
            key = (book.market_id, r.selection_id, r.handicap)
            record = records.get((r.selection_id, r.handicap))
            ltp_off, matched_off = at_off.get(key, (None, None))
            row = {"market_id": book.market_id, "selection_id": r.selection_id,
                   "handicap": r.handicap, "name": record.name if record else None,
                   "status": r.status, "bsp": record.bsp if record else None,
                   "removal_date": ms(r.removal_date),
                   "adjustment_factor": r.adjustment_factor, "ltp_at_off": ltp_off,
                   "ltp_last": r.last_price_traded, "matched_at_off": matched_off,
                   "matched_last": peaks[r.selection_id, r.handicap]}
            for s in before_off:
                back, lay = taken.get((key, s), (None, None))
                row[f"back_price_{s}s"], row[f"lay_price_{s}s"] = back, lay
            rows.append(row)
    return rows
