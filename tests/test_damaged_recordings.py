"""Damage that must never pass for an empty or shorter recording through the package API:
zeroed blocks, unreadable definition times, member names that are not UTF-8, a publish time
decades off. Each case names what it met, or reads what is there, and never loses data silently.
"""

import gzip
import io
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import tarfile
import warnings

import pytest

import vantrel
from tools.recordings.archives import compress, tar_bytes
from helpers.recordings import market_recording
from helpers.table_reference import table_rows

pa = pytest.importorskip("pyarrow")

BLOCK = 512
DATA = pathlib.Path(os.environ.get("VANTREL_DATA_DIR", "/work/shared/data"))


def recording_text(market_id="1.100", seed=1, **options):
    return "".join(json.dumps(m) + "\n" for m in market_recording(market_id, seed, 40, **options)).encode()


def books(source, **options):
    return list(vantrel.replay(source, **options))


# --- zeroed blocks -------------------------------------------------------------------------------

def zeroed_start(data, blocks=1):
    return bytes(BLOCK * blocks) + data[BLOCK * blocks:]


@pytest.mark.parametrize("compression", ["plain", "gzip", "zstd"])
@pytest.mark.parametrize("where", ["recording", "compressed bytes"])
def test_zeroed_first_block_is_named_not_an_empty_archive(tmp_path, compression, where):
    text = recording_text()
    if where == "recording":
        data = compress(compression, zeroed_start(text))
    else:
        data = zeroed_start(compress(compression, text + text))
    path = tmp_path / "zeroed"
    path.write_bytes(data)
    with pytest.raises(vantrel.ReplayError, match="zero"):
        books(str(path))
    with pytest.raises(vantrel.ReplayError, match="zero"):
        vantrel.market_summaries(str(path))
    with pytest.warns(vantrel.SkippedRecordingWarning, match="zero"):
        assert books(str(path), errors="skip") == []


def test_zero_blocks_inside_a_tar_followed_by_members_are_named(tmp_path):
    text = recording_text()
    first = tar_bytes([("a.json", text)])
    # The end blocks of one archive, then the members of another: cat a.tar b.tar.
    joined = first + tar_bytes([("b.json", text)])
    path = tmp_path / "joined.tar"
    path.write_bytes(joined)
    with pytest.raises(vantrel.ReplayError, match="zero"):
        books(str(path))
    # Named, and the second archive's member still read, as tar --ignore-zeros reads it.
    with pytest.warns(vantrel.SkippedRecordingWarning, match="zero"):
        got = books(str(path), errors="skip")
    alone = [(b.market_id, b.publish_time) for b in books(first)]
    assert [(b.market_id, b.publish_time) for b in got] == alone * 2


@pytest.mark.parametrize("padding", [0, 1, 2, 20])
@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_end_blocks_with_only_zeros_after_end_the_archive(tmp_path, padding, compression):
    text = recording_text()
    members = io.BytesIO()
    with tarfile.open(fileobj=members, mode="w", format=tarfile.GNU_FORMAT) as tar:
        info = tarfile.TarInfo("a.json")
        info.size = len(text)
        tar.addfile(info, io.BytesIO(text))
    # tarfile pads to a record of 10240 bytes; the end may have any count of zero blocks.
    body = members.getvalue().rstrip(b"\0")
    body += bytes(-len(body) % BLOCK) + bytes(BLOCK * padding)
    path = tmp_path / "a.tar"
    path.write_bytes(compress(compression, body))
    assert len(books(str(path))) == len(books(text))


def test_all_zero_file_is_an_empty_archive(tmp_path):
    path = tmp_path / "empty.tar"
    path.write_bytes(bytes(BLOCK * 20))
    assert books(str(path)) == []


# --- definition times ----------------------------------------------------------------------------

