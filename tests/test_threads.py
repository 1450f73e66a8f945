"""Recordings loaded side by side (`threads=`) give what one at a time gives: the same rows and
books in the same order, the same errors in the same order, whatever the source is made of."""

import bz2
import gzip
import json
import math
import subprocess
import sys
import warnings
import zipfile

import pytest

import vantrel
from helpers.recordings import market_recording
from tools.recordings.archives import TarWriter

pa = pytest.importorskip("pyarrow")

TYPES = ["MATCH_ODDS", "WIN", "PLACE", "OVER_UNDER_25"]


def text(market_id, market_type, count):
    lines = market_recording(market_id, seed=int(market_id[2:]), count=count,
                             market_type=market_type, event_id="29")
    return "".join(json.dumps(line) + "\n" for line in lines).encode()


def members():
    """The exchange's layout, sizes spread, with members that fail in each way a member can."""
    out = []
    for i in range(14):
        market_id = f"1.{700 + i}"
        data = bz2.compress(text(market_id, TYPES[i % len(TYPES)], 40 + 60 * (i % 5)), 1)
        if i == 3:
            data = data[: len(data) // 2]  # cut short
        if i == 6:
            data = bz2.compress(b'{"op":"ocm","pt":1}\n')  # not market data
        if i == 9:
            data = b"\x00\x01 neither text nor compressed"
        out.append((f"PRO/2024/May/1/29/{market_id}.bz2", data))
    out.append(("PRO/2024/May/1/29/29.bz2", bz2.compress(text("1.799", "WIN", 80))))
    return out


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    folder = tmp_path_factory.mktemp("threads")
    parts = members()
    tar = folder / "month.tar"
    with TarWriter(tar) as writer:
        for name, data in parts:
            writer.add(name, data)
    whole = tar.read_bytes()
    (folder / "month.tar.gz").write_bytes(gzip.compress(whole, 1))
    # Cut within a header, within data, within the last member's data, within the end blocks.
    cuts = [len(whole) * 3 // 5, len(whole) * 4 // 5 + 100, len(whole) - 1024 - 700,
            len(whole) - 1024 - 10, len(whole) - 300]
    for i, cut in enumerate(cuts):
        (folder / f"cut{i}.tar").write_bytes(whole[:cut])
    cut_tars = [str(folder / f"cut{i}.tar") for i in range(len(cuts))]
    with zipfile.ZipFile(folder / "month.zip", "w", zipfile.ZIP_STORED) as z:
        for name, data in parts:
            z.writestr(name, data)
    lone = []
    for name, data in parts[:5]:
        path = folder / name.rsplit("/", 1)[1]
        path.write_bytes(data)
        lone.append(str(path))
    return {
        "tar": [str(tar)],
        "zip": [str(folder / "month.zip")],
        "tar.gz": [str(folder / "month.tar.gz")],
        "lone files": lone,
        "cut tar": [*cut_tars, str(tar)],
        "mixed": [str(tar), whole, str(folder / "missing.bz2"), str(folder / "month.zip"),
                  *lone, cut_tars[0], str(tar)],
    }


def rows(table):
    """The table's rows, NaN made comparable."""
    return [tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in row.values())
            for row in table.to_pylist()]


def skipping(build):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = build()
    return result, [str(w.message) for w in caught
                    if issubclass(w.category, vantrel.SkippedRecordingWarning)]


FILTERS = [{}, {"market_types": ["MATCH_ODDS"]}, {"markets": ["1.701", "1.712", "1.799"]}]


@pytest.mark.parametrize("kind", ["tar", "zip", "tar.gz", "lone files", "cut tar", "mixed"])
@pytest.mark.parametrize("function", ["prices_table", "trades_table", "market_summaries",
                                      "runner_summaries", "catalogue"])
def test_tables_are_the_same_whatever_the_threads(sources, kind, function):
    build = getattr(vantrel, function)
    for keys in FILTERS:
        one, one_skipped = skipping(lambda: build(sources[kind], errors="skip", threads=1,
                                                  **keys))
        assert one_skipped or keys  # a filter may pass the damaged members over unread
        for threads in (2, 3, 4):
            many, many_skipped = skipping(lambda: build(sources[kind], errors="skip",
                                                        threads=threads, **keys))
            assert many.schema == one.schema
            assert rows(many) == rows(one), (threads, keys)
            assert many_skipped == one_skipped, (threads, keys)


@pytest.mark.parametrize("kind", ["tar", "zip", "mixed"])
def test_the_first_error_raised_is_the_same(sources, kind):
    with pytest.raises(vantrel.ReplayError) as one:
        vantrel.market_summaries(sources[kind], threads=1)
    for threads in (2, 4):
        with pytest.raises(vantrel.ReplayError) as many:
            vantrel.market_summaries(sources[kind], threads=threads)
        assert str(many.value) == str(one.value)
        assert (many.value.file, many.value.member) == (one.value.file, one.value.member)


def books(source, threads, **keys):
    return [(b.market_id, b.publish_time_epoch, b.total_matched, len(b.runners))
            for b in vantrel.replay(source, errors="skip", threads=threads, **keys)]


@pytest.mark.parametrize("kind", ["tar", "zip", "mixed"])
def test_replay_reads_ahead_on_threads_with_the_same_books(sources, kind):
    for keys in FILTERS[:2]:
        one, one_skipped = skipping(lambda: books(sources[kind], 1, **keys))
        many, many_skipped = skipping(lambda: books(sources[kind], 3, **keys))
        assert many == one
        assert many_skipped == one_skipped


@pytest.mark.parametrize("threads, error", [
    ("2", TypeError), (2.0, TypeError), (True, TypeError), (0, ValueError), (-3, ValueError),
])
@pytest.mark.parametrize("function", ["replay", "prices_table", "trades_table",
                                      "market_summaries", "runner_summaries", "catalogue"])
def test_a_wrong_thread_count_is_refused_before_anything_is_read(tmp_path, function, threads,
                                                                  error):
    with pytest.raises(error, match="threads"):
        getattr(vantrel, function)(str(tmp_path / "missing.bz2"), threads=threads)


def test_threads_none_is_every_core_this_process_may_use(sources):
    one, _ = skipping(lambda: vantrel.trades_table(sources["tar"], errors="skip", threads=1))
    default, _ = skipping(lambda: vantrel.trades_table(sources["tar"], errors="skip"))
    assert rows(default) == rows(one)


@pytest.mark.parametrize("threads", ["1", "3"])
def test_export_threads_flag_gives_the_same_file(sources, tmp_path, threads):
    out = tmp_path / "prices.arrow"
    done = subprocess.run(
        [sys.executable, "-m", "vantrel", "export", *sources["mixed"][:1], "-o", str(out),
         "--jobs", "1", "--threads", threads, "--errors", "skip", "-q"],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    expected, _ = skipping(lambda: vantrel.prices_table(sources["mixed"][:1], errors="skip",
                                                        threads=1))
    with pa.ipc.open_file(out) as reader:
        assert rows(reader.read_all()) == rows(expected)
    assert "1.703.bz2" in done.stderr  # the skipped member is listed


def test_export_refuses_a_thread_count_below_one(sources, tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "vantrel", "export", *sources["tar"], "-o",
         str(tmp_path / "x.arrow"), "--threads", "0"], capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    assert "--threads" in done.stderr
