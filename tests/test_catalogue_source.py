"""A catalogue as the source of replay and the tables: the members its rows name, read where
the catalogue puts them, give what a scan filtered to their markets gives; an archive changed
since it was catalogued is an error naming the member, never other books."""

import bz2
import os
import re
import shutil
import tarfile
import warnings

import pytest

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
pq = pytest.importorskip("pyarrow.parquet")

import vantrel
from helpers.recordings import event_lines, exchange_recordings, replayed
from tools.recordings import archives

SIZES = (20_000, 60_000)


@pytest.fixture(scope="module")
def month(tmp_path_factory):
    """The exchange's layout, with an event-level file per event beside its markets' files."""
    events = archives.official_events(5, football=1, meetings=1, races=(2, 2), sizes=SIZES)
    return archives.official_tar(tmp_path_factory.mktemp("month") / "month.tar", events,
                                 event_files=True)


def event_text(seed, markets):
    return ("\n".join(event_lines(seed, markets=markets, messages=60)) + "\n").encode()


@pytest.fixture(scope="module")
def layouts(tmp_path_factory, month):
    """Each layout as the source to catalogue: one market's and several markets' recordings."""
    root = tmp_path_factory.mktemp("layouts")
    recordings = [(f"PRO/1/{seed}", event_text(seed, 1 + seed % 3)) for seed in range(1, 5)]
    zipped = root / "month.zip"
    zipped.write_bytes(archives.zip_bytes(
        [(f"{name}.bz2", bz2.compress(data)) if i % 2 else (name, data)
         for i, (name, data) in enumerate(recordings)]))
    lone = []
    for i, (name, data) in enumerate(recordings):
        path = root / f"lone{i}.bz2"
        path.write_bytes(bz2.compress(data))
        lone.append(str(path))
    gz = root / "month.tar.gz"
    gz.write_bytes(archives.tar_bytes(recordings, "gzip"))
    return {"official_tar": month, "zip": str(zipped), "lone_files": lone, "tar_gz": str(gz)}


def every_other_market(catalogue):
    """The rows of every other market (every row of it: in its own file and its event's)."""
    ids = sorted(set(catalogue["market_id"].to_pylist()))[::2]
    mask = pc.is_in(catalogue["market_id"], value_set=pa.array(ids, pa.string()))
    return catalogue.filter(mask), ids


def rows(table):
    # repr, so that a NaN (a starting price not yet known) equals itself
    return [repr(row) for row in table.to_pylist()]


@pytest.mark.parametrize("layout", ["official_tar", "zip", "lone_files", "tar_gz"])
def test_a_picked_catalogue_gives_what_a_filtered_scan_gives(layouts, layout):
    source = layouts[layout]
    picked, ids = every_other_market(vantrel.catalogue(source))
    assert 0 < len(ids) and picked.num_rows < vantrel.catalogue(source).num_rows
    assert replayed(picked) == replayed(source, markets=ids)
    for function in (vantrel.prices_table, vantrel.market_summaries, vantrel.trades_table,
                     vantrel.runner_summaries):
        assert rows(function(picked)) == rows(function(source, markets=ids)), function.__name__
    # a catalogue of the picked catalogue says where the same markets are
    if layout in ("official_tar", "lone_files"):
        assert rows(vantrel.catalogue(picked)) == rows(vantrel.catalogue(source, markets=ids))


@pytest.mark.parametrize("tar_format", [tarfile.GNU_FORMAT, tarfile.PAX_FORMAT])
def test_names_longer_than_a_tar_header_holds(tmp_path, tar_format):
    path = archives.exchange_tar(tmp_path / "long.tar", exchange_recordings(40, 6, long_names=True),
                                 tar_format)
    catalogue = vantrel.catalogue(path)
    assert any(len(member.encode()) > 100 for member in catalogue["member"].to_pylist())
    assert replayed(catalogue) == replayed(path)


def test_rows_are_read_in_their_order_each_member_once(month):
    catalogue = vantrel.catalogue(month)
    reversed_rows = catalogue.take(list(range(catalogue.num_rows))[::-1])
    members = list(dict.fromkeys(reversed_rows["member"].to_pylist()))
    summaries = vantrel.market_summaries(reversed_rows)
    read = list(dict.fromkeys(summaries["source"].to_pylist()))
    assert read == [f"{month} (member {m})" for m in members]
    assert summaries.num_rows == catalogue.num_rows


def test_the_callers_filter_narrows_the_rows_further(month):
    picked, ids = every_other_market(vantrel.catalogue(month))
    other = sorted(set(vantrel.catalogue(month)["market_id"].to_pylist()) - set(ids))
    assert replayed(picked, markets=ids[:1]) == replayed(month, markets=ids[:1])
    with pytest.warns(vantrel.FilterWarning, match="markets="):
        assert replayed(picked, markets=other[:1]) == []
    # the catalogue's own market ids are never named in a warning
    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.FilterWarning)
        assert vantrel.market_summaries(picked).num_rows == picked.num_rows