def with_market_time(text, market_time, at_line):
    """The recording `text` with the definition of line `at_line` (1-based) given `market_time`."""
    lines = text.decode().splitlines()
    message = json.loads(lines[at_line - 1])
    message["mc"][0]["marketDefinition"]["marketTime"] = market_time
    lines[at_line - 1] = json.dumps(message)
    return ("\n".join(lines) + "\n").encode()


def definition_lines(text):
    return [i for i, line in enumerate(text.decode().splitlines(), 1)
            if "marketDefinition" in line]


UNREADABLE_TIMES = ["2024-05-01", "0000-05-01T13:00:00.000Z", "2024-13-01T13:00:00.000Z",
                    "2024-05-01T13:00:00", "2024-05-01T13:00:00+25:00", "soon"]


@pytest.mark.parametrize("market_time", UNREADABLE_TIMES)
@pytest.mark.parametrize("table", [None, vantrel.market_summaries, vantrel.prices_table])
def test_an_unreadable_definition_time_names_file_member_and_line(tmp_path, market_time, table):
    good = recording_text()
    later = definition_lines(good)[-1]
    bad = with_market_time(good, market_time, later)
    path = tmp_path / "month.tar"
    path.write_bytes(tar_bytes([("a.json", good), ("b.json", bad), ("c.json", good)]))

    def read(**options):
        return books(str(path), **options) if table is None else table(str(path), **options)

    with pytest.raises(vantrel.ReplayError) as info:
        read()
    assert (info.value.file, info.value.member) == (str(path), "b.json")
    assert info.value.reason.startswith(f"line {later}: ") and market_time in info.value.reason
    with pytest.warns(vantrel.SkippedRecordingWarning, match=f"b.json.*line {later}"):
        skipped = read(errors="skip")
    # the rest of the archive is read: what the two good members give alone
    assert len(skipped) == len(books([good, good]) if table is None else table([good, good]))


@pytest.mark.parametrize(("market_time", "utc"), [
    ("2024-05-01T14:00:00+01:00", "2024-05-01T13:00:00"),
    ("2024-05-01T07:30:00.250-05:30", "2024-05-01T13:00:00.250"),
    ("2024-05-01T00:30:00+01:00", "2024-04-30T23:30:00"),
    ("2024-05-01T13:00:00+00:00", "2024-05-01T13:00:00"),
])
def test_a_time_with_an_explicit_offset_reads_as_its_instant(market_time, utc):
    import datetime

    text = recording_text()
    for line in definition_lines(text):
        text = with_market_time(text, market_time, line)
    expected = datetime.datetime.fromisoformat(utc).replace(tzinfo=datetime.timezone.utc)
    replayed = books(text)
    assert {b.market_definition.market_time for b in replayed} == {expected}
    assert books(text, naive_times=True)[0].market_definition.market_time == expected.replace(
        tzinfo=None)
    assert vantrel.market_summaries(text).column("market_time").to_pylist() == [expected]


def test_iter_prices_file_keeps_the_interpreters_reading(tmp_path):
    text = recording_text()
    path = tmp_path / "offset.json"
    path.write_bytes(with_market_time(text, "2024-05-01T14:00:00+01:00", definition_lines(text)[0]))
    with pytest.raises(ValueError, match="does not match format"):
        list(vantrel.iter_prices_file(str(path)))


def test_ctrl_c_while_definition_times_are_converted(tmp_path):
    # Every message carries a definition with an offset time, so every book converts one.
    messages = market_recording("1.100", 3, 400)
    definition = dict(messages[0]["mc"][0]["marketDefinition"], marketTime="2024-05-01T14:00:00+01:00")
    for message in messages:
        message["mc"][0]["marketDefinition"] = definition
    text = "".join(json.dumps(m) + "\n" for m in messages).encode()
    expected = [(b.publish_time, b.market_definition.market_time) for b in books(text)]

    armed = [False]

    def interrupt(signum, frame):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        for step in range(1, 40):
            replay = vantrel.replay(text)
            got = []
            try:
                armed[0] = True
                signal.setitimer(signal.ITIMER_REAL, step * 0.0003)
                for book in replay:
                    got.append((book.publish_time, book.market_definition.market_time))
                armed[0] = False
            except KeyboardInterrupt:
                pass
            signal.setitimer(signal.ITIMER_REAL, 0)
            # usable (the rest follows) or cleanly ended (nothing more): never a wrong book
            got.extend((b.publish_time, b.market_definition.market_time) for b in replay)
            assert got == expected[:len(got)]
    finally:
        signal.signal(signal.SIGALRM, previous)


