"""vantrel.prices_table against a plain loop over vantrel.replay and against betfairutil."""

import datetime
import json
import pathlib
import sys

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from helpers import table_reference
from helpers.recordings import write_event
from helpers.table_reference import table_rows


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Three recordings of several markets each; the last re-images a market part way."""
    folder = tmp_path_factory.mktemp("tables")
    return [
        write_event(folder / "a.json", 1, markets=3),
        write_event(folder / "b.json.gz", 2, markets=2, messages=160),
        write_event(folder / "c.json", 3, markets=3, peer_safe=False),
    ]


@pytest.mark.parametrize("depth", [1, 3, 7])
@pytest.mark.parametrize("inplay", [None, True, False])
@pytest.mark.parametrize("changed_only", [False, True])
def test_best_matches_replay_loop(recordings, depth, inplay, changed_only):
    for path in recordings:
        table = vantrel.prices_table(path, depth=depth, inplay=inplay, changed_only=changed_only)
        expected = table_reference.prices_best(path, depth, inplay, changed_only)
        assert table_rows(table) == [{k: table_reference.plain(v) for k, v in r.items()}
                                     for r in expected]


def test_changed_only_keeps_fewer_rows_but_every_change(recordings):
    path = recordings[0]
    every = vantrel.prices_table(path)
    changed = vantrel.prices_table(path, changed_only=True)
    assert 0 < changed.num_rows < every.num_rows


@pytest.mark.parametrize("every", [1000, 7_777, datetime.timedelta(seconds=30)])
def test_grid_matches_replay_loop(recordings, every):
    step = every if isinstance(every, int) else 30_000
    for path in recordings:
        table = vantrel.prices_table(path, every=every, depth=2)
        expected = table_reference.prices_grid(path, step, depth=2)
        assert table_rows(table) == [{k: table_reference.plain(v) for k, v in r.items()}
                                     for r in expected]
        times = table.column("publish_time").cast(pa.int64()).to_pylist()
        assert all(t % step == 0 for t in times)


def _two_books(first_pt: int, last_pt: int) -> bytes:
    definition = {"status": "OPEN", "inPlay": False,
                  "runners": [{"id": 1, "sortPriority": 1, "status": "ACTIVE"}]}
    lines = [
        {"op": "mcm", "clk": "1", "pt": first_pt,
         "mc": [{"id": "1.1", "img": True, "marketDefinition": definition,
                 "rc": [{"id": 1, "ltp": 2.0}]}]},
        {"op": "mcm", "clk": "2", "pt": last_pt, "mc": [{"id": "1.1", "rc": [{"id": 1, "ltp": 3.0}]}]},
    ]
    return "".join(json.dumps(line) + "\n" for line in lines).encode()


LAST_MS = 253_402_300_799_999  # 9999-12-31T23:59:59.999Z, the last a datetime holds


@pytest.mark.parametrize("first_pt, points", [
    (LAST_MS - 1500, [LAST_MS - 999]),  # the point after it is past the largest time
    (LAST_MS - 5, []),                  # so is the first one
])
def test_grid_ends_at_the_largest_time(first_pt, points):
    table = vantrel.prices_table(_two_books(first_pt, LAST_MS), every=1000, form="ltp")
    assert table.column("publish_time").cast(pa.int64()).to_pylist() == points
    if points:  # and it reads as the last second a datetime holds
        assert table.column("publish_time").to_pylist() == [
            datetime.datetime(9999, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)]


@pytest.mark.parametrize("first_pt", [LAST_MS - 1000, 2**63 - 5])
def test_times_past_the_largest_are_refused_before_the_grid(first_pt):
    # A damaged file can carry such times: the recording fails naming the first, as replay does.
    with pytest.raises(vantrel.ReplayError) as refused:
        vantrel.prices_table(_two_books(first_pt, 2**63 - 1), every=1000, form="ltp")
    line = 1 if first_pt > LAST_MS else 2
    assert refused.value.reason.startswith(f"line {line}: publish time ")
    assert refused.value.reason.endswith(" is past the year 9999, the last a datetime holds")


def test_several_sources_concatenate_in_order(recordings):
    whole = vantrel.prices_table(recordings, form="ltp")
    parts = [vantrel.prices_table(p, form="ltp") for p in recordings]
    assert table_rows(whole) == [row for part in parts for row in table_rows(part)]


def test_schema_follows_the_conventions(recordings):
    table = vantrel.prices_table(recordings[0], depth=2)
    types = dict(zip(table.schema.names, table.schema.types))
    assert table.schema.names[-6:] == ["lay_price_1", "lay_size_1", "lay_price_2", "lay_size_2",
                                        "sp_near", "sp_far"]
    assert types["publish_time"] == pa.timestamp("ms", tz="UTC")
    for name in ("market_id", "market_status", "status"):
        assert types[name] == pa.dictionary(pa.int32(), pa.string())
    assert types["selection_id"] == pa.int64()
    assert types["back_price_1"] == pa.float64()
    assert types["inplay"] == pa.bool_()
    ladder = vantrel.prices_table(recordings[0], form="ladder")
    assert ladder.schema.field("side").type == pa.dictionary(pa.int32(), pa.string())
    assert ladder.schema.field("depth").type == pa.int64()


@pytest.mark.parametrize("depth", [1, 4, None])
def test_ladder_depth_limits_levels_per_side(recordings, depth):
    table = vantrel.prices_table(recordings[0], form="ladder", depth=depth)
    levels = table.column("depth").to_pylist()
    if depth is None:
        assert max(levels) > 10
    else:
        assert max(levels) == depth - 1


@pytest.mark.parametrize(
    "options, error",
    [
        ({"form": "wide"}, ValueError),
        ({"depth": 0}, ValueError),
        ({"depth": -2, "form": "ladder"}, ValueError),
        ({"depth": 2.5}, TypeError),
        ({"depth": None}, TypeError),
        ({"every": 0}, ValueError),
        ({"every": -5}, ValueError),
        ({"every": datetime.timedelta(0)}, ValueError),
        ({"every": 1.5}, TypeError),
        ({"every": "1s"}, TypeError),
        ({"inplay": "yes"}, TypeError),
        ({"errors": "ignore"}, ValueError),
        ({"markets": [1]}, TypeError),
    ],
)
def test_bad_arguments_fail_before_any_work(options, error):
    # The source does not exist: only a check made before reading can raise `error`.
    with pytest.raises(error):
        vantrel.prices_table("/no/such/file", **options)


def test_errors_policy_is_replays(recordings, tmp_path):
    broken = tmp_path / "broken.json"
    broken.write_text("not json\n")
    with pytest.raises(vantrel.ReplayError, match="broken.json"):
        vantrel.prices_table([recordings[0], str(broken)])
    with pytest.warns(vantrel.SkippedRecordingWarning):
        skipped = vantrel.prices_table([str(broken), recordings[0]], errors="skip")
    assert table_rows(skipped) == table_rows(vantrel.prices_table(recordings[0]))


def test_market_filters_apply(recordings):
    table = vantrel.prices_table(recordings[0])
    first = table.column("market_id")[0].as_py()
    only = vantrel.prices_table(recordings[0], markets=first)
    assert set(only.column("market_id").to_pylist()) == {first}
    with pytest.warns(vantrel.FilterWarning, match="market_types=\\['PLACE'\\]"):
        assert vantrel.prices_table(recordings[0], market_types="PLACE").num_rows == 0


def test_without_pyarrow_the_error_names_the_extra(monkeypatch, recordings):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"vantrel\[tables\]"):
        vantrel.prices_table(recordings[0])


# --- agreement with betfairutil's prices_file_to_data_frame ---------------------------------

betfairutil = pytest.importorskip("betfairutil")
pd = pytest.importorskip("pandas")


def peer_frame(path, fmt, max_depth=None):
    """betfairutil's frame less its repeats.

    The peer writes every market of the file after every line, so a market that a line did not
    change comes again with its last publish time and the same prices; vantrel writes a market
    only when a line changed it. Rows of one book differ in runner, side or level, so dropping
    exact repeats leaves the books.
    """
    # As a Path: betfairutil's stand-in for open() matches its argument by equality, and a str
    # would send smart_open's own call to open() back into it for ever.
    frame = betfairutil.prices_file_to_data_frame(
        pathlib.Path(path), _format=fmt, max_depth=max_depth)
    return frame.drop_duplicates()


def ours_as_peer(table):
    """Our table in the peer's terms: publish times as epoch milliseconds, plain strings."""
    frame = table.to_pandas()
    frame["publish_time"] = table.column("publish_time").cast(pa.int64()).to_numpy()
    for name in ("market_id", "side"):
        if name in frame:
            frame[name] = frame[name].astype(str)
    return frame


