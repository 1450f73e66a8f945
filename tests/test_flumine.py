"""vantrel.flumine.HistoricalStream against flumine's own historical stream: the same books
handed out, and the same orders, fills and profit from the same strategies."""

import bz2
import gzip
import json
import lzma
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("flumine")

from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream  # noqa: E402
from helpers.backtest import backtest, handed_out, handed_out_views, peer_views  # noqa: E402
from helpers.recordings import (START_MS, StreamFiles, race_file, race_shape,  # noqa: E402
                                resubscribed)
from tools import recordings  # noqa: E402
from tools.recordings.archives import exchange_tar, zip_bytes  # noqa: E402

from vantrel.flumine import HistoricalStream  # noqa: E402

# (seed, helpers.recordings.race_shape options) of each market of a recording
RECORDINGS = {
    # the first runner withdrawn: listed last from then on by the exchange, first by flumine
    "race": [(1, dict(market_id="1.100000001"))],
    "other-non-runner": [(2, dict(market_id="1.100000002", non_runner=3, winner=1))],
    "deep-ladder": [(3, dict(market_id="1.100000003", runners=10, depth=25, non_runner=6,
                             winner=4))],
    "no-passive-delay": [(4, dict(market_id="1.100000004", passive=False, bet_delay=2,
                                  non_runner=1))],
    # two markets of an event interleaved in one file
    "event": [(5, dict(market_id="1.100000011")),
              (6, dict(market_id="1.100000012", step_ms=700, non_runner=2, winner=3,
                       start_ms=START_MS + 350))],
}


def _write(tmp_path, name):
    specs = RECORDINGS[name]
    return race_file(tmp_path / specs[0][1]["market_id"], *specs)


@pytest.mark.parametrize("strategy", ["lowest-layer", "first-runner", "best-back"])
@pytest.mark.parametrize("recording", sorted(RECORDINGS))
def test_backtest_matches_flumines_stream(tmp_path, recording, strategy):
    path = _write(tmp_path, recording)
    expected = backtest(strategy, [BetfairHistoricalStream(path)])
    assert expected["orders"], "the strategy should trade on this recording"
    if (recording, strategy) != ("race", "first-runner"):  # there it backs a non-runner
        assert any(order[7] for order in expected["orders"]), "and get fills"
    assert backtest(strategy, [HistoricalStream(path)]) == expected


LISTENER_OPTIONS = [
    {},
    {"inplay": True},
    {"inplay": False},
    {"seconds_to_start": 20},
    {"inplay": False, "seconds_to_start": 45},
    {"max_inplay_seconds": 10},
    {"event_type_ids": ["7"]},
    {"event_type_ids": [1]},
]


@pytest.mark.parametrize("options", LISTENER_OPTIONS, ids=lambda o: ",".join(o) or "none")
@pytest.mark.parametrize("recording", ["race", "event"])
def test_hands_out_the_books_flumines_stream_does(tmp_path, recording, options):
    path = _write(tmp_path, recording)
    if options.get("event_type_ids") == [1] and recording == "event":
        # one market of each event type, so that the filter keeps one of the two
        path = race_file(tmp_path / "mixed", (7, dict(market_id="1.100000021", event_type_id="1")),
                         (8, dict(market_id="1.100000022", start_ms=START_MS + 500)))
    expected = handed_out(BetfairHistoricalStream(path, listener_kwargs=options))
    assert handed_out(HistoricalStream(path, listener_kwargs=options)) == expected


def _zstd(data):
    if shutil.which("zstd") is None:
        pytest.skip("no zstd command to compress with")
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


COMPRESSORS = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": _zstd,
}


@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
def test_compressed_recordings_backtest_as_plain_ones(tmp_path, kind):
    plain = _write(tmp_path, "race")
    packed = tmp_path / "packed"
    packed.write_bytes(COMPRESSORS[kind](open(plain, "rb").read()))
    expected = backtest("lowest-layer", [BetfairHistoricalStream(plain)])
    assert backtest("lowest-layer", [HistoricalStream(str(packed))]) == expected


def _official_tar(path, members):
    # The layout of the exchange's historic data: folders by plan, date and event, one bzip2
    # file per market named by its id.
    exchange_tar(path, [(f"PRO/2023/Nov/14/31000000/{name}", data) for name, data in members])


def _zip(path, members):
    path.write_bytes(zip_bytes(members))


