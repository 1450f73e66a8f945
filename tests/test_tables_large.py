"""Tables of more rows than the engine's first buffers hold: they must grow, carry their nulls
along and come out the same as the plain loop over vantrel.replay."""

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from helpers import table_reference
from helpers.recordings import write_event
from helpers.table_reference import plain_rows, table_rows


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """Some 11,000 rows a table, a market re-imaged part way."""
    folder = tmp_path_factory.mktemp("large")
    return write_event(folder / "large.json", 5, markets=3, messages=1500,
                                  peer_safe=False)


@pytest.mark.parametrize("depth", [2, 9])
@pytest.mark.parametrize("changed_only", [False, True])
def test_best_grows_past_its_first_buffers(large, depth, changed_only):
    table = vantrel.prices_table(large, depth=depth, changed_only=changed_only)
    # More doubles than the first buffer of a column holds (a changed-only table, about half).
    assert table.num_rows > (4096 if changed_only else 8192)
    expected = table_reference.prices_best(large, depth, None, changed_only)
    assert table_rows(table) == plain_rows(expected)


def test_nulls_are_counted_and_placed_past_the_first_buffers(large):
    table = vantrel.prices_table(large, depth=9)
    deepest = table.column("lay_price_9")
    expected = [r["lay_price_9"] for r in table_reference.prices_best(large, 9, None, False)]
    assert deepest.null_count == sum(v is None for v in expected) > 0
    assert deepest.to_pylist() == [table_reference.plain(v) for v in expected]


def test_grid_cut_and_joined_past_the_first_buffers(large):
    table = vantrel.prices_table(large, every=100, depth=3)
    assert table.num_rows > 8192
    assert table_rows(table) == plain_rows(table_reference.prices_grid(large, 100, depth=3))


def test_tables_of_one_call_do_not_share_storage(large):
    # Buffers of a finished table go back to the engine's heap: a later call must not write
    # into a table still held.
    first = vantrel.prices_table(large, depth=2)
    before = table_rows(first)
    vantrel.prices_table([large, large], depth=2)
    assert table_rows(first) == before
