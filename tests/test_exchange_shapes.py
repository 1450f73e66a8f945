"""The questions users ask every day, of recordings shaped as the exchange's own: markets opened
days before the off and silent for hours, then busy to the off and in play. Each table is held
to a plain loop over vantrel.replay (helpers.table_reference), on generated recordings and on
the real ones kept beside the project."""

import re
import subprocess
import sys
from dataclasses import replace

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import vantrel
from helpers import table_reference as reference
from helpers.recordings import SHARED_RECORDINGS, shared_recording
from tools import recordings
from tools.recordings import Shape, archives
from tools.recordings.archives import EventPlan, MarketPlan

# Rows a second before the off, in play, and up to the off at a coarser step.
WINDOWS = [(-600, 0), (0, None), (None, 0), (-3600, 900)]


@pytest.fixture(scope="module", params=["race", "match"])
def quiet(request, tmp_path_factory):
    """One market's own file as the exchange writes it: opened days before the off, a few
    lines hours apart, silence, then the build-up to the off and the race or match."""
    shape = Shape(name=f"quiet-{request.param}", kind=request.param, runners=5, messages=900,
                  opens_days_before=4 if request.param == "race" else 6)
    folder = tmp_path_factory.mktemp("quiet")
    return recordings.write(folder / "1.229000001.bz2",
                            recordings.iter_lines(shape, seed=3, market_id="1.229000001"))


def grid_difference(path, every, window=None):
    table = reference.plain_table(vantrel.prices_table(path, every=every, window=window))
    expected = reference.prices_grid_table(path, every, table.schema, window=window)
    return table.num_rows, reference.differing_columns(table, expected)


def test_the_shape_is_the_exchanges(quiet):
    times = [book.publish_time for book in vantrel.replay(quiet)]
    gaps = sorted(b - a for a, b in zip(times, times[1:]))
    # Days from the first line to the last, and the longest silence hours long.
    assert (times[-1] - times[0]).days >= 4 and gaps[-1].total_seconds() > 3 * 3600


@pytest.mark.parametrize("window", WINDOWS, ids=str)
def test_a_grid_in_a_window_holds_the_last_book_at_each_point(quiet, window):
    rows, differing = grid_difference(quiet, 1000, window)
    assert rows > 0 and differing == []


