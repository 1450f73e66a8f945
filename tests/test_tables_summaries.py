"""vantrel.trades_table, market_summaries and runner_summaries against a plain loop over
vantrel.replay."""

import datetime
import io
import tarfile

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel
from helpers import table_reference
from helpers.recordings import write_event
from helpers.table_reference import plain_rows, table_rows


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("summaries")
    return [
        write_event(folder / "a.json", 11, markets=3),
        write_event(folder / "b.json.gz", 12, markets=1, messages=300),
        # re-images a market part way: the runners are made anew
        write_event(folder / "c.json", 13, markets=2, peer_safe=False),
    ]


def test_trades_match_replay_loop(recordings):
    for path in recordings:
        table = vantrel.trades_table(path)
        assert table.num_rows > 0
        assert table_rows(table) == plain_rows(table_reference.trades(path))


def test_trade_deltas_add_up_to_the_traded_volume(recordings):
    table = vantrel.trades_table(recordings[0]).to_pandas()
    last = table.groupby(["market_id", "selection_id", "price"], observed=True)
    totals = last["delta"].sum().round(6)
    assert totals.equals(last["traded"].last().round(6))


def test_market_summaries_match_replay_loop(recordings):
    for path in recordings:
        assert table_rows(vantrel.market_summaries(path)) == plain_rows(
            table_reference.market_summaries(path))


# 2**62 s reaches past the earliest time there is: it takes nothing, and must not wrap.
@pytest.mark.parametrize("before_off", [(60, 120, 300), (0,), (), (60, 2**62)])
def test_runner_summaries_match_replay_loop(recordings, before_off):
    for path in recordings:
        table = vantrel.runner_summaries(path, before_off=before_off)
        assert table_rows(table) == plain_rows(table_reference.runner_summaries(path, before_off))


def test_runner_summaries_take_timedelta_offsets(recordings):
    by_seconds = vantrel.runner_summaries(recordings[0], before_off=[120])
    by_delta = vantrel.runner_summaries(recordings[0], before_off=[datetime.timedelta(minutes=2)])
    assert by_seconds.equals(by_delta)
    assert "back_price_120s" in by_delta.schema.names


def test_summaries_show_settlement(recordings):
    markets = vantrel.market_summaries(recordings).to_pylist()
    assert all(m["status"] == "CLOSED" and len(m["winners"]) == 1 for m in markets)
    runners = vantrel.runner_summaries(recordings).to_pylist()
    assert {r["status"] for r in runners} == {"WINNER", "LOSER", "REMOVED"}
    assert all(r["bsp"] is not None for r in runners if r["status"] != "REMOVED")
    assert all(r["removal_date"] is not None for r in runners if r["status"] == "REMOVED")


def test_summary_schema(recordings):
    schema = vantrel.market_summaries(recordings[0]).schema
    assert schema.field("winners").type == pa.list_(pa.int64())
    assert schema.field("event_id").type == pa.int64()
    assert schema.field("market_time").type == pa.timestamp("ms", tz="UTC")
    assert schema.field("status").type == pa.dictionary(pa.int32(), pa.string())


def test_source_names_the_archive_member(recordings, tmp_path):
    archive = tmp_path / "day.tar"
    with tarfile.open(archive, "w") as tar:
        for name, path in (("one.json", recordings[0]), ("two.json", recordings[2])):
            tar.add(path, arcname=name)
    sources = set(vantrel.market_summaries(str(archive)).column("source").to_pylist())
    assert sources == {f"{archive} (member one.json)", f"{archive} (member two.json)"}


def test_bytes_and_file_objects_are_sources(recordings):
    with open(recordings[0], "rb") as f:
        data = f.read()
    from_bytes = vantrel.trades_table(data)
    from_file = vantrel.trades_table(io.BytesIO(data))
    assert from_bytes.equals(from_file)
    assert from_bytes.equals(vantrel.trades_table(recordings[0]))


@pytest.mark.parametrize(
    "before_off, error",
    [(60, TypeError), ("60", TypeError), ([1.5], TypeError), ([-60], ValueError),
     ([datetime.timedelta(milliseconds=1500)], ValueError), ([60, 60], ValueError)],
)
def test_bad_offsets_fail_before_any_work(before_off, error):
    with pytest.raises(error):
        vantrel.runner_summaries("/no/such/file", before_off=before_off)


def test_failed_file_contributes_no_rows_when_skipped(recordings, tmp_path):
    truncated = tmp_path / "cut.json.gz"
    truncated.write_bytes(open(recordings[1], "rb").read()[:-40])
    with pytest.warns(vantrel.SkippedRecordingWarning, match="cut.json.gz"):
        table = vantrel.market_summaries([str(truncated), recordings[0]], errors="skip")
    assert table_rows(table) == table_rows(vantrel.market_summaries(recordings[0]))
