"""A plain tar cut into groups of its members: each group read on its own must give what the
whole archive gives, in the same order, for any tar layout and any damage."""

import io
import os
import tarfile
import warnings

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from vantrel._sources import MemberGroup, member_groups
from helpers.recordings import exchange_recordings
from helpers.archives import huge_base256_size, long_name_of_32_tib, v7_header
from tools.recordings.archives import exchange_tar, tar_bytes, tar_entry, zip_bytes
from helpers.table_reference import table_rows



def recordings(count, long_names=False):
    return exchange_recordings(60, count, long_names)


@pytest.fixture(scope="module")
def official(tmp_path_factory):
    """The exchange's layout: 12 bzip2 recordings in day and event folders."""
    return exchange_tar(tmp_path_factory.mktemp("tar") / "month.tar", recordings(12))


def rows_of(sources, **options):
    return table_rows(vantrel.prices_table(sources, **options))


LAYOUTS = {
    "gnu": dict(tar_format=tarfile.GNU_FORMAT),
    "gnu long names": dict(tar_format=tarfile.GNU_FORMAT, long_names=True),
    "pax long names": dict(tar_format=tarfile.PAX_FORMAT, long_names=True),
    "ustar": dict(tar_format=tarfile.USTAR_FORMAT),
    "links and fifos": dict(extra=[
        tar_entry("PRO/link", tarfile.SYMTYPE, linkname="PRO/2024/May/1/33000/1.206000000.bz2"),
        tar_entry("PRO/hard", tarfile.LNKTYPE, linkname="PRO/2024/May/1/33000/1.206000000.bz2"),
        tar_entry("PRO/fifo", tarfile.FIFOTYPE)]),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_groups_give_the_rows_of_the_whole_archive(tmp_path, layout):
    options = dict(LAYOUTS[layout])
    long_names = options.pop("long_names", False)
    tar = exchange_tar(tmp_path / "a.tar", recordings(9, long_names), **options)
    groups = member_groups(tar, parts=4)
    assert groups is not None and len(groups) > 1
    names = [m.name for m in tarfile.open(tar) if m.isreg()]
    assert [name for g in groups for name in g.members] == names
    # The source column names each member as the whole archive does.
    whole = table_rows(vantrel.market_summaries(tar))
    assert table_rows(vantrel.market_summaries(groups)) == whole
    assert {row["source"] for row in whole} == {f"{tar} (member {n})" for n in names}
    assert rows_of(groups) == rows_of(tar)


def test_groups_stay_near_the_largest_member(official):
    sizes = {m.name: m.size for m in tarfile.open(official) if m.isreg()}
    for parts in (1, 3, 100):
        groups = member_groups(official, parts=parts, floor=0)
        assert groups is not None
        for group in groups:
            assert len(group.members) == 1 or sum(sizes[n] for n in group.members) <= max(
                sizes.values())
    # A floor above the archive's share per part keeps each group under it, no more.
    whole = os.path.getsize(official)
    assert len(member_groups(official, parts=3, floor=whole)) in (3, 4)


@pytest.mark.parametrize("kind", ["gzip tar", "zip", "one member", "recording", "missing"])
def test_what_cannot_be_cut_stays_whole(tmp_path, kind):
    members = recordings(3)
    path = tmp_path / "input"
    if kind == "gzip tar":
        path.write_bytes(tar_bytes(members, "gzip"))
    elif kind == "zip":
        path.write_bytes(zip_bytes(members))
    elif kind == "one member":
        path.write_bytes(tar_bytes(members[:1]))
    elif kind == "recording":
        path.write_bytes(members[0][1])
    assert member_groups(str(path), parts=8, floor=0) is None


def _truncated(data):
    last = [m for m in tarfile.open(fileobj=io.BytesIO(data)) if m.isreg()][-1]
    return data[:last.offset_data + last.size - 100]


def _bad_header(data):
    # The third member's header gets a wrong checksum; tarfile stops quietly there.
    third = [m for m in tarfile.open(fileobj=io.BytesIO(data)) if m.isreg()][2]
    return data[:third.offset] + b"\xff" * 512 + data[third.offset + 512:]


def _outcome(source, errors):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return rows_of(source, errors=errors), [str(w.message) for w in caught]
        except vantrel.ReplayError as exc:
            return "raised", str(exc)


DAMAGE = {"truncated": _truncated, "bad header": _bad_header, "base-256 size": huge_base256_size,
          "32 TiB long name": long_name_of_32_tib}


@pytest.mark.parametrize("damage", DAMAGE)
@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_a_damaged_archive_is_read_whole(tmp_path, official, damage, errors):
    path = tmp_path / "damaged.tar"
    path.write_bytes(DAMAGE[damage](open(official, "rb").read()))
    # Cut, the damage would be met by a group read alone, away from the members before it.
    assert member_groups(str(path), parts=8, floor=0) is None
    outcome = _outcome(str(path), errors)
    assert outcome[0] == "raised" or outcome[1]  # the damage is named either way


def test_old_v7_headers_are_cut_as_the_engine_reads_them(tmp_path, official):
    names = [m.name for m in tarfile.open(official) if m.isreg()]
    # The member that begins the second group gets the old header.
    old = names.index(member_groups(official, parts=8, floor=0)[1].members[0])
    path = tmp_path / "v7.tar"
    path.write_bytes(v7_header(open(official, "rb").read(), old))
    groups = member_groups(str(path), parts=8, floor=0)
    assert groups is not None and len(groups) > 1
    assert [name for g in groups for name in g.members] == names
    assert _outcome(groups, "raise") == _outcome(str(path), "raise")
    assert {row["source"] for row in table_rows(vantrel.market_summaries(groups))} == {
        f"{path} (member {n})" for n in names}


def test_a_group_whose_archive_went_away_names_it(tmp_path, official):
    copy = tmp_path / "gone.tar"
    copy.write_bytes(open(official, "rb").read())
    group = member_groups(str(copy), parts=8)[1]
    copy.unlink()
    with pytest.raises(vantrel.ReplayError, match="gone.tar"):
        vantrel.trades_table(group)


def test_groups_survive_pickling(official):
    import pickle

    groups = member_groups(official, parts=8)
    again = pickle.loads(pickle.dumps(groups))
    assert [(g.path, g.start, g.end, g.members) for g in again] == [
        (g.path, g.start, g.end, g.members) for g in groups]
    assert isinstance(again[0], MemberGroup)