# --- member names that are not UTF-8 -------------------------------------------------------------

def latin1_tar(path, members, compression="plain"):
    """A tar whose member names are stored in Latin-1, as old tools wrote them."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT, encoding="latin-1") as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    path.write_bytes(compress(compression, out.getvalue()))
    return str(path)


@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_latin1_member_names_read_and_show_as_written(tmp_path, compression):
    good = recording_text()
    names = ["café.json", "naïve.json", "über.json"]
    path = latin1_tar(tmp_path / "old.tar", [(names[0], good), (names[1], b"\x1f\x8b broken"),
                                             (names[2], recording_text("1.200", 2))],
                      compression)
    stored = [m.name.encode("latin-1") for m in tarfile.open(path, encoding="latin-1")]
    assert all(b"\xe9" in n or b"\xef" in n or b"\xfc" in n for n in stored)

    with pytest.raises(vantrel.ReplayError) as info:
        books(path)
    assert info.value.member == names[1]
    str(info.value).encode("utf-8")  # shown without surrogates
    with pytest.warns(vantrel.SkippedRecordingWarning, match="naïve.json"):
        summaries = vantrel.market_summaries(path, errors="skip")
    sources = summaries.column("source").to_pylist()
    assert sources == [f"{path} (member {names[0]})", f"{path} (member {names[2]})"]
    # Each name shown maps back to the bytes the archive stores.
    assert [names[0].encode("latin-1"), names[2].encode("latin-1")] == [stored[0], stored[2]]


def test_latin1_member_names_are_cut_into_groups_under_the_same_names(tmp_path):
    from vantrel._sources import member_groups

    members = [(f"dé{i}.json", recording_text(f"1.{300 + i}", i)) for i in range(4)]
    path = latin1_tar(tmp_path / "old.tar", members)
    groups = member_groups(path, parts=4, floor=0)
    assert [n for g in groups for n in g.members] == [n for n, _ in members]
    assert vantrel.market_summaries(groups).column("source").to_pylist() == \
        vantrel.market_summaries(path).column("source").to_pylist()


def test_a_path_that_is_not_utf8_shows_in_the_source_column(tmp_path):
    name = os.fsdecode(b"r\xe9sultat.json")
    path = os.path.join(str(tmp_path), name)
    with open(path, "wb") as f:
        f.write(recording_text())
    sources = set(vantrel.market_summaries(path).column("source").to_pylist())
    assert sources == {os.path.join(str(tmp_path), "résultat.json")}


# --- a publish time decades off ------------------------------------------------------------------

FLIP = 1 << 41  # about 70 years of milliseconds


def flipped(messages, *where):
    damaged = [dict(m) for m in messages]
    for i in where:
        damaged[i]["pt"] ^= FLIP
        assert damaged[i]["pt"] > messages[i]["pt"]  # into the future
    return "".join(json.dumps(m) + "\n" for m in damaged).encode()


GRID_CHILD = r"""
import ctypes, json, resource, sys, vantrel
# A grid that tried to fill decades would take the machine's memory: here it fails instead
# (not under AddressSanitizer, whose own reservations the limit would stop).
if not hasattr(ctypes.CDLL(None), "__asan_init"):
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
grid = vantrel.prices_table(sys.stdin.buffer.read(), every=int(sys.argv[1]))
print(json.dumps([grid.column("publish_time").cast("int64").to_pylist(),
                  grid.column("selection_id").to_pylist()]))
