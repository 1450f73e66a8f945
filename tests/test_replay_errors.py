"""vantrel.replay over bad input: a clear error naming the file (and the archive member), never
a crash, nothing of a failed recording handed out, nothing lost from the good ones around it.

Every bad input is replayed between two good files. Under errors="raise" the books before the
failure come out and then a ReplayError; under errors="skip" one warning names the failure and
every good recording, inside the bad input or around it, gives all its books.
"""

import io
import tarfile
import warnings
import zipfile
from dataclasses import dataclass

import pytest

import vantrel
from vantrel import _engine, _replay, _sources
from tools.recordings.archives import COMPRESSORS, compress, tar_bytes, tar_entry, zip_bytes
from helpers.recordings import race, replayed

BEFORE = race("1.200000001", seed=11)
AFTER = race("1.200000002", seed=12)
A = race("1.300000001", seed=21)
B = race("1.300000002", seed=22)
C = race("1.300000003", seed=23)
MEMBERS = [("a.json", A), ("b.json", B), ("c.json", C)]
DEFAULT_CAP = 4 << 30


def damaged(data, at):
    """`data` with eight bytes from `at` scrambled."""
    out = bytearray(data)
    for i in range(at, at + 8):
        out[i] ^= 0x5A
    return bytes(out)


def zip_lying_about_b(**fields):
    """A zip whose central directory says something untrue about member b."""
    def change(infos):
        for key, value in fields.items():
            setattr(infos[1], key, value)
    return zip_bytes(MEMBERS, change=change)


