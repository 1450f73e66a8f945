"""Parquet parts joined by copying their row groups must give the very file one writer gives
for the same tables, whatever the writer put in the footers."""

import io

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq

import vantrel
from helpers.recordings import write_event
from vantrel._parquet_join import DifferentColumns, ParquetJoin, ParquetJoinError


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    root = tmp_path_factory.mktemp("join")
    return [write_event(root / f"{i}.json", 100 + i, markets=1 + i % 3,
                                   messages=40 + 30 * (i % 4)) for i in range(17)]


TABLES = {
    "best": lambda p: vantrel.prices_table(p, depth=2),
    "ladder": lambda p: vantrel.prices_table(p, form="ladder", depth=None),
    "trades": vantrel.trades_table,
    "markets": vantrel.market_summaries,  # a list column, null cells
    "runners": vantrel.runner_summaries,
}
# Footers with more or less in them: several row groups per part, no dictionaries.
OPTIONS = {
    "defaults": {},
    "small row groups": {"row_group_size": 50},
    "zstd, no dictionary, statistics off": {"compression": "zstd", "use_dictionary": False,
                                           "write_statistics": False},
}


def encoded(tables, row_group_size=None, **options):
    out = io.BytesIO()
    with pq.ParquetWriter(out, tables[0].schema, **options) as writer:
        for table in tables:
            writer.write_table(table, row_group_size=row_group_size)
    return out.getvalue()


def joined(parts):
    out = io.BytesIO()
    join = ParquetJoin(out)
    for part in parts:
        join.append(part)
    join.close()
    return out.getvalue()


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("kind", TABLES)
@pytest.mark.parametrize("count", [1, 3, 17])  # 15 and more row groups: the long list header
def test_joined_parts_are_the_file_one_writer_makes(recordings, kind, options, count):
    tables = [TABLES[kind](p) for p in recordings[:count]]
    parts = [encoded([t], **OPTIONS[options]) for t in tables]
    whole = encoded(tables, **OPTIONS[options])
    got = joined(parts)
    assert got == whole
    assert pq.read_table(io.BytesIO(got)).num_rows == sum(t.num_rows for t in tables)


def test_empty_parts_join_too(recordings):
    table = vantrel.trades_table(recordings[0])
    empty = table.slice(0, 0)
    parts = [encoded([empty]), encoded([table]), encoded([empty])]
    got = pq.read_table(io.BytesIO(joined(parts)))
    assert got.num_rows == table.num_rows
    assert got.to_pylist() == table.to_pylist()


@pytest.mark.parametrize("other", ["another table", "other options"])
def test_parts_of_other_columns_are_refused(recordings, other):
    first = encoded([vantrel.trades_table(recordings[0])])
    if other == "another table":
        second = encoded([vantrel.market_summaries(recordings[1])])
    else:
        second = encoded([vantrel.prices_table(recordings[1], depth=1)])
        first = encoded([vantrel.prices_table(recordings[0], depth=2)])
    join = ParquetJoin(io.BytesIO())
    join.append(first)
    with pytest.raises(DifferentColumns):
        join.append(second)


@pytest.mark.parametrize("damage", [
    lambda d: d[:-1], lambda d: b"XXXX" + d[4:], lambda d: d[:12] + d[-8:],
    lambda d: d[:-8] + (len(d)).to_bytes(4, "little") + d[-4:], lambda d: b"PAR1",
], ids=["cut", "magic", "footer only", "footer too long", "magic only"])
def test_what_is_no_parquet_file_is_refused(recordings, damage):
    part = encoded([vantrel.trades_table(recordings[0])])
    with pytest.raises(ParquetJoinError):
        ParquetJoin(io.BytesIO()).append(damage(part))


def test_parts_with_page_indexes_are_refused(recordings):
    # their page locations lie outside the footer, where a join would leave them wrong
    part = encoded([vantrel.trades_table(recordings[0])], write_page_index=True)
    with pytest.raises(ParquetJoinError, match="page index"):
        ParquetJoin(io.BytesIO()).append(part)
