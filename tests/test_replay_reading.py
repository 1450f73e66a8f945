"""What vantrel.replay says of what it was given: streams that are no market data, files that are
no recordings, a byte-order mark, the operating system's errors, and the many ways of naming
sources (globs, iterables, URLs)."""

import errno
import json
import pickle
import re
import sys
import warnings
from pathlib import Path

import pytest

import vantrel
from tools.recordings.archives import compress, tar_bytes
from helpers.recordings import race, replayed

FIRST = race("1.100000001", seed=1)
SECOND = race("1.100000002", runners=6, seed=2)

OTHER_STREAMS = {
    "race": ({"op": "rcm", "id": 2, "clk": "AAA", "pt": 1_714_568_400_000,
              "rc": [{"id": "30181542.1320", "rpc": {"ft": 1_714_568_400_000, "g": 1}}]},
             'a race stream (op "rcm")'),
    "cricket": ({"op": "ccm", "id": 2, "clk": "AAA", "pt": 1_714_568_400_000,
                 "cc": [{"eventId": 32980371, "marketId": "1.1"}]},
                'a cricket or sports-data stream (op "ccm")'),
    "orders": ({"op": "ocm", "id": 2, "clk": "AAA", "pt": 1_714_568_400_000,
                "oc": [{"id": "1.1", "orc": []}]},
               'an order stream (op "ocm")'),
}


def lines(*messages):
    return "".join(json.dumps(m) + "\n" for m in messages).encode()


CONNECTION = {"op": "connection", "connectionId": "002-051134157842-432409"}
STATUS = {"op": "status", "id": 1, "statusCode": "SUCCESS", "connectionClosed": False}


@pytest.mark.parametrize("head", [(), (CONNECTION, STATUS)], ids=["first", "after status"])
@pytest.mark.parametrize("line, name", OTHER_STREAMS.values(), ids=OTHER_STREAMS.keys())
def test_a_stream_that_is_no_market_data_is_named(line, name, head):
    data = lines(*head, line, line)
    with pytest.raises(vantrel.ReplayError) as raised:
        list(vantrel.replay([FIRST, data]))
    assert raised.value.reason == f"{name}, not market data"
    with pytest.warns(vantrel.SkippedRecordingWarning, match=re.escape(name)):
        books = replayed([data, FIRST], errors="skip")
    assert books == replayed(FIRST)


def test_a_market_stream_is_read_whatever_follows_its_first_message():
    # Only what a recording starts with decides: later lines of another op are no reason.
    other = OTHER_STREAMS["orders"][0]
    assert replayed(lines(CONNECTION, STATUS) + FIRST + lines(other)) == replayed(FIRST)


@pytest.mark.parametrize("kind", ["plain", "gzip", "bzip2"])
def test_a_byte_order_mark_is_read_past(kind):
    marked = compress(kind, b"\xef\xbb\xbf" + FIRST)
    assert replayed(marked) == replayed(FIRST)
    assert replayed(tar_bytes([("a.json", b"\xef\xbb\xbf" + SECOND)])) == replayed(SECOND)


FOREIGN = {
    "lz4": (b"\x04\x22\x4d\x18\x64\x40\xa7" + bytes(range(60)), "lz4 data"),
    "legacy lzma": (b"\x5d\x00\x00\x80\x00" + b"\xff" * 8 + bytes(range(40)),
                    "lzma (legacy .lzma) data"),
    "parquet": (b"PAR1\x15\x04\x15\x10\x15\x14L\x15\x02" + bytes(40), "Parquet data"),
    "7z": (b"7z\xbc\xaf\x27\x1c\x00\x04" + bytes(range(40)), "7-Zip data"),
    "binary": (bytes(range(256)) * 4, "neither text nor a supported compression"),
}


@pytest.mark.parametrize("data, name", FOREIGN.values(), ids=FOREIGN.keys())
def test_a_file_that_is_no_recording_is_named(tmp_path, data, name):
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    with pytest.raises(vantrel.ReplayError) as raised:
        list(vantrel.replay(path))
    assert raised.value.reason.startswith(f"not a recording: {name} (recordings are plain text")
    with pytest.raises(vantrel.ReplayError, match=re.escape(f"(member x.bin): not a recording: {name}")):
        list(vantrel.replay(tar_bytes([("x.bin", data)])))