@pytest.mark.parametrize("pack", [_official_tar, _zip], ids=["tar-of-bz2", "zip"])
@pytest.mark.parametrize("strategy", ["lowest-layer", "first-runner"])
def test_one_stream_over_an_archive_backtests_as_a_stream_per_market(tmp_path, pack, strategy):
    names = ["race", "other-non-runner", "deep-ladder"]
    plain = [_write(tmp_path, name) for name in names]
    archive = tmp_path / "archive"
    members = [(RECORDINGS[n][0][1]["market_id"], open(p, "rb").read()) for n, p in zip(names, plain)]
    pack(archive, members)
    expected = backtest(strategy, [BetfairHistoricalStream(p) for p in plain])
    assert backtest(strategy, [HistoricalStream(str(archive))]) == expected


def test_strategies_know_the_markets_of_their_stream(tmp_path):
    from flumine import BaseStrategy

    stream = HistoricalStream(_write(tmp_path, "event"))
    strategy = BaseStrategy(stream=stream)
    for _ in stream.create_generator()():
        pass
    assert [strategy.market_cached(m) for m in ("1.100000011", "1.100000012", "1.1")] == [
        True, True, False]


# Recordings of every kind a strategy meets, each with the definitions' price ladder,
# starting prices and totals that run apart from the traded ladders; "display" holds the
# level-keyed best-offers ladders only (batb/batl/bdatb/bdatl), as self-recorded streams do.
_RICH = {"price_ladder": "CLASSIC", "starting_prices": True, "market_tv": True}
STRATEGY_VIEWS = {
    "full": [(1, dict(market_id="1.100000031", **_RICH))],
    "basic": [(9, dict(market_id="1.100000032", ladders="basic", **_RICH))],
    "removals": [(10, dict(market_id="1.100000033", non_runner=4, winner=2, runners=8,
                           early_suspension=True, **_RICH))],
    "no-removal": [(11, dict(market_id="1.100000034", non_runner=None))],
    "display": [(15, dict(market_id="1.100000038", ladders="display", **_RICH))],
    # markets of several kinds interleaved in one file, kept short: each message hands on
    # the latest book of every market
    "event": [(12, dict(market_id="1.100000035", preplay=30, inplay=20, **_RICH)),
              (13, dict(market_id="1.100000036", step_ms=700, non_runner=2, winner=3,
                        start_ms=START_MS + 350, price_ladder="FINEST", preplay=30, inplay=20)),
              (14, dict(market_id="1.100000037", ladders="basic", non_runner=None,
                        start_ms=START_MS + 120, preplay=30, inplay=20, **_RICH))],
}
_TOTALS = {"calculate_market_tv": True, "cumulative_runner_tv": True}
VIEW_OPTIONS = [
    {},
    _TOTALS,
    {"calculate_market_tv": True, "event_type_ids": ["7"]},
    {"inplay": True},
    {"seconds_to_start": 20},
    # While the listener leaves a market out, flumine's totals come from the traded lists as
    # they were when it last let the market through.
    {**_TOTALS, "seconds_to_start": 20},
    {**_TOTALS, "inplay": True},
    {"cumulative_runner_tv": True, "inplay": False, "seconds_to_start": 45},
    {"calculate_market_tv": True, "max_inplay_seconds": 10},
]


@pytest.mark.parametrize("options", VIEW_OPTIONS, ids=lambda o: ",".join(o) or "none")
@pytest.mark.parametrize("kind", sorted(STRATEGY_VIEWS))
def test_strategies_read_what_flumines_stream_hands_them(tmp_path, kind, options):
    # Every attribute of every book, runner, ladder level and definition, with its type: levels
    # are dicts, times aware, the price ladder betfairlightweight's own object.
    path = race_file(tmp_path / kind, *STRATEGY_VIEWS[kind])
    expected = handed_out_views(BetfairHistoricalStream(path, listener_kwargs=options))
    assert expected
    assert handed_out_views(HistoricalStream(path, listener_kwargs=options)) == expected


def test_left_out_names_books_of_the_last_message(tmp_path):
    from vantrel import _engine
    from vantrel._sources import inputs

    messages = _engine.replay(inputs(_write(tmp_path, "event")), print, per_message=True,
                              calculate_market_tv=True, activity=True)
    _, books = next(messages)
    for bad in ([len(books)], [-1], ["0"]):
        with pytest.raises((IndexError, TypeError)):
            messages.left_out(bad)
    messages.left_out([0])
    assert next(messages)


