"""vantrel.catalogue: one row per market of every recording from its first definition, against
the first books vantrel.replay gives of each recording read alone, and the member's bytes found
again where its offset and size say."""

import bz2
import io
import json
import tarfile
import zipfile
import zlib

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import vantrel
from helpers import market_mix
from helpers.recordings import market_recording
from tools.recordings import archives
from tools.recordings.archives import TarWriter

SIZES = (20_000, 200_000)
DEFINITION_FIELDS = ("event_name", "market_type", "betting_type", "country_code", "venue",
                     "race_type", "market_time", "open_date", "bsp_market", "turn_in_play_enabled")


@pytest.fixture(scope="module")
def month(tmp_path_factory):
    """The exchange's layout: a bzip2 file per market, and an event-level file per event, which
    is read whole."""
    events = archives.official_events(3, football=1, meetings=1, races=(2, 2), sizes=SIZES)
    return archives.official_tar(tmp_path_factory.mktemp("month") / "month.tar", events,
                                 event_files=True)


def expected_rows(data, source, member):
    """The rows a recording's first books give: the market's first book's time, the rest from
    its first book with a definition."""
    first_time, rows = {}, {}
    for book in vantrel.replay(data):
        first_time.setdefault(book.market_id, book.publish_time)
        d = book.market_definition
        if d is None or book.market_id in rows:
            continue
        rows[book.market_id] = {
            "source": source, "member": member, "market_id": book.market_id,
            "event_id": int(d.event_id), "event_type_id": int(d.event_type_id),
            "market_name": d.name, "number_of_runners": book.number_of_runners,
            **{f: getattr(d, f) for f in DEFINITION_FIELDS},
            "first_publish_time": first_time[book.market_id],
            "runners": [{"selection_id": r.selection_id, "handicap": r.handicap, "name": r.name,
                         "sort_priority": r.sort_priority} for r in d.runners],
        }
    return list(rows.values())


def catalogue_rows(table, without=("offset", "size")):
    return [{k: v for k, v in row.items() if k not in without} for row in table.to_pylist()]


def tar_members(path):
    with tarfile.open(path) as tar:
        return [(m.name, tar.extractfile(m).read()) for m in tar if m.isfile()]


def test_a_month_gives_a_row_per_market_of_every_member(month):
    expected = []
    for name, data in tar_members(month):
        expected += expected_rows(data, month, name)
    table = vantrel.catalogue(month, event_files="all")
    assert catalogue_rows(table) == expected
    # every market twice: in its own file and in its event's
    assert table.num_rows == 2 * len(set(table.column("market_id").to_pylist()))
    # and by default once, from its own file
    once = vantrel.catalogue(month)
    assert catalogue_rows(once) == [row for row in expected if row["member"].count(".") == 2]


def test_offsets_point_at_each_members_stored_bytes(month):
    members = dict(tar_members(month))
    with open(month, "rb") as f:
        for row in vantrel.catalogue(month).to_pylist():
            f.seek(row["offset"])
            assert f.read(row["size"]) == members[row["member"]]


@pytest.mark.parametrize("method, decode", [
    ("stored", bz2.decompress),
    ("deflate", lambda raw: zlib.decompress(raw, -15)),
])
def test_zip_offsets_point_at_each_members_compressed_data(tmp_path, method, decode):
    markets = market_mix.per_market()
    stored = method == "stored"
    members = [(f"{m}.bz2" if stored else f"{m}.json", bz2.compress(data) if stored else data)
               for m, _, data in markets]
    path = tmp_path / "markets.zip"
    path.write_bytes(archives.zip_bytes(members, method))
    table = vantrel.catalogue(str(path))
    assert table.column("market_id").to_pylist() == [m for m, _, _ in markets]
    texts = {m: data for m, _, data in markets}
    with open(path, "rb") as f:
        for row in table.to_pylist():
            f.seek(row["offset"])
            assert decode(f.read(row["size"])) == texts[row["market_id"]]
    with zipfile.ZipFile(path) as z:
        assert [row["member"] for row in table.to_pylist()] == z.namelist()