def rewrite(path, tmp_path, how):
    if how == "truncated":
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) * 2 // 3)
    elif how == "rewritten":
        events = archives.official_events(6, football=1, meetings=1, races=(2, 2), sizes=SIZES)
        archives.official_tar(path, events, event_files=True)


@pytest.mark.parametrize("how", ["truncated", "rewritten"])
def test_a_changed_archive_is_an_error_naming_the_member(month, tmp_path, how):
    copy = str(tmp_path / "month.tar")
    shutil.copyfile(month, copy)
    catalogue = vantrel.catalogue(copy)
    last = catalogue.num_rows - 1
    rewrite(copy, tmp_path, how)
    with pytest.raises(vantrel.ReplayError, match="changed since it was catalogued") as caught:
        list(vantrel.replay(catalogue))
    assert caught.value.file == copy
    assert caught.value.member in catalogue["member"].to_pylist()
    with pytest.warns(vantrel.SkippedRecordingWarning, match=r"\(member .*changed since"):
        table = vantrel.market_summaries(catalogue.slice(last), errors="skip")
    assert table.num_rows == 0


def overwrite_member(path, rest):
    """Overwrites the data of a market's file in the tar at `path` with the bytes of a smaller
    one's, in place: its header and size stay, and what is left of its own bytes is kept or
    zeroed. Gives the member overwritten, its market, and the market it now holds."""
    with tarfile.open(path) as tar:
        files = sorted((info for info in tar if info.name.count(".") == 2),
                       key=lambda info: info.size)
    smaller, larger = files[0], files[-1]
    with open(path, "r+b") as f:
        f.seek(smaller.offset_data)
        stream = f.read(smaller.size)
        f.seek(larger.offset_data)
        f.write(stream + (b"" if rest == "kept" else bytes(larger.size - smaller.size)))
    market = os.path.basename(larger.name).removesuffix(".bz2")
    return larger.name, market, os.path.basename(smaller.name).removesuffix(".bz2")


@pytest.mark.parametrize("rest", ["kept", "zeroed"])
def test_a_member_overwritten_with_another_members_bytes_is_named(month, tmp_path, rest):
    copy = str(tmp_path / "month.tar")
    shutil.copyfile(month, copy)
    catalogue = vantrel.catalogue(copy)
    before = vantrel.market_summaries(catalogue)
    member, market, held = overwrite_member(copy, rest)
    reason = f"it holds no market {market}: the file changed since it was catalogued"
    with pytest.raises(vantrel.ReplayError) as caught:
        list(vantrel.replay(catalogue))
    assert (caught.value.file, caught.value.member, caught.value.reason) == (copy, member, reason)
    # every other row reads as before: the market now in the member is not given twice
    with pytest.warns(vantrel.SkippedRecordingWarning, match=re.escape(reason)):
        after = vantrel.market_summaries(catalogue, errors="skip")
    source = f"{copy} (member {member})"
    assert rows(after) == rows(before.filter(pc.not_equal(before["source"], source)))
    assert held in after["market_id"].to_pylist()
    if rest == "kept":  # a scan has no rows to go by, but the old stream's end gives it away
        with pytest.raises(vantrel.ReplayError, match="bytes after the end of the bzip2 data"):
            list(vantrel.replay(copy))


def test_a_lone_file_overwritten_with_another_recording_of_its_size_is_named(layouts, tmp_path):
    smaller, larger = sorted(layouts["lone_files"], key=os.path.getsize)[:2]
    copy = str(tmp_path / "lone.bz2")
    shutil.copyfile(larger, copy)
    catalogue = vantrel.catalogue(copy)
    with open(smaller, "rb") as f:
        stream = f.read()
    with open(copy, "r+b") as f:  # padded with zeros to its old size, as a copy into place may
        f.write(stream + bytes(os.path.getsize(copy) - len(stream)))
    with pytest.warns(vantrel.SkippedRecordingWarning, match=re.escape(
            f"{copy}: it holds no market {catalogue['market_id'][0]}: the file changed")):
        assert replayed(catalogue, errors="skip") == []


@pytest.mark.parametrize("layout", ["official_tar", "zip", "lone_files"])
def test_a_member_the_archive_does_not_hold_is_an_error(layouts, layout):
    catalogue = vantrel.catalogue(layouts[layout]).slice(0, 1)
    column = "member" if layout != "lone_files" else "size"
    wrong = ["PRO/elsewhere/1.1.bz2"] if column == "member" else [1]
    catalogue = catalogue.set_column(catalogue.schema.get_field_index(column), column,
                                     pa.array(wrong, catalogue[column].type.value_type
                                              if column == "member" else pa.int64()))
    with pytest.raises(vantrel.ReplayError) as caught:
        list(vantrel.replay(catalogue))
    assert caught.value.member == (wrong[0] if column == "member" else None)