def sorted_records(frame, keys):
    frame = frame.sort_values(keys, kind="stable").reset_index(drop=True)
    return [{k: table_reference.plain(v) for k, v in row.items()}
            for row in frame.astype(object).where(frame.notna(), None).to_dict("records")]


@pytest.mark.parametrize("depth", [None, 1, 3])
def test_ladder_matches_betfairutil(recordings, depth):
    keys = ["market_id", "publish_time", "selection_id", "handicap", "side", "depth"]
    for path in recordings[:2]:
        ours = ours_as_peer(vantrel.prices_table(path, form="ladder", depth=depth))
        # betfairutil keeps levels while depth <= max_depth: one more than it says
        peer = peer_frame(path, betfairutil.DataFrameFormatEnum.FULL_LADDER,
                          None if depth is None else depth - 1)
        assert list(ours.columns) == list(peer.columns)
        assert sorted_records(ours, keys) == sorted_records(peer[list(ours.columns)], keys)


def test_ltp_matches_betfairutil(recordings):
    keys = ["market_id", "publish_time", "selection_id", "handicap"]
    for path in recordings[:2]:
        ours = ours_as_peer(vantrel.prices_table(path, form="ltp"))
        peer = peer_frame(path, betfairutil.DataFrameFormatEnum.LAST_PRICE_TRADED)
        assert list(ours.columns) == list(peer.columns)
        assert sorted_records(ours, keys) == sorted_records(peer, keys)