def test_an_event_level_file_gives_every_market_at_its_first_definition(tmp_path):
    # One of its markets is changed before its first definition: its first book comes earlier.
    path = market_mix.write(tmp_path, "event")
    table = vantrel.catalogue(path)
    assert catalogue_rows(table) == expected_rows(path, path, None)
    assert table.num_rows == len(market_mix.PROFILES)
    with open(path, "rb") as f:
        size = len(f.read())
    assert set(zip(table["offset"].to_pylist(), table["size"].to_pylist())) == {(0, size)}


def test_bytes_give_rows_without_offsets(month):
    _, data = tar_members(month)[0]
    table = vantrel.catalogue(data)
    assert table.num_rows == 1
    assert table["offset"].null_count == table["size"].null_count == 1
    assert table["member"].null_count == 1


def damaged_bz2(data):
    whole = bz2.compress(data, 1)  # 100 kB blocks: the first is whole long before the cut
    return whole[: len(whole) - 64]


@pytest.fixture(scope="module")
def long_market():
    lines = market_recording("1.700", seed=7, count=4000, event_id="29")
    return "".join(json.dumps(line) + "\n" for line in lines).encode()


@pytest.mark.parametrize("where", ["tar", "lone"])
def test_only_the_start_of_a_market_file_is_read(tmp_path, long_market, where):
    damaged = damaged_bz2(long_market)
    if where == "tar":
        path = str(tmp_path / "damaged.tar")
        with TarWriter(path) as tar:
            tar.add("29/1.700.bz2", damaged)
    else:
        path = str(tmp_path / "1.700.bz2")
        with open(path, "wb") as f:
            f.write(damaged)
    whole = expected_rows(long_market, path, "29/1.700.bz2" if where == "tar" else None)
    assert catalogue_rows(vantrel.catalogue(path)) == whole
    # A whole read meets the damage.
    with pytest.raises(vantrel.ReplayError):
        vantrel.market_summaries(path)


def test_the_market_filter_picks_rows(month):
    everything = vantrel.catalogue(month).to_pylist()
    wins = vantrel.catalogue(month, market_types=["WIN"]).to_pylist()
    assert wins and wins == [row for row in everything if row["market_type"] == "WIN"]
    with pytest.warns(vantrel.FilterWarning):
        assert vantrel.catalogue(month, venues=["Nowhere"]).num_rows == 0


def test_a_missing_file_fails_as_the_tables_do(tmp_path):
    with pytest.raises(FileNotFoundError):
        vantrel.catalogue(str(tmp_path / "missing.tar"))
    with pytest.warns(vantrel.SkippedRecordingWarning):
        assert vantrel.catalogue(str(tmp_path / "missing.tar"), errors="skip").num_rows == 0


def test_runners_are_a_list_of_structs_that_pandas_and_parquet_take(month):
    table = vantrel.catalogue(month)
    runners = table.schema.field("runners").type
    assert pa.types.is_list(runners) and pa.types.is_struct(runners.value_type)
    assert [f.name for f in runners.value_type] == ["selection_id", "handicap", "name",
                                                    "sort_priority"]
    counts = table.column("runners").combine_chunks().value_lengths().to_pylist()
    assert counts == [len(r["runners"]) for r in table.to_pylist()]
    frame = table.to_pandas()
    assert (frame["runners"].map(len) > 0).all()
    buffer = io.BytesIO()
    pq.write_table(table, buffer)
    assert pq.read_table(io.BytesIO(buffer.getvalue())).to_pylist() == table.to_pylist()


def test_a_compressed_tar_gives_the_same_rows_without_offsets(month, tmp_path):
    import gzip

    packed = tmp_path / "month.tar.gz"
    with open(month, "rb") as f:
        packed.write_bytes(gzip.compress(f.read(), 1))
    table = vantrel.catalogue(str(packed))
    assert table["offset"].null_count == table["size"].null_count == table.num_rows
    same_source = [{**row, "source": month} for row in catalogue_rows(table)]
    assert same_source == catalogue_rows(vantrel.catalogue(month))