def test_a_missing_archive_is_the_os_error(month, tmp_path):
    catalogue = vantrel.catalogue(month).slice(0, 2)
    moved = catalogue.set_column(0, "source", pa.array([str(tmp_path / "gone.tar")] * 2))
    with pytest.raises(FileNotFoundError):
        list(vantrel.replay(moved))


@pytest.mark.parametrize("change, error, match", [
    (lambda t: t.drop_columns(["offset"]), ValueError, "'offset'"),
    (lambda t: t.drop_columns(["market_id"]), ValueError, "'market_id'"),
    (lambda t: t.set_column(3, "size", pc.cast(t["size"], pa.string())), TypeError, "'size'"),
    (lambda t: t.set_column(2, "offset", pc.add(pc.cast(t["offset"], pa.float64()), 0.5)),
     ValueError, "'offset'"),
    (lambda t: t.set_column(0, "source", pa.nulls(len(t), pa.string())), ValueError, "'source'"),
    (lambda t: t.set_column(3, "size", pa.nulls(len(t), pa.int64())), ValueError, "offset"),
])
def test_a_malformed_catalogue_fails_before_any_work(month, change, error, match):
    with pytest.raises(error, match=match):
        vantrel.replay(change(vantrel.catalogue(month)))
    with pytest.raises(error, match=match):
        vantrel.prices_table(change(vantrel.catalogue(month)))


def test_a_catalogue_is_no_item_of_a_list(month):
    with pytest.raises(TypeError, match="catalogue"):
        vantrel.replay([vantrel.catalogue(month)])


def test_pyarrows_file_objects_are_still_file_objects(month):
    with open(month, "rb") as f:
        data = f.read()
    assert replayed(pa.BufferReader(data)) == replayed(month)


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_data_frames_are_catalogues_too(month, library):
    module = pytest.importorskip(library)
    catalogue = vantrel.catalogue(month)
    picked, ids = every_other_market(catalogue)
    frame = module.from_arrow(picked) if library == "polars" else picked.to_pandas()
    if library == "pandas":
        # as pandas reads a Parquet file back: ints with nulls become floats
        frame["offset"] = frame["offset"].astype("float64")
    assert replayed(frame) == replayed(month, markets=ids)
    assert replayed(frame.head(0)) == []


def test_rows_without_offsets_read_their_archive_once(layouts):
    source = layouts["tar_gz"]
    catalogue = vantrel.catalogue(source)
    assert catalogue["offset"].null_count == catalogue.num_rows
    doubled = pa.concat_tables([catalogue, catalogue])
    assert replayed(doubled) == replayed(source)


def test_the_command_line_exports_a_catalogue(month, tmp_path):
    from vantrel.cli import main

    whole = tmp_path / "catalogue.parquet"
    assert main(["catalogue", month, "-o", str(whole), "-q"]) == 0
    picked, ids = every_other_market(pq.read_table(whole))
    pq.write_table(picked, tmp_path / "picked.parquet")
    for table, function in (("markets", vantrel.market_summaries),
                            ("prices", vantrel.prices_table)):
        out = tmp_path / f"{table}.parquet"
        assert main(["export", "--catalogue", str(tmp_path / "picked.parquet"), "-t", table,
                     "-o", str(out), "-q", "-j", "2"]) == 0
        assert rows(pq.read_table(out)) == rows(function(month, markets=ids))


@pytest.mark.parametrize("suffix", [".csv", ".arrow"])
def test_the_command_line_reads_every_catalogue_format_it_writes(month, tmp_path, suffix):
    from vantrel.cli import main

    whole = tmp_path / f"catalogue{suffix}"
    assert main(["catalogue", month, "-o", str(whole), "-q"]) == 0
    out = tmp_path / "markets.parquet"
    assert main(["export", "--catalogue", str(whole), "-t", "markets", "-o", str(out),
                 "-q"]) == 0
    assert rows(pq.read_table(out)) == rows(vantrel.market_summaries(month))


@pytest.mark.parametrize("arguments, status, message", [
    (["{month}", "--catalogue", "{catalogue}"], 2, "not both"),
    ([], 2, "give a SOURCE"),
    (["--catalogue", "{missing}"], 1, "No such file"),
    (["--catalogue", "{malformed}"], 1, "no 'offset' column"),
])
def test_the_command_line_refuses_a_catalogue_it_cannot_use(month, tmp_path, capsys, arguments,
                                                            status, message):
    from vantrel.cli import main

    pq.write_table(vantrel.catalogue(month), tmp_path / "c.parquet")
    pq.write_table(vantrel.catalogue(month).drop_columns(["offset"]), tmp_path / "m.parquet")
    names = {"month": month, "catalogue": tmp_path / "c.parquet",
             "missing": tmp_path / "none.parquet", "malformed": tmp_path / "m.parquet"}
    argv = [a.format(**names) for a in arguments]
    out = tmp_path / "out.parquet"
    assert main(["export", *argv, "-o", str(out), "-q"]) == status
    assert message in capsys.readouterr().err
    assert not out.exists()