"""


def grid_points(text, every):
    """(points, selection ids) of prices_table(text, every=every), built under a memory limit."""
    done = subprocess.run([sys.executable, "-c", GRID_CHILD, str(every)], input=text,
                          capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()[-500:]
    return json.loads(done.stdout)


@pytest.mark.parametrize("where", [(100,), (100, 101), (100, 101, 102), (199,), (198, 199)],
                         ids=["middle", "two", "three", "last", "last two"])
@pytest.mark.parametrize("every", [1000, 60_000])
def test_a_publish_time_decades_ahead_does_not_fill_the_grid(where, every):
    messages = market_recording("1.100", 5, 200)
    times = [m["pt"] for m in messages]
    points, runners = grid_points(flipped(messages, *where), every)
    undamaged = vantrel.prices_table("".join(json.dumps(m) + "\n" for m in messages).encode(),
                                     every=every)
    expected = undamaged.column("publish_time").cast(pa.int64()).to_pylist()
    if where != (100,):
        # A time beyond the next message's is out of place; the last one, or one followed by
        # another damaged one, cannot be told from a long gap: the grid goes on past the times
        # before it by their span or 10,000 steps, whichever is longer, and no further.
        before = times[where[0] - 1]
        assert max(points) <= before + max(before - times[0], 10_000 * every)
        assert sorted(set(points))[:len(set(expected)) - 1] == sorted(set(expected))[:-1]
        assert all(p % every == 0 for p in points)
    else:
        assert sorted(set(points)) == sorted(set(expected))
        assert len(points) == undamaged.num_rows == len(set(runners)) * len(set(points))


def test_summaries_keep_the_first_and_last_times_around_a_flipped_one():
    messages = market_recording("1.100", 5, 200)
    summary = vantrel.market_summaries(flipped(messages, 100)).to_pylist()[0]
    first, last = (summary[k].timestamp() * 1000 for k in ("first_publish_time", "last_publish_time"))
    assert (first, last) == (messages[0]["pt"], messages[-1]["pt"])


def test_a_sparse_recording_keeps_its_whole_grid():
    # Two books ten minutes apart: the gap is no damage, however short the span before it.
    messages = market_recording("1.100", 5, 2, step=600_000)
    text = "".join(json.dumps(m) + "\n" for m in messages).encode()
    points = set(vantrel.prices_table(text, every=60_000).column("publish_time")
                 .cast(pa.int64()).to_pylist())
    first = -(-messages[0]["pt"] // 60_000) * 60_000
    assert points == set(range(first, messages[1]["pt"] + 1, 60_000)) and len(points) >= 10


# --- publish times that are not whole milliseconds ----------------------------------------------

PT = re.compile(r'"pt": (\d+)')


def float_forms(n):
    """A whole number of milliseconds as recorders write it in floating point."""
    digits = str(n)
    return {"point": f"{n}.0", "exponent": f"{digits[0]}.{digits[1:]}e{len(digits) - 1}",
            "zeros": f"{n}.000E0"}


def with_times(text, form, every=1):
    """`text` with every `every`-th line's publish time written in the float form `form`."""
    lines = text.decode().splitlines()
    for i in range(0, len(lines), every):
        lines[i] = PT.sub(lambda m: f'"pt": {float_forms(int(m[1]))[form]}', lines[i], count=1)
    return ("\n".join(lines) + "\n").encode()


def book_views(source):
    return [(b.publish_time, b.to_dict()) for b in vantrel.replay(source)]


@pytest.mark.parametrize("form", ["point", "exponent", "zeros"])
@pytest.mark.parametrize("every", [1, 3])
def test_whole_times_written_as_floats_read_as_their_numbers(form, every):
    text = recording_text(seed=4)
    floats = with_times(text, form, every)
    assert floats != text
    assert book_views(floats) == book_views(text)
    for table in (vantrel.market_summaries, vantrel.prices_table, vantrel.trades_table):
        assert table_rows(table(floats)) == table_rows(table(text))