@pytest.mark.parametrize("every", [1000, 60_000])
def test_a_grid_covers_the_quiet_days(quiet, every):
    rows, differing = grid_difference(quiet, every)
    assert differing == []
    # The grid runs the days from the market's first book to its last.
    books = list(vantrel.replay(quiet))
    first, last = reference.ms(books[0].publish_time), reference.ms(books[-1].publish_time)
    assert rows == 5 * len(range(-(-first // every) * every, last + 1, every))


@pytest.mark.parametrize("changed_only", [False, True])
@pytest.mark.parametrize("inplay", [None, True, False])
def test_rows_per_book(quiet, changed_only, inplay):
    table = vantrel.prices_table(quiet, changed_only=changed_only, inplay=inplay)
    expected = reference.prices_best(quiet, 3, inplay, changed_only)
    assert expected and reference.table_rows(table) == expected


def test_trades_and_summaries(quiet):
    assert reference.table_rows(vantrel.trades_table(quiet)) == reference.trades(quiet)
    assert reference.table_rows(vantrel.market_summaries(quiet)) == \
        reference.market_summaries(quiet)
    assert reference.table_rows(vantrel.runner_summaries(quiet, before_off=(60, 600))) == \
        reference.runner_summaries(quiet, (60, 600))


@pytest.mark.parametrize("window", [None, (-600, 0), (0, 5400)], ids=str)
@pytest.mark.parametrize("name", SHARED_RECORDINGS)
def test_a_second_by_second_grid_of_the_real_recordings(name, window):
    rows, differing = grid_difference(shared_recording(name), 1000, window)
    assert rows > 0 and differing == []


# --- the exchange's layout: a file per market and the event's own file beside them ------------

@pytest.fixture(scope="module")
def layout(tmp_path_factory):
    """An archive as the exchange's downloads lay one out, event files included, and each
    market's own recording by id; markets open days before the off."""
    folder = tmp_path_factory.mktemp("layout")
    events = [EventPlan(e.folder, e.event_id, tuple(
        MarketPlan(m.market_id, replace(m.shape, opens_days_before=2), m.seed) for m in e.markets))
        for e in archives.official_events(seed=4, football=1, meetings=1, races=(2, 2),
                                          sizes=(15_000, 40_000), football_markets=3)]
    own = {m.market_id: m.text() for e in events for m in e.markets}
    return {"events": events, "own": own, "folder": folder,
            "tar": archives.official_tar(folder / "download.tar", events, event_files=True)}


def books_by_market(source, **options):
    out = {}
    for book in vantrel.replay(source, **options):
        out.setdefault(book.market_id, []).append(book.to_dict())
    return out


@pytest.fixture(scope="module")
def own_books(layout, tmp_path_factory):
    folder = tmp_path_factory.mktemp("own")
    out = {}
    for market_id, text in layout["own"].items():
        path = folder / f"{market_id}.json"
        path.write_bytes(text)
        out.update(books_by_market(str(path)))
    return out


def layouts(layout, tmp_path):
    """The same recordings in each way they are held: the download; its event files ahead of
    their market files; unpacked into folders; and with one market's own file missing."""
    events = layout["events"]
    first = tmp_path / "event-first.tar"
    with archives.TarWriter(first) as tar:
        for e in events:
            texts = [m.text() for m in e.markets]
            tar.add(f"{e.folder}/{e.event_id}.bz2", archives.compress("bzip2", archives.event_text(texts)))
            for m, text in zip(e.markets, texts):
                tar.add(f"{e.folder}/{m.market_id}.bz2", archives.compress("bzip2", text))
    archives.write_tree(events, tmp_path / "tree", event_files=True)
    gone = events[0].markets[0].market_id
    missing = tmp_path / "missing.tar"
    with archives.TarWriter(missing) as tar:
        for e in events:
            texts = [m.text() for m in e.markets]
            for m, text in zip(e.markets, texts):
                if m.market_id != gone:
                    tar.add(f"{e.folder}/{m.market_id}.bz2", archives.compress("bzip2", text))
            tar.add(f"{e.folder}/{e.event_id}.bz2", archives.compress("bzip2", archives.event_text(texts)))
    return {"download": layout["tar"], "event first": str(first), "folders": str(tmp_path / "tree"),
            "one market file missing": str(missing)}


@pytest.mark.parametrize("kind", ["download", "event first", "folders", "one market file missing"])
@pytest.mark.parametrize("threads", [1, 2])
def test_each_market_once_as_its_own_file_gives_it(layout, own_books, tmp_path, kind, threads):
    source = layouts(layout, tmp_path)[kind]
    assert books_by_market(source, threads=threads) == own_books
    markets = vantrel.market_summaries(source, threads=threads)
    assert sorted(markets.column("market_id").to_pylist()) == sorted(own_books)
    assert vantrel.catalogue(source).num_rows == len(own_books)


def test_the_tables_of_the_download_are_those_of_the_market_files(layout, tmp_path):
    alone = tmp_path / "markets.tar"
    archives.official_tar(alone, layout["events"], event_files=False)
    for build in (vantrel.prices_table, vantrel.trades_table, vantrel.runner_summaries):
        assert reference.table_rows(build(layout["tar"])) == \
            reference.table_rows(build(str(alone)))


@pytest.mark.parametrize("choice, copies", [("all", 2), ("instead", 1), ("skip", 1), ("once", 1)])
def test_event_files_choices(layout, own_books, choice, copies):
    got = books_by_market(layout["tar"], event_files=choice)
    assert sorted(got) == sorted(own_books)
    assert all(len(got[m]) == copies * len(own_books[m]) for m in own_books)
    # The event files give the event's books interleaved, as the stream sent them.
    sources = set(vantrel.market_summaries(layout["tar"], event_files=choice).column("source")
                  .to_pylist())
    event_named = {s for s in sources if re.search(r"/\d+\.bz2\)$", s)}
    assert bool(event_named) == (choice in ("all", "instead"))


def test_dask_and_the_command_line_read_each_market_once(layout, tmp_path):
    dask = pytest.importorskip("vantrel.dask")
    folders = layouts(layout, tmp_path)["folders"]
    for source in (layout["tar"], folders):
        frame = dask.market_summaries(source).compute()
        assert sorted(frame["market_id"]) == sorted(layout["own"])
        out = tmp_path / "m.parquet"
        done = subprocess.run([sys.executable, "-m", "vantrel", "export", source, "--table",
                               "markets", "--jobs", "2", "-o", str(out)], capture_output=True,
                              text=True)
        assert done.returncode == 0, done.stderr
        assert sorted(pq.read_table(out).column("market_id").to_pylist()) == sorted(layout["own"])


def test_a_backtest_of_the_download_trades_each_market_once(layout, tmp_path):
    pytest.importorskip("flumine")
    from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

    from helpers.backtest import backtest
    from vantrel.flumine import HistoricalStream

    own = []
    for market_id, text in layout["own"].items():
        (tmp_path / market_id).write_bytes(text)
        own.append(str(tmp_path / market_id))
    expected = backtest("lowest-layer", [BetfairHistoricalStream(p) for p in own])
    assert expected and backtest("lowest-layer", [HistoricalStream(layout["tar"])]) == expected