def test_levels_are_the_dicts_strategies_serialise(tmp_path):
    import json

    path = _write(tmp_path, "race")
    stream = HistoricalStream(path)
    books = [b for message in stream.create_generator()() for b in message]
    runner = next(r for r in books[-3].runners if r.ex.traded_volume)
    level = runner.ex.available_to_back[0]
    assert type(level) is dict and list(level) == ["price", "size"]
    assert json.loads(json.dumps(runner.ex.traded_volume)) == runner.ex.traded_volume
    # The export of a book with dict levels is that of the package's replay.
    replayed = {(b.market_id, b.publish_time_epoch): b.to_dict()
                for b in __import__("vantrel").replay(path)}
    assert all(b.to_dict() == replayed[b.market_id, b.publish_time_epoch] for b in books)


@pytest.mark.parametrize("kwargs, error", [
    ({"listener_kwargs": {"lightweight": True}}, ValueError),
    ({"operation": "raceSubscription"}, ValueError),
    ({"listener_kwargs": {"threads": 0}}, ValueError),
    ({"listener_kwargs": {"threads": "2"}}, TypeError),
])
def test_refuses_what_it_cannot_replay_alike(kwargs, error):
    with pytest.raises(error):
        HistoricalStream("1.23", **kwargs)


@pytest.mark.parametrize("threads", [2, None])
def test_an_archive_read_on_threads_backtests_as_on_one(tmp_path, threads):
    names = ["race", "other-non-runner", "deep-ladder"]
    members = [(RECORDINGS[n][0][1]["market_id"], open(_write(tmp_path, n), "rb").read())
               for n in names]
    archive = tmp_path / "archive"
    _official_tar(archive, members)
    expected = backtest("first-runner", [HistoricalStream(str(archive))])
    streamed = [HistoricalStream(str(archive), listener_kwargs={"threads": threads})]
    assert backtest("first-runner", streamed) == expected


def test_importing_vantrel_leaves_flumine_out():
    code = "import sys, vantrel; print('flumine' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True)
    assert result.stdout.strip() == "False"


def test_the_market_filter_reaches_the_stream(tmp_path):
    import json

    from helpers.recordings import race_shape
    from tools import recordings

    # three markets of an event file, the second at another venue, the third of greyhounds:
    # the filter keeps the first alone
    specs = [(16, dict(market_id="1.100000041")),
             (17, dict(market_id="1.100000042", start_ms=START_MS + 250)),
             (18, dict(market_id="1.100000043", event_type_id="4339", start_ms=START_MS + 500))]
    streams = [list(recordings.iter_lines(race_shape(**options), seed=seed))
               for seed, options in specs]
    moved = []
    for text in streams[1]:
        message = json.loads(text)
        for change in message["mc"]:
            if "marketDefinition" in change:
                change["marketDefinition"]["venue"] = "Nowhere Park"
        moved.append(json.dumps(message) + "\n")
    everything = recordings.write(tmp_path / "event", recordings.merge(streams[0], moved,
                                                                       streams[2]))
    # flumine's own stream over the kept market alone hands out what the filtered one does
    alone = recordings.write(tmp_path / "kept", streams[0])
    expected = handed_out(BetfairHistoricalStream(alone, listener_kwargs={"inplay": False}))
    assert expected
    venue = json.loads(streams[0][0])["mc"][0]["marketDefinition"]["venue"]
    options = {"inplay": False, "venues": venue,
               "market_filter": {"eventTypeIds": ["7"], "bettingTypes": ["ODDS"]}}
    stream = HistoricalStream(everything, listener_kwargs=options)
    assert stream.listener_kwargs == options
    assert stream.stream_hash != HistoricalStream(everything).stream_hash
    assert handed_out(stream) == expected
    with pytest.raises(TypeError, match="same key"):
        HistoricalStream(everything, listener_kwargs={"event_type_ids": ["7"],
                                                      "market_filter": {"eventTypeIds": ["7"]}})


@pytest.mark.parametrize("recording", ["race", "event"])
def test_books_before_a_definition_are_betfairlightweights(tmp_path, recording):
    # A recording that starts on a resubscription's deltas: flumine's own stream stops at its
    # first line (it looks for the market time of a definition it does not have yet), so the
    # books are held against those of betfairlightweight's stream it is built on.
    specs = RECORDINGS[recording]
    streams = [recordings.iter_lines(race_shape(**options), seed=seed) for seed, options in specs]
    lines = streams[0] if len(streams) == 1 else recordings.merge(*streams)
    path = StreamFiles(tmp_path).write(resubscribed([json.loads(line) for line in lines], 30))
    expected = peer_views(path)
    assert any(dict(book)["status"] is None for message in expected for book in message)
    assert handed_out_views(HistoricalStream(path), stream_id=0) == expected
