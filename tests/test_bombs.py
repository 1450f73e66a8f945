"""Decompression bombs: inputs that decode to far more than they take. Each recording is held to
the size limit (4 GiB; lowered here so that the tests stay small) and named when it passes it,
and the members around it are still read."""

import warnings

import pytest

import vantrel
from vantrel import _engine
from vantrel._sources import inputs
from tools.recordings.archives import COMPRESSORS, compress, tar_bytes, zip_bytes
from helpers.recordings import race

LIMIT = 1 << 20
LINE = b'{"op":"mcm","clk":"A","pt":1714568400000,"mc":[]}\n'


def _lines_bomb(size):
    return LINE * (size // len(LINE) + 1)


def _replayed(source, errors="raise"):
    """Books of a replay at the lowered limit, and the reasons of what it skipped."""
    skipped = []

    def stop(file, member, reason):
        raise vantrel.ReplayError(file, member, reason)

    def note(file, member, reason):
        skipped.append((member, reason))

    on_error = stop if errors == "raise" else note
    books = list(_engine.replay(inputs(source), on_error, max_recording_bytes=LIMIT))
    return books, skipped


def _limit_text():
    return f"recording is larger than the limit of {LIMIT} bytes"


@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
def test_a_compressed_bomb_is_named_at_the_limit(kind):
    data = compress(kind, _lines_bomb(8 * LIMIT))
    assert len(data) < LIMIT // 8  # it is a bomb: small in, large out
    with pytest.raises(vantrel.ReplayError, match=_limit_text()):
        _replayed(data)


@pytest.mark.parametrize("container", ["tar", "tar.gz", "zip-deflate", "zip-bzip2", "zip-lzma"])
def test_a_bomb_member_is_named_and_the_others_read(container):
    good = race("1.700000001", seed=3)
    bomb = _lines_bomb(4 * LIMIT)
    if container.startswith("zip"):
        data = zip_bytes([("a.json", good), ("bomb.json", bomb), ("c.json", good)],
                         method=container.split("-")[1])
    else:
        members = [("a.json", good), ("bomb.json.gz", compress("gzip", bomb)), ("c.json", good)]
        data = tar_bytes(members, "gzip" if container == "tar.gz" else "plain")
    books, skipped = _replayed(data, errors="skip")
    alone, _ = _replayed(good)
    assert len(books) == 2 * len(alone)
    assert [member for member, _ in skipped] == [
        "bomb.json" if container.startswith("zip") else "bomb.json.gz"]
    assert skipped[0][1] == _limit_text()


def test_overlapping_zip_entries_are_refused_without_decoding():
    good = race("1.700000002", seed=4)

    def repeat_first(infos):
        # Many directory entries for one member's data: how a zip of kilobytes is made to
        # decode to terabytes.
        for n in range(200):
            copy = type(infos[0])(f"again-{n}.json")
            for field in ("header_offset", "compress_type", "compress_size", "file_size", "CRC"):
                setattr(copy, field, getattr(infos[0], field))
            infos.append(copy)

    data = zip_bytes([("a.json", good)], change=repeat_first)
    books, skipped = _replayed(data, errors="skip")
    alone, _ = _replayed(good)
    assert len(books) == len(alone)
    assert len(skipped) == 200
    assert {reason for _, reason in skipped} == {"zip member overlaps the data of another member"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.SkippedRecordingWarning)
        assert len(list(vantrel.replay(data, errors="skip"))) == len(alone)


def test_an_archive_inside_an_archive_is_not_opened():
    inner = tar_bytes([("1.json", race("1.700000003", seed=5))])
    data = tar_bytes([("inner.tar", inner), ("outer.json", race("1.700000004", seed=6))])
    books, skipped = _replayed(data, errors="skip")
    assert {b.market_id for b in books} == {"1.700000004"}
    assert skipped == [("inner.tar", "archive inside an archive is not opened")]


@pytest.mark.parametrize("kind", ["gzip", "zstd", "xz"])
def test_a_bomb_of_zeros_is_named_at_the_limit(kind):
    # Zeros read as a tar's end blocks: past the limit they are no end but a bomb.
    data = compress(kind, bytes(8 * LIMIT))
    with pytest.raises(vantrel.ReplayError, match=f"more than {LIMIT} bytes of nothing but zeros"):
        _replayed(data)
    # Below it they are an empty archive, as tar reads them.
    assert _replayed(compress(kind, bytes(LIMIT // 2))) == ([], [])
