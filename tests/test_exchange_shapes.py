"""The questions users ask every day, of recordings shaped as the exchange's own: markets opened
days before the off and silent for hours, then busy to the off and in play. Each table is held
to a plain loop over vantrel.replay (helpers.table_reference), on generated recordings and on
the real ones kept beside the project."""

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from helpers import table_reference as reference
from helpers.recordings import SHARED_RECORDINGS, shared_recording
from tools import recordings
from tools.recordings import Shape

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
