"""The archive benchmark's inputs: a fault here would skew its figures without failing it."""

import re
import sys
import tarfile
from collections import Counter
from pathlib import Path

import pytest

import vantrel

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import bench_sources  # noqa: E402
import workloads  # noqa: E402
from tools import recordings  # noqa: E402

TINY = bench_sources.Scale(meetings=1, races=(1, 1), race_messages=(60, 90), matches=1,
                           match_markets=2, match_messages=(80, 80), memory_bytes=1_500_000,
                           largest_bytes=300_000)
OFFICIAL_NAME = re.compile(r"PRO/2024/[A-Z][a-z]{2}/\d{1,2}/\d{8}/(1\.\d{9}|\d{8})$")


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    bench_sources.SOURCES = tmp_path_factory.mktemp("sources")
    return bench_sources.build_inputs(TINY, seed=7, label="tiny")


def books(source) -> list[tuple[str, object]]:
    # as the benchmark reads them: every file whole, event files included
    return [(b.market_id, b.publish_time) for b in vantrel.replay(source, event_files="all")]


def test_every_tar_replays_to_the_books_of_the_plain_recordings(inputs):
    plain = books(inputs.plain)
    assert len(plain) == inputs.meta["plain_messages"]
    for codec, tar in inputs.tars.items():
        assert books(tar) == plain, codec


@pytest.mark.parametrize("codec", bench_sources.CODECS)
def test_python_floor_decompresses_every_member_in_full(inputs, codec):
    work, info = workloads.members_floor(codec, "members", str(inputs.tars[codec]))
    work()
    assert info == {"members": inputs.meta["recordings"], "uncompressed": inputs.meta["plain_bytes"]}


def test_tar_layout_is_the_exchange_s(inputs):
    with tarfile.open(inputs.tars["bz2"]) as tar:
        entries = list(tar)
    folders = set()
    for entry in entries:
        if entry.isdir():
            folders.add(entry.name)
            continue
        name = entry.name.removesuffix(".bz2")
        assert entry.name.endswith(".bz2") and OFFICIAL_NAME.match(name), entry.name
        assert name.rsplit("/", 1)[0] in folders, "folder entered after its member"


def test_event_file_interleaves_its_markets_by_publish_time(inputs):
    for event in bench_sources.plan_events(TINY, seed=7):
        folder = inputs.plain / event.folder
        merged = (folder / event.event_id).read_bytes().splitlines()
        times = [recordings.publish_time(line) for line in merged]
        assert times == sorted(times) and len(event.markets) > 1
        parts = Counter()
        for market in event.markets:
            parts.update((folder / market.market_id).read_bytes().splitlines())
        assert Counter(merged) == parts


def test_memory_archive_holds_what_its_sizes_say(inputs):
    with tarfile.open(inputs.memory) as tar:
        sizes = [m.size for m in tar if m.isfile()]
    assert sum(sizes) == inputs.meta["memory_bytes"] >= TINY.memory_bytes
    assert len(sizes) == inputs.meta["memory_members"]
    assert max(sizes) == inputs.meta["largest_bytes"] == inputs.largest.stat().st_size


def test_inputs_are_reused_while_nothing_changed(inputs):
    stamps = {p: p.stat().st_mtime_ns for p in [inputs.memory, *inputs.tars.values()]}
    again = bench_sources.build_inputs(TINY, seed=7, label="tiny")
    assert again.meta == inputs.meta
    assert {p: p.stat().st_mtime_ns for p in stamps} == stamps


def test_peer_reads_every_market_of_the_archive(inputs):
    pytest.importorskip("betfairlightweight")
    markets = {market_id for market_id, _ in books(inputs.plain)}
    work, info = workloads.peer_work(True, "archive", str(inputs.tars["bz2"]))
    seen = set()
    real_len = len

    # The driver counts books per line; catching the lists shows which markets came out.
    def spy(market_books):
        seen.update(b["marketId"] for b in market_books)
        return real_len(market_books)

    workloads.len = spy
    try:
        work()
    finally:
        del workloads.len
    assert seen == markets
    assert info["books"] >= inputs.meta["plain_messages"]
