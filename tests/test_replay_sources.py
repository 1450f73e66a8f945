"""vantrel.replay over every kind of source: each must give exactly the books the same
recordings give when replayed one by one from plain files.

Recordings come from the benchmark generator (an image, then deltas, suspensions, in-play and
the close); LATE is the second half of FIRST's market, so a member replayed after FIRST shows
whether it started from an empty cache or from what FIRST left behind.
"""

import io
import tarfile

import pytest

import vantrel
from helpers.archives import pieces, zstd_skippable_frame
from tools.recordings.archives import (COMPRESSORS, ZIP_METHODS, compress,
                                       tar_bytes, tar_entry, zip_bytes)
from helpers.recordings import event_file, race, replayed

FIRST = race("1.100000001", seed=1)
SECOND = race("1.100000002", runners=6, seed=2)
LATE = b"".join(FIRST.splitlines(keepends=True)[15:])
MEMBERS = [("z-first.json", FIRST), ("a-late.json", LATE), ("m-second.json", SECOND)]


def test_late_half_differs_from_the_continued_market(plain_books):
    # The fixture recordings must be able to tell a fresh cache from a continued one.
    continued = plain_books(FIRST[: len(FIRST) - len(LATE)] + LATE)
    assert continued[-len(plain_books(LATE)):] != plain_books(LATE)


@pytest.mark.parametrize("kind", ["plain", *COMPRESSORS])
@pytest.mark.parametrize("as_path", [True, False], ids=["path", "bytes"])
def test_every_format_gives_the_plain_books(tmp_path, plain_books, kind, as_path):
    data = compress(kind, FIRST)
    source = data
    if as_path:
        source = tmp_path / "recording.bin"  # no extension: content decides
        source.write_bytes(data)
    assert replayed(source) == plain_books(FIRST)


MULTI_PART = {
    "gzip members": lambda parts: b"".join(compress("gzip", p) for p in parts),
    "bzip2 streams": lambda parts: b"".join(compress("bzip2", p) for p in parts),
    "zstd frames": lambda parts: b"".join(compress("zstd", p) for p in parts),
    "zstd with skippable frames": lambda parts: b"".join(
        zstd_skippable_frame(b"meta") + compress("zstd", p) for p in parts),
    "xz streams": lambda parts: b"".join(compress("xz", p) for p in parts),
    "xz streams with padding": lambda parts: b"\0\0\0\0".join(compress("xz", p) for p in parts),
}


@pytest.mark.parametrize("build", MULTI_PART.values(), ids=MULTI_PART.keys())
def test_every_part_of_a_concatenated_file_is_read(plain_books, build):
    # The cuts fall inside lines: the parts make one stream, not separate recordings.
    assert replayed(build(pieces(FIRST, 3))) == plain_books(FIRST)


@pytest.mark.parametrize("compression", ["plain", *COMPRESSORS])
def test_tar_members_replay_in_archive_order_each_on_its_own(plain_books, compression):
    books = replayed(tar_bytes(MEMBERS, compression))
    assert books == plain_books(FIRST, LATE, SECOND)


@pytest.mark.parametrize("method", ZIP_METHODS)
def test_zip_members_replay_in_archive_order_each_on_its_own(plain_books, method):
    books = replayed(zip_bytes(MEMBERS, method))
    assert books == plain_books(FIRST, LATE, SECOND)


@pytest.mark.parametrize("kind", COMPRESSORS)
def test_compressed_members_inside_archives(plain_books, kind):
    members = [(name + ".x", compress(kind, data)) for name, data in MEMBERS]
    books = plain_books(FIRST, LATE, SECOND)
    assert replayed(tar_bytes(members)) == books
    assert replayed(zip_bytes(members, "stored")) == books


def official_layout():
    """Folders by year, month, day and event; a bzip2 file per market and one for the event."""
    event = "PRO/2024/May/1/33001234"
    entries = [tar_entry(folder, tarfile.DIRTYPE, mode=0o755)
               for folder in ("PRO", "PRO/2024", "PRO/2024/May", "PRO/2024/May/1", event)]
    files = [(f"{event}/1.100000001.bz2", FIRST), (f"{event}/1.100000002.bz2", SECOND),
             (f"{event}/33001234.bz2", event_file(FIRST, SECOND))]
    return entries + [(name, compress("bzip2", data)) for name, data in files]