def test_text_with_bad_utf8_is_still_told_so():
    # Not binary: no control byte. The line reader's own error stays the one given.
    with pytest.raises(vantrel.ReplayError, match="valid UTF-8"):
        list(vantrel.replay(FIRST[:100].replace(b"{", b"\xe9", 1)))


@pytest.mark.parametrize("make, kind, code", [
    (lambda tmp: tmp / "missing.json", FileNotFoundError, errno.ENOENT),
    (lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
    (lambda tmp: str(tmp / "nothing-*.json"), FileNotFoundError, errno.ENOENT),
], ids=["missing", "a directory member", "a glob matching nothing"])
def test_the_operating_systems_error_is_reachable(tmp_path, make, kind, code):
    source = make(tmp_path)
    if kind is IsADirectoryError:
        # A directory is walked; a directory handed to the engine as a file is not.
        (tmp_path / "sub").mkdir()
        source = tmp_path / "sub"
        from vantrel import _engine
        on_error = vantrel._replay._raise
        with pytest.raises(kind) as raised:
            list(_engine.replay([(str(source), str(source))], on_error))
    else:
        with pytest.raises(kind) as raised:
            list(vantrel.replay(source))
    error = raised.value
    assert isinstance(error, vantrel.ReplayError) and isinstance(error, ValueError)
    assert error.errno == code and error.filename == str(source)
    assert str(error) == f"{source}: {error.reason}" and error.reason.endswith(f"(os error {code})")
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is type(error) and str(again) == str(error)


def test_errors_that_are_not_the_systems_are_no_os_errors():
    with pytest.raises(vantrel.ReplayError) as raised:
        list(vantrel.replay(b"{"))
    assert not isinstance(raised.value, OSError)


def test_globs_and_iterables_are_expanded_in_order(tmp_path):
    for name, data in [("b.json", SECOND), ("a.json", FIRST), (".hidden.json", FIRST)]:
        (tmp_path / "day").mkdir(exist_ok=True)
        (tmp_path / "day" / name).write_bytes(data)
    expected = replayed(FIRST) + replayed(SECOND)
    assert replayed(str(tmp_path / "day" / "*.json")) == expected
    assert replayed(str(tmp_path / "**" / "*.json")) == expected
    assert replayed(sorted((tmp_path / "day").glob("[ab].json"))) == expected
    assert replayed(iter([FIRST, SECOND])) == expected
    assert replayed(x for x in (FIRST, SECOND)) == expected


def test_a_name_with_glob_characters_that_exists_is_read_as_it_is(tmp_path):
    path = tmp_path / "odd[1].json"
    path.write_bytes(FIRST)
    assert replayed(str(path)) == replayed(FIRST)


def test_a_set_of_sources_is_refused():
    with pytest.raises(TypeError, match="not set: sort it first"):
        vantrel.replay({"a.json", "b.json"})


def test_a_url_opens_through_fsspec():
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    fs.pipe({"/vantrel-test/a.json": FIRST, "/vantrel-test/b.json.gz": compress("gzip", SECOND)})
    try:
        books = replayed("memory://vantrel-test/", storage_options={})
        assert books == replayed(FIRST) + replayed(SECOND)
        assert replayed("memory://vantrel-test/*.gz") == replayed(SECOND)
        with pytest.raises(FileNotFoundError, match="memory://vantrel-test/none"):
            list(vantrel.replay("memory://vantrel-test/none*"))
    finally:
        fs.rm("/vantrel-test", recursive=True)


def test_a_url_without_fsspec_says_to_install_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(ImportError, match="pip install fsspec"):
        vantrel.replay("s3://bucket/recordings/")


def test_tables_take_the_same_sources(tmp_path):
    pytest.importorskip("pyarrow")
    (tmp_path / "a.json").write_bytes(FIRST)
    table = vantrel.market_summaries(Path(tmp_path).glob("*.json"))
    assert table.column("market_id").to_pylist() == ["1.100000001"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(FileNotFoundError):
            vantrel.trades_table(str(tmp_path / "missing.json"))