def test_a_recording_with_float_times_gives_every_book():
    path = DATA / "SELF-1.181223995.gz"
    if not path.exists():
        pytest.skip("the recorded market files are not here")
    text = gzip.decompress(path.read_bytes())
    floats = with_times(text, "point")
    assert not re.search(rb'"pt": \d+,', floats)  # every line's time is a float
    got, expected = book_views(floats), book_views(text)
    assert len(got) == len(expected) > 0 and got == expected
    assert table_rows(vantrel.market_summaries(floats)) == table_rows(vantrel.market_summaries(text))


def with_time(text, at_line, literal):
    """`text` with the publish time of line `at_line` (1-based) written as `literal`, or taken
    out when it is None."""
    lines = text.decode().splitlines()
    number = PT.search(lines[at_line - 1])[1]
    if literal is None:
        lines[at_line - 1] = lines[at_line - 1].replace(f'"pt": {number}, ', "")
    else:
        lines[at_line - 1] = lines[at_line - 1].replace(f'"pt": {number}', f'"pt": {literal}')
    return ("\n".join(lines) + "\n").encode()


LAST_MS = 253_402_300_799_999  # 9999-12-31T23:59:59.999Z


# The reason after "line N: ", for each time a message may not carry.
@pytest.mark.parametrize(("literal", "reason"), [
    ("0", "publish time 0 is not a positive whole number of milliseconds"),
    ("-1714568400000", "publish time -1714568400000 is not a positive whole number of milliseconds"),
    ("-0.0", "publish time -0 is not a positive whole number of milliseconds"),
    ("1714568400000.5", "publish time 1714568400000.5 is not a positive whole number of milliseconds"),
    ('"1714568400000"', 'publish time "1714568400000" is not a positive whole number of milliseconds'),
    ("null", "publish time null is not a positive whole number of milliseconds"),
    ("[1714568400000]", "publish time [...] is not a positive whole number of milliseconds"),
    (str(LAST_MS + 1), f"publish time {LAST_MS + 1} is past the year 9999, the last a datetime holds"),
    ("2.534023008e14", f"publish time {LAST_MS + 1} is past the year 9999, the last a datetime holds"),
    ("18446744073709551615", "publish time 18446744073709551616 is past the year 9999, the last a "
                             "datetime holds"),  # read as the double nearest it
    (None, 'message has no publish time ("pt")'),
])
@pytest.mark.parametrize("table", [None, vantrel.market_summaries, vantrel.prices_table,
                                   vantrel.trades_table])
def test_a_time_that_is_not_whole_milliseconds_names_its_line(tmp_path, literal, reason, table):
    good = recording_text()
    at_line = len(good.splitlines()) // 2
    bad = with_time(good, at_line, literal)
    path = tmp_path / "month.tar"
    path.write_bytes(tar_bytes([("a.json", good), ("b.json", bad), ("c.json", good)]))

    def read(source, **options):
        return books(source, **options) if table is None else table(source, **options)

    with pytest.raises(vantrel.ReplayError) as info:
        read(str(path))
    assert (info.value.member, info.value.reason) == ("b.json", f"line {at_line}: {reason}")
    if table is None:  # no book of the recording comes out before it fails
        with pytest.raises(vantrel.ReplayError):
            next(vantrel.replay(bad))
    with pytest.warns(vantrel.SkippedRecordingWarning) as caught:
        skipped = read(str(path), errors="skip")
    assert [str(w.message) for w in caught] == [f"skipped {path} (member b.json): line {at_line}: {reason}"]
    # the rest of the archive is read: what the two good members give alone
    assert len(skipped) == len(read([good, good]))


# --- a damaged first block ---------------------------------------------------------------------

def _three_members():
    return [(f"PRO/{n}/1.90000000{n}.json", recording_text()) for n in range(3)]