@pytest.mark.parametrize("event_files", ["once", "all"])
def test_official_layout(plain_books, event_files):
    books = replayed(tar_bytes(official_layout()), event_files=event_files)
    if event_files == "once":
        # The event file gives no market that a file of its own gave.
        assert books == plain_books(FIRST, SECOND)
        return
    assert books == plain_books(FIRST, SECOND, event_file(FIRST, SECOND))
    event_books = books[len(plain_books(FIRST, SECOND)):]
    assert {market_id for market_id, _, _ in event_books} == {"1.100000001", "1.100000002"}


@pytest.mark.parametrize("market_id, recording", [("1.100000001", FIRST), ("1.100000002", SECOND)])
def test_one_market_of_an_event_file_matches_its_own_file(plain_books, market_id, recording):
    # Each market of a recording has a cache of its own: the other market's messages between
    # its own change nothing in its books.
    source = tar_bytes(official_layout())
    assert replayed(source, markets=[market_id], event_files="all") == \
        plain_books(recording, recording)
    assert replayed(source, markets=[market_id]) == plain_books(recording)


def test_directory_walk_is_recursive_sorted_and_skips_hidden_files(tmp_path, plain_books):
    files = {
        "b/2.json": SECOND,
        "b/10.json": FIRST,
        "a.json": compress("gzip", LATE),
        "a/z/deep.json": compress("zstd", FIRST),
        "c.tar": tar_bytes(MEMBERS[:2]),
        ".hidden.json": SECOND,
        ".hidden/inside.json": SECOND,
        "b/.dot.json": SECOND,
    }
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
    # Sorted by path components: folder "a" before file "a.json", "10" before "2".
    order = [FIRST, LATE, FIRST, SECOND, FIRST, LATE]
    assert replayed(tmp_path) == plain_books(*order)
    assert replayed(str(tmp_path)) == plain_books(*order)


class ReadOnce(io.RawIOBase):
    """A binary stream that is not a BytesIO: read() is all it offers."""

    def __init__(self, data):
        self._data = data

    def readable(self):
        return True

    def read(self, size=-1):
        data, self._data = self._data, b""
        return data


MEMORY_SOURCES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "memoryview slice": lambda data: memoryview(b"xx" + data + b"yy")[2:-2],
    "BytesIO": io.BytesIO,
    "raw stream": ReadOnce,
    "buffered stream": lambda data: io.BufferedReader(ReadOnce(data)),
}


@pytest.mark.parametrize("wrap", MEMORY_SOURCES.values(), ids=MEMORY_SOURCES.keys())
@pytest.mark.parametrize("kind", ["plain", "xz"])
def test_memory_and_file_object_sources(plain_books, wrap, kind):
    assert replayed(wrap(compress(kind, FIRST))) == plain_books(FIRST)
    assert replayed(wrap(tar_bytes(MEMBERS, kind))) == plain_books(FIRST, LATE, SECOND)


def test_open_file_object(tmp_path, plain_books):
    path = tmp_path / "recording"
    path.write_bytes(zip_bytes(MEMBERS))
    with open(path, "rb") as file:
        assert replayed(file) == plain_books(FIRST, LATE, SECOND)


@pytest.mark.parametrize("container", [list, tuple])
def test_a_list_mixes_every_kind_in_the_order_given(tmp_path, plain_books, container):
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "one.json").write_bytes(compress("bzip2", SECOND))
    (tmp_path / "late.gz").write_bytes(compress("gzip", LATE))
    source = container([
        FIRST,
        str(tmp_path / "late.gz"),
        io.BytesIO(tar_bytes(MEMBERS, "zstd")),
        memoryview(LATE),
        tmp_path / "dir",
        bytearray(zip_bytes(MEMBERS[:1], "lzma")),
    ])
    assert replayed(source) == plain_books(FIRST, LATE, FIRST, LATE, SECOND, LATE, SECOND, FIRST)


def test_the_same_source_replays_the_same_twice(plain_books):
    source = [tar_bytes(MEMBERS, "gzip"), FIRST]
    assert replayed(source) == replayed(source) == plain_books(FIRST, LATE, SECOND, FIRST)


def test_books_outlive_their_archive(plain_books):
    # Books are kept while the replay moves on to later members and ends.
    books = list(vantrel.replay(tar_bytes(MEMBERS, "xz")))
    assert [(b.market_id, b.publish_time, b.to_dict()) for b in books] == plain_books(
        FIRST, LATE, SECOND)