def tar_cut_inside_b():
    data = tar_bytes(MEMBERS)
    return data[: data.index(B[:40]) + len(B) // 2]


def tar_with_bad_header_for_b():
    data = tar_bytes(MEMBERS)
    second_header = data.index(b"ustar", data.index(A[:40]))
    return damaged(data, second_header + 20)


def zip_with_b_damaged():
    data = zip_bytes(MEMBERS)
    return damaged(data, data.index(b"PK\3\4", 4) + 200)


@dataclass
class Bad:
    data: bytes
    reason: str
    member: str | None = None
    before: tuple = ()  # recordings of the bad input that come out before the failure
    after: tuple = ()  # and those that still come out after it under errors="skip"


def compressed_cases():
    for kind in COMPRESSORS:
        data = compress(kind, A)
        yield f"{kind} truncated", Bad(data[: len(data) // 2], f"truncated {kind} data")
        yield f"{kind} corrupt", Bad(damaged(data, len(data) // 2), f"invalid {kind} data")
    # A whole tar compressed and cut: the members before the cut are whole and come out.
    data = tar_bytes(MEMBERS, "xz")
    yield "tar.xz truncated", Bad(data[: len(data) * 3 // 4], "truncated xz data", "c.json", (A, B))


BAD = dict(compressed_cases())
BAD.update({
    "tar truncated": Bad(tar_cut_inside_b(), "truncated tar archive", "b.json", (A,)),
    # The member a bad header began is lost, the ones after it are not.
    "tar bad header": Bad(tar_with_bad_header_for_b(), "invalid tar header: the member it began "
                          "is lost", None, (A,), (C,)),
    "zip truncated": Bad(zip_bytes(MEMBERS)[:-30], "truncated zip archive"),
    "zip cut in half": Bad(zip_bytes(MEMBERS)[:9000], "truncated zip archive"),
    "zip member damaged": Bad(zip_with_b_damaged(), "invalid deflate data", "b.json", (A,), (C,)),
    "zip member encrypted": Bad(zip_lying_about_b(flag_bits=1),
                                "encrypted zip member is not supported", "b.json", (A,), (C,)),
    "zip method deflate64": Bad(zip_lying_about_b(compress_type=9),
                                "unsupported zip compression method 9", "b.json", (A,), (C,)),
    "zip method unknown": Bad(zip_lying_about_b(compress_type=99),
                              "unsupported zip compression method 99", "b.json", (A,), (C,)),
    "zip member claims an absurd size": Bad(
        zip_lying_about_b(file_size=1 << 40),
        f"recording is larger than the limit of {DEFAULT_CAP} bytes", "b.json", (A,), (C,)),
    "zip member expands past its size": Bad(
        zip_lying_about_b(file_size=100),
        "zip member does not match its recorded size and checksum", "b.json", (A,), (C,)),
    "zip member checksum": Bad(zip_lying_about_b(CRC=12345),
                               "zip member does not match its recorded size and checksum",
                               "b.json", (A,), (C,)),
    "tar in tar": Bad(tar_bytes([("a.json", A), ("in.tar", tar_bytes(MEMBERS)), ("c.json", C)]),
                      "archive inside an archive is not opened", "in.tar", (A,), (C,)),
    "zip in tar.bz2": Bad(
        tar_bytes([("a.json", A), ("in.zip", zip_bytes(MEMBERS)), ("c.json", C)], "bzip2"),
        "archive inside an archive is not opened", "in.zip", (A,), (C,)),
    "tar.zst in zip": Bad(
        zip_bytes([("a.json", A), ("in", tar_bytes(MEMBERS, "zstd")), ("c.json", C)]),
        "archive inside an archive is not opened", "in", (A,), (C,)),
    "zip in gzip": Bad(compress("gzip", zip_bytes(MEMBERS)),
                       "zip archive inside a compressed file is not opened"),
    "bad line in a member": Bad(
        tar_bytes([("a.json", A), ("b.json", B + b'{"op": "mcm", "pt":\n'), ("c.json", C)]),
        f"line {len(B.splitlines()) + 1}: EOF while parsing a value at column 19", "b.json", (A,), (C,)),
    "bad UTF-8 at a member's end": Bad(
        zip_bytes([("a.json", A), ("b.json", B + b"\xff\n"), ("c.json", C)]),
        "stream did not contain valid UTF-8", "b.json", (A,), (C,)),
})


def where(file, member):
    return file if member is None else f"{file} (member {member})"


def collect(books):
    """The books (as replayed() gives them) until the replay ends or fails, and its error."""
    out = []
    try:
        for book in books:
            out.append((book.market_id, book.publish_time, book.to_dict()))
    except vantrel.ReplayError as error:
        return out, error
    return out, None


def check_raised(error, file, member, reason):
    assert isinstance(error, ValueError)
    assert (error.file, error.member, error.reason) == (file, member, reason)
    assert str(error) == f"{where(file, member)}: {reason}"


def check_skipped(record, file, member, reason):
    assert [w.category for w in record] == [vantrel.SkippedRecordingWarning]
    assert f"{where(file, member)}: {reason}" in str(record[0].message)


@pytest.fixture
def around(tmp_path):
    """around(bad): a list of a good file, the bad source and another good file."""
    before, after = tmp_path / "before.json", tmp_path / "after.json.gz"
    before.write_bytes(BEFORE)
    after.write_bytes(compress("gzip", AFTER))
    return lambda bad: [str(before), bad, after]


@pytest.mark.parametrize("case", BAD.values(), ids=BAD.keys())
def test_bad_input_raises_naming_file_and_member(tmp_path, around, plain_books, case):
    bad = tmp_path / "bad-input"
    bad.write_bytes(case.data)
    books, error = collect(vantrel.replay(around(str(bad))))
    assert books == plain_books(BEFORE, *case.before)
    check_raised(error, str(bad), case.member, case.reason)


@pytest.mark.parametrize("case", BAD.values(), ids=BAD.keys())
def test_bad_input_is_skipped_with_a_warning(around, plain_books, case):
    with pytest.warns(vantrel.SkippedRecordingWarning) as record:
        books = replayed(around(case.data), errors="skip")
    assert books == plain_books(BEFORE, *case.before, *case.after, AFTER)
    check_skipped(record, "<bytes>", case.member, case.reason)


class Exploding(io.RawIOBase):
    name = "exploding.gz"

    def readable(self):
        return True

    def readinto(self, buffer):
        raise OSError(5, "Input/output error")


class Answers:
    """A file object whose read() gives `value`, and nothing else."""

    def __init__(self, value):
        self.value = value

    def read(self):
        return self.value


FILE_OBJECTS = {
    "raises": (Exploding(), "exploding.gz", "reading failed: OSError: [Errno 5] Input/output error"),
    "text mode": (io.StringIO(A.decode()), "<StringIO>",
                  "file object must be opened in binary mode ('rb')"),
    "returns None": (Answers(None), "<Answers>", "read() gave NoneType, not bytes"),
    "returns a number": (Answers(7), "<Answers>", "read() gave int, not bytes"),
}


@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("obj, label, reason", FILE_OBJECTS.values(), ids=FILE_OBJECTS.keys())
def test_file_object_that_cannot_be_read(around, plain_books, errors, obj, label, reason):
    if errors == "raise":
        books, error = collect(vantrel.replay(around(obj)))
        assert books == plain_books(BEFORE)
        check_raised(error, label, None, reason)
        return
    with pytest.warns(vantrel.SkippedRecordingWarning) as record:
        books = replayed(around(obj), errors="skip")
    assert books == plain_books(BEFORE, AFTER)
    check_skipped(record, label, None, reason)


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_missing_file(tmp_path, around, plain_books, errors):
    missing = str(tmp_path / "missing.json")
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        books, error = collect(vantrel.replay(around(missing), errors=errors))
    reason = "No such file or directory (os error 2)"
    if errors == "raise":
        assert books == plain_books(BEFORE)
        check_raised(error, missing, None, reason)
    else:
        assert error is None and books == plain_books(BEFORE, AFTER)
        check_skipped(record, missing, None, reason)


def test_a_bad_file_in_a_directory_is_named_by_its_path(tmp_path, plain_books):
    (tmp_path / "day").mkdir()
    for name, data in [("1.json", A), ("2.json.bz2", compress("bzip2", B)[:-9]), ("3", C)]:
        (tmp_path / "day" / name).write_bytes(data)
    bad = str(tmp_path / "day" / "2.json.bz2")
    books, error = collect(vantrel.replay(tmp_path))
    assert books == plain_books(A)
    check_raised(error, bad, None, "truncated bzip2 data")
    with pytest.warns(vantrel.SkippedRecordingWarning) as record:
        assert replayed(tmp_path, errors="skip") == plain_books(A, C)
    check_skipped(record, bad, None, "truncated bzip2 data")


def test_non_contiguous_memoryview_gives_its_bytes(plain_books):
    spread = bytearray(len(A) * 2)
    spread[::2] = A
    assert replayed(memoryview(spread)[::2]) == plain_books(A)


NOT_RECORDINGS = [
    tar_entry("folder", tarfile.DIRTYPE, mode=0o755),
    tar_entry("link", tarfile.SYMTYPE, linkname="a.json"),
    tar_entry("hard", tarfile.LNKTYPE, linkname="a.json"),
    tar_entry("tty", tarfile.CHRTYPE, devmajor=4, devminor=1),
    tar_entry("disk", tarfile.BLKTYPE, devmajor=8, devminor=0),
    tar_entry("pipe", tarfile.FIFOTYPE),
]


@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_tar_entries_that_are_not_files_are_passed_over(plain_books, errors, compression):
    source = tar_bytes([("a.json", A), *NOT_RECORDINGS, ("b.json", B), *NOT_RECORDINGS[::-1]],
                       compression)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert replayed(source, errors=errors) == plain_books(A, B)


def zip_of_folders_only():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        archive.mkdir("folder")
        archive.mkdir("folder/inner")
    return out.getvalue()


EMPTY = {
    "tar": lambda tmp_path: tar_bytes([]),
    "tar.gz": lambda tmp_path: tar_bytes([], "gzip"),
    "tar.zst": lambda tmp_path: tar_bytes([], "zstd"),
    "tar of folders": lambda tmp_path: tar_bytes(NOT_RECORDINGS[:1]),
    "zip": lambda tmp_path: zip_bytes([]),
    "zip of folders": lambda tmp_path: zip_of_folders_only(),
    "empty file": lambda tmp_path: b"",
    "empty gzip": lambda tmp_path: compress("gzip", b""),
    "empty directory": lambda tmp_path: tmp_path,
    "directory of hidden files": lambda tmp_path: (tmp_path / ".x").write_bytes(A) and tmp_path,
    "empty list": lambda tmp_path: [],
}


@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("make", EMPTY.values(), ids=EMPTY.keys())
def test_empty_sources_give_nothing_and_no_error(tmp_path, errors, make):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert list(vantrel.replay(make(tmp_path), errors=errors)) == []


def capped(source, cap, errors="raise"):
    """vantrel.replay with a small limit on a recording's decoded size: (books, error)."""
    on_error = _replay._raise if errors == "raise" else _replay._warn
    return collect(_engine.replay(_sources.inputs(source), on_error,
                                  max_recording_bytes=cap))


CAP = 48 << 10
BIG = race("1.300000009", messages=250, seed=29)
OVER_CAP = {
    "plain": (BIG, None, (), ()),
    "bzip2": (compress("bzip2", BIG), None, (), ()),
    "blank lines only": (compress("gzip", b"\n" * (CAP * 50)), None, (), ()),
    "tar member": (tar_bytes([("a.json", A), ("big.json", BIG), ("c.json", C)]), "big.json",
                   (A,), (C,)),
    "tar.zst member": (tar_bytes([("a.json", A), ("big.json", BIG), ("c.json", C)], "zstd"),
                       "big.json", (A,), (C,)),
    "zip member": (zip_bytes([("a.json", A), ("big.json", BIG), ("c.json", C)]), "big.json",
                   (A,), (C,)),
}


@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("data, member, before, after", OVER_CAP.values(), ids=OVER_CAP.keys())
def test_recording_over_the_cap(plain_books, errors, data, member, before, after):
    assert len(BIG) > CAP > max(len(A), len(BEFORE))
    reason = f"recording is larger than the limit of {CAP} bytes"
    source = [BEFORE, data, AFTER]
    if errors == "raise":
        books, error = capped(source, CAP)
        assert books == plain_books(BEFORE, *before)
        check_raised(error, "<bytes>", member, reason)
        return
    with pytest.warns(vantrel.SkippedRecordingWarning) as record:
        books, error = capped(source, CAP, errors)
    assert error is None and books == plain_books(BEFORE, *before, *after, AFTER)
    check_skipped(record, "<bytes>", member, reason)


@pytest.mark.parametrize("wrap", [lambda d: d, lambda d: compress("xz", d),
                                  lambda d: zip_bytes([("a.json", d)], "stored")],
                         ids=["plain", "xz", "zip"])
def test_a_recording_of_exactly_the_cap_is_read(plain_books, wrap):
    assert capped(wrap(A), len(A)) == (plain_books(A), None)
    books, error = capped(wrap(A), len(A) - 1)
    assert books == [] and error.reason.startswith("recording is larger than the limit")


class Spy(io.BytesIO):
    touched = False

    def read(self, *args):
        Spy.touched = True
        return super().read(*args)


ARGUMENT_ERRORS = {
    "errors value": ({"errors": "ignore"}, ValueError, "errors must be one of"),
    "errors None": ({"errors": None}, ValueError, "errors must be one of"),
    "runner_order value": ({"runner_order": "name"}, ValueError, "runner_order must be one of"),
    "markets of ints": ({"markets": ["1.1", 2]}, TypeError, "markets must hold str, not int"),
    "markets of bytes": ({"markets": [b"1.1"]}, TypeError, "markets must hold str, not bytes"),
    "market_types of None": ({"market_types": [None]}, TypeError, "market_types must hold str"),
    "markets not iterable": ({"markets": 5}, TypeError, "not iterable"),
    "source a number": ({"source": 5}, TypeError, "source must be a path"),
    "source None": ({"source": None}, TypeError, "source must be a path"),
    "source a set": ({"source": {"a.json"}}, TypeError, "source must be a path"),
    "number in a list": ({"source": [A, 5]}, TypeError, "source must be a path"),
    "list in a list": ({"source": [A, [A]]}, TypeError, "not lists"),
}


@pytest.mark.parametrize("options, kind, text", ARGUMENT_ERRORS.values(), ids=ARGUMENT_ERRORS.keys())
def test_argument_errors_come_before_any_work(options, kind, text):
    # Raised by the call itself, not by the first step, and before any file object is read.
    Spy.touched = False
    options = dict(options)
    source = options.pop("source") if "source" in options else ["/no/such/file"]
    if isinstance(source, list):
        source = [Spy(A), *source]
    with pytest.raises(kind, match=text):
        vantrel.replay(source, **options)
    assert not Spy.touched


# --- files that are no recordings, found beside recordings ---------------------------------------

FOREIGN = {
    "README": b"# Data\n\nThe recordings of May.\n",
    "CSV": b"market_id,selection_id\n1.2,11\n",
    "JSON of something else": b'{"hello": 1}\n',
    "a saved market catalogue": b'[{"marketId": "1.300000001", "marketName": "R1 5f"}]\n',
    "connection lines alone": b'{"op":"connection","connectionId":"x"}\n{"op":"status"}\n',
}


@pytest.mark.parametrize("data", FOREIGN.values(), ids=FOREIGN.keys())
def test_a_file_without_a_market_stream_message_is_named(tmp_path, data):
    (tmp_path / "1.300000001.json").write_bytes(A)
    (tmp_path / "notes").write_bytes(data)
    alone = str(tmp_path / "notes")
    with pytest.raises(vantrel.ReplayError, match="notes: not a market-stream recording$"):
        list(vantrel.replay(alone))
    with pytest.raises(vantrel.ReplayError, match="not a market-stream recording"):
        vantrel.market_summaries(alone)
    # Beside recordings, skipped by name while the rest is read.
    with pytest.warns(vantrel.SkippedRecordingWarning, match="notes: not a market-stream recording"):
        books = replayed(str(tmp_path), errors="skip")
    assert books == replayed(str(tmp_path / "1.300000001.json"))


@pytest.mark.parametrize("data", [b'{"op":"mcm","clk":"A","pt":1714568400000,"ct":"HEARTBEAT"}\n',
                                  b"\n\n"], ids=["heartbeats", "blank lines"])
def test_a_stream_without_changes_is_still_a_recording(tmp_path, data):
    path = tmp_path / "quiet.json"
    path.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert list(vantrel.replay(str(path))) == []


# Each line is parsed on its own; the error names the recording's line all the same, counting
# blank lines and whatever ends them, as an editor shows it.
LINE_DAMAGE = {
    "cut value": b'{"op": "mcm", "pt": 1714568400000, "mc": [}',
    "open string": b'{"op": "mcm", "pt": 1714568400000, "mc": [{"id": "1.3',
    "trailing text": b'{"op": "mcm", "pt": 1714568400000, "mc": []} x',
    "number out of range": b'{"op": "mcm", "pt": 1714568400000, "mc": [{"id": "1.1", "tv": 1e999}]}',
}


@pytest.mark.parametrize("ends", [b"\n", b"\r\n"], ids=["LF", "CRLF"])
@pytest.mark.parametrize("line", LINE_DAMAGE.values(), ids=LINE_DAMAGE.keys())
@pytest.mark.parametrize("wrap", ["plain", "gzip", "tar"])
def test_damage_names_the_recordings_own_line(tmp_path, ends, line, wrap):
    lines = B.splitlines()
    lines[2:2] = [b"", b"   "]
    at = len(lines) - 2
    lines.insert(at, line)
    text = ends.join(lines) + ends
    # iter_prices_file's text for the line, which it gives as line 1 of the file
    alone = tmp_path / "alone.json"
    alone.write_bytes(line + b"\n")
    with pytest.raises(ValueError) as first:
        vantrel.iter_prices_file(str(alone))
    description, _, column = str(first.value).rpartition(" at line 1 column ")
    expected = f"line {at + 1}: {description} at column {column}"
    alone.write_bytes(text)  # and keeps it for the whole file: its texts are specified
    with pytest.raises(ValueError) as whole:
        vantrel.iter_prices_file(str(alone))
    assert str(whole.value) == str(first.value)

    data = tar_bytes([("b.json", text)]) if wrap == "tar" else compress(wrap, text)
    for read in (replayed, vantrel.market_summaries, vantrel.prices_table):
        with pytest.raises(vantrel.ReplayError) as raised:
            read(data)
        assert raised.value.reason == expected