@pytest.mark.parametrize("damage", ["flip", "zero"])
@pytest.mark.parametrize("container", ["tar", "zip"])
def test_a_damaged_first_block_loses_the_first_member_only(tmp_path, container, damage):
    from tools.recordings.archives import zip_bytes

    members = _three_members()
    data = bytearray(tar_bytes(members) if container == "tar" else zip_bytes(members))
    if damage == "flip":
        data[300] ^= 0x10  # in the first header, away from the tar magic and the zip signature
    else:
        data[:BLOCK] = bytes(BLOCK)
    path = tmp_path / f"damaged.{container}"
    path.write_bytes(bytes(data))
    with pytest.warns(vantrel.SkippedRecordingWarning):
        rows = vantrel.market_summaries(str(path), errors="skip").to_pylist()
    got = [row["source"].split("(member ")[-1].rstrip(")") for row in rows]
    kept = [name for name, _ in members[1:]]
    assert got[-2:] == kept


# --- bytes after the compressed data -------------------------------------------------------------

JUNK = b"not another stream"


def _containers(compression, tail):
    """The same recording stored four ways, `tail` after its compressed data: alone, as a tar
    member and a stored zip member (the tail inside the member's own bytes), and a whole tar
    compressed with the tail after it. Gives {name: (bytes, member or None)}."""
    from tools.recordings.archives import zip_bytes

    stream = compress(compression, recording_text())
    return {
        "file": (stream + tail, None),
        "tar member": (tar_bytes([("a/1.100.x", stream + tail)]), "a/1.100.x"),
        "zip member": (zip_bytes([("a/1.100.x", stream + tail)], "stored"), "a/1.100.x"),
        "compressed tar": (compress(compression, tar_bytes([("a/1.100", recording_text())]))
                           + tail, None),
    }, len(stream)


def _book_keys(found):
    return [(book.market_id, book.publish_time) for book in found]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("container", ["file", "tar member", "zip member", "compressed tar"])
@pytest.mark.parametrize("compression", ["gzip", "bzip2"])
@pytest.mark.parametrize("tail", [JUNK, bytes(300) + JUNK, b"\x01"], ids=["junk", "zeros-junk", "byte"])
def test_bytes_after_the_data_are_named_and_read_up_to(tmp_path, compression, container, tail,
                                                       threads):
    made, _ = _containers(compression, b"")
    clean = _book_keys(books(made[container][0]))
    made, stream_size = _containers(compression, tail)
    data, member = made[container]
    path = tmp_path / "trailing"
    path.write_bytes(data)
    # the whole tar's compressed data ends where its size does
    at = stream_size if container != "compressed tar" else len(data) - len(tail)
    reason = f"bytes after the end of the {compression} data, from byte {at}"
    with pytest.raises(vantrel.ReplayError) as caught:
        books(str(path), threads=threads)
    assert (caught.value.reason, caught.value.member) == (reason, member)
    with pytest.warns(vantrel.TrailingBytesWarning, match=reason + ": read up to them"):
        assert _book_keys(books(str(path), errors="skip", threads=threads)) == clean
    with pytest.warns(vantrel.TrailingBytesWarning, match=reason):
        assert vantrel.market_summaries(str(path), errors="skip").num_rows == 1


@pytest.mark.parametrize("container", ["file", "tar member", "zip member", "compressed tar"])
@pytest.mark.parametrize("compression", ["gzip", "bzip2"])
@pytest.mark.parametrize("tail", ["zeros", "another stream"])
def test_zero_padding_and_further_streams_read_without_a_word(tmp_path, compression, container,
                                                              tail):
    made, _ = _containers(compression, b"")
    once = _book_keys(books(made[container][0]))
    # gzip(1) passes zeros after the last member over in silence; parallel compressors and
    # recorders that resume write one stream after another (a tar's going on with its padding)
    whole_tar = container == "compressed tar"
    more = bytes(BLOCK * 2) if whole_tar else recording_text()
    after = bytes(5000) if tail == "zeros" else compress(compression, more)
    made, _ = _containers(compression, after)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = _book_keys(books(made[container][0]))
    assert got == (once if tail == "zeros" or whole_tar else once * 2)
