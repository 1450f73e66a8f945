"""The recording generator the tests, the benchmarks and the fuzzing seeds share
(tools/recordings): a fault here would leave tests passing on recordings that no longer hold
what they are meant to."""

import bz2
import gzip
import json
import re
import subprocess
import sys
import tarfile
from collections import defaultdict
from pathlib import Path

import pytest

import vantrel
from helpers.recordings import replayed
from tools import recordings
from tools.recordings import archives

ROOT = Path(__file__).resolve().parents[1]
MEMBER = re.compile(r"PRO/2024/May/\d{1,2}/(\d{8})/(1\.\d{9})\.bz2$")
DEFINITION_KEYS = {"eventId", "eventTypeId", "marketType", "countryCode", "bettingType",
                   "bspMarket", "turnInPlayEnabled", "marketTime", "openDate", "name",
                   "eventName", "runners"}
SIZES = (20_000, 200_000)


@pytest.fixture(scope="module")
def official(tmp_path_factory):
    events = archives.official_events(5, football=1, meetings=1, races=(2, 2), sizes=SIZES)
    path = archives.official_tar(tmp_path_factory.mktemp("official") / "month.tar", events)
    return events, path


def test_official_tar_holds_one_bzip2_market_per_member_under_its_event(official):
    events, path = official
    planned = {plan.market_id: event.event_id for event in events for plan in event.markets}
    seen = {}
    with tarfile.open(path) as tar:
        for member in tar:
            if member.isdir():
                continue
            found = MEMBER.match(member.name)
            assert found, member.name
            event_id, market_id = found.groups()
            lines = bz2.decompress(tar.extractfile(member).read()).decode().splitlines()
            first = json.loads(lines[0])["mc"][0]
            definition = first["marketDefinition"]
            assert first["id"] == market_id and first.get("img") is True
            assert DEFINITION_KEYS <= set(definition) and definition["eventId"] == event_id
            assert all(r.get("name") for r in definition["runners"])
            if definition["eventTypeId"] == "7":
                assert {"venue", "raceType"} <= set(definition)
            assert {json.loads(line)["mc"][0]["id"] for line in lines} == {market_id}
            seen[market_id] = event_id
    assert seen == planned


def test_official_tar_replays_to_the_markets_of_its_events(official):
    events, path = official
    last = {}
    for book in vantrel.replay(path):
        last[book.market_id] = book
    types = defaultdict(list)
    for event in events:
        for plan in event.markets:
            book = last[plan.market_id]
            assert book.status == "CLOSED"
            assert book.market_definition.event_id == event.event_id
            types[book.market_definition.event_type_id].append(
                (book.market_definition.market_type, book.market_definition.betting_type))
    football, racing = types["1"], types["7"]
    assert len(football) >= 25 and len(set(football)) == len(football)
    assert {("MATCH_ODDS", "ODDS"), ("OVER_UNDER_25", "ODDS"), ("CORRECT_SCORE", "ODDS"),
            ("ASIAN_HANDICAP", "ASIAN_HANDICAP_DOUBLE_LINE")} <= set(football)
    assert sorted(racing) == [("PLACE", "ODDS")] * 2 + [("WIN", "ODDS")] * 2


def test_a_race_s_win_and_place_markets_share_their_runners(official):
    events, _ = official
    [meeting] = [e for e in events if e.markets[0].shape.kind == "race"]
    for win, place in zip(meeting.markets[::2], meeting.markets[1::2]):
        first = [json.loads(plan.text().split(b"\n", 1)[0])["mc"][0]["marketDefinition"]
                 for plan in (win, place)]
        assert [(r["id"], r["name"]) for r in first[0]["runners"]] == [
            (r["id"], r["name"]) for r in first[1]["runners"]]
        assert first[0]["numberOfWinners"] == 1 < first[1]["numberOfWinners"]


def test_member_sizes_spread_over_the_range_asked_for():
    events = archives.official_events(6, football=1, meetings=1, sizes=SIZES)
    sizes = [len(plan.text()) for event in events for plan in event.markets]
    # A recording grows until it passes its size, then closes its market.
    assert min(sizes) >= SIZES[0] and max(sizes) <= SIZES[1] * 1.2
    assert max(sizes) > 4 * min(sizes)


def test_the_same_seed_gives_the_same_bytes(tmp_path):
    events = archives.official_events(7, football=1, meetings=1, sizes=(5_000, 20_000))
    one = archives.official_tar(tmp_path / "one.tar", events, event_files=True)
    two = archives.official_tar(tmp_path / "two.tar",
                                archives.official_events(7, football=1, meetings=1,
                                                         sizes=(5_000, 20_000)),
                                event_files=True)
    assert Path(one).read_bytes() == Path(two).read_bytes()
    assert (list(recordings.iter_lines("deep20", messages=50, seed=1))
            != list(recordings.iter_lines("deep20", messages=50, seed=2)))


def test_the_shipped_sample_is_the_generator_s():
    shipped = gzip.decompress((ROOT / "examples" / "1.234567890.gz").read_bytes())
    assert shipped == "".join(recordings.iter_lines("sample")).encode()


@pytest.mark.parametrize("ladders, keys, absent", [
    ("full", {"atb", "atl", "trd"}, {"batb", "bdatb"}),
    ("basic", {"ltp", "tv"}, {"atb", "atl", "trd", "batb", "bdatb"}),
    ("display", {"batb", "batl", "bdatb", "bdatl", "trd"}, {"atb", "atl"}),
    ("mixed", {"atb", "atl", "batb", "batl", "bdatb", "bdatl", "trd"}, set()),
])
def test_runner_changes_carry_the_keys_of_their_ladders(ladders, keys, absent):
    lines = recordings.messages("deep20", messages=200, runners=6, ladders=ladders)
    used = {key for line in lines for change in line["mc"] for rc in change.get("rc", ())
            for key in rc}
    assert keys <= used and not absent & used
    books = list(vantrel.replay("".join(json.dumps(m) + "\n" for m in lines).encode()))
    prices = [r.ex.available_to_back for b in books for r in b.runners]
    assert any(prices) == (ladders != "basic")
    assert any(r.last_price_traded for b in books for r in b.runners)


def test_a_self_recorded_file_replays_as_the_official_one(tmp_path):
    lines = list(recordings.iter_lines("sample", messages=80, seed=3))
    official = recordings.write(tmp_path / "official.json", lines)
    own = recordings.write(tmp_path / "own.json.gz", lines, style="self")
    text = gzip.decompress(Path(own).read_bytes()).decode().splitlines()
    assert all(line.startswith('{"op": "mcm", "clk": null, "pt": ') for line in text)
    assert replayed(own) == replayed(official)


def test_the_benchmarks_command_line_writes_a_recording(tmp_path):
    out = tmp_path / "1.200000009.gz"
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "gen_stream.py"), "--shape",
                           "inplay2", "--messages", "300", "--seed", "4", "--out", str(out)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "messages=300" in done.stdout
    books = list(vantrel.replay(str(out)))
    assert len(books) == 300 and {b.market_id for b in books} == {"1.200000009"}
