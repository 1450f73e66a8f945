"""Level-keyed best-offers ladders (batb, batl, bdatb, bdatl) and totals at the close, against
betfairlightweight's own stream cache, line by line."""

import json
import warnings

import pytest

import vantrel
from helpers.recordings import market_recording, StreamFiles

bflw = pytest.importorskip("betfairlightweight")
pa = pytest.importorskip("pyarrow")

MARKET = "1.500"
KINDS = ("full", "display", "mixed")


def _peer_states(lines):
    """After each line, every runner's ladders as betfairlightweight's cache holds them:
    {selection id: {"auto": hand-out, "full", "display", "best"}} per side."""
    listener = bflw.StreamListener(max_latency=None, lightweight=True)
    listener.register_stream(0, "marketSubscription")
    states = []
    for line in lines:
        listener.on_data(json.dumps(line))
        cache = listener.stream._caches[MARKET]
        state = {}
        for r in cache.runners:
            def levels(serialised):
                return [(d["price"], d["size"]) for d in serialised]
            state[r.selection_id] = {
                "back": {"auto": levels(r.serialise_available_to_back()),
                         "full": levels(r.available_to_back.serialised),
                         "display": levels(r.best_display_available_to_back.serialised),
                         "best": levels(r.best_available_to_back.serialised)},
                "lay": {"auto": levels(r.serialise_available_to_lay()),
                        "full": levels(r.available_to_lay.serialised),
                        "display": levels(r.best_display_available_to_lay.serialised),
                        "best": levels(r.best_available_to_lay.serialised)},
            }
        states.append(state)
    return states


@pytest.fixture(scope="module", params=[(kind, seed) for kind in KINDS for seed in (1, 2)],
                ids=lambda p: f"{p[0]}-{p[1]}")
def recording(request, tmp_path_factory):
    kind, seed = request.param
    lines = market_recording(MARKET, seed, count=150, ladders=kind, wipe_at_close=True)
    path = StreamFiles(tmp_path_factory.mktemp("ladders")).write(lines)
    return kind, lines, path


def test_books_hand_out_what_the_peer_hands_out(recording):
    kind, lines, path = recording
    peer = _peer_states(lines)
    books = list(vantrel.replay(path))
    assert len(books) == len(lines)
    for book, state in zip(books, peer):
        for runner in book.runners:
            want = state[runner.selection_id]
            got_back = [(p.price, p.size) for p in runner.ex.available_to_back]
            got_lay = [(p.price, p.size) for p in runner.ex.available_to_lay]
            assert (got_back, got_lay) == (want["back"]["auto"], want["lay"]["auto"])
    if kind != "full":
        # The recording must exercise the fallback, or the comparison proves little.
        assert any(s["back"]["auto"] and not s["back"]["full"]
                   for state in peer for s in state.values())


@pytest.mark.parametrize("ladder", ["auto", "full", "display", "best"])
@pytest.mark.parametrize("form", ["best", "ladder"])
def test_tables_read_the_chosen_ladder(recording, ladder, form):
    _, lines, path = recording
    peer = _peer_states(lines)
    depth = 2
    table = vantrel.prices_table(path, form=form, depth=depth, ladder=ladder)
    times = [line["pt"] for line in lines]
    expected = []
    for pt, state in zip(times, peer):
        for sid, sides in state.items():
            back, lay = sides["back"][ladder], sides["lay"][ladder]
            if form == "best":
                row = {"selection_id": sid}
                for side, levels in (("back", back), ("lay", lay)):
                    for i in range(depth):
                        level = levels[i] if i < len(levels) else (None, None)
                        row[f"{side}_price_{i + 1}"], row[f"{side}_size_{i + 1}"] = level
                expected.append(row)
            else:
                for side, levels in (("Back", back), ("Lay", lay)):
                    expected.extend({"selection_id": sid, "side": side, "depth": i,
                                     "price": p, "size": s}
                                    for i, (p, s) in enumerate(levels[:depth]))
    columns = list(expected[0]) if expected else ["selection_id"]
    assert table.select(columns).to_pylist() == expected


def test_the_compatible_module_keeps_to_full_ladders(recording):
    _, lines, path = recording
    peer = _peer_states(lines)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        books = list(vantrel.iter_prices_file(path))
    for book, state in zip(books, peer, strict=True):
        for runner in book.runners:
            want = state[runner.selection_id]
            assert [(p.price, p.size) for p in runner.ex.available_to_back] == want["back"]["full"]
            assert [(p.price, p.size) for p in runner.ex.available_to_lay] == want["lay"]["full"]


def test_unchanged_display_ladders_are_handed_out_again(tmp_path):
    lines = market_recording(MARKET, 5, count=60, ladders="display")
    books = list(vantrel.replay(StreamFiles(tmp_path).write(lines)))
    reused = changed = 0
    for before, after in zip(books, books[1:]):
        old = {r.selection_id: r for r in before.runners}
        for runner in after.runners:
            previous = old.get(runner.selection_id)
            if previous is None:
                continue
            same = [(p.price, p.size) for p in previous.ex.available_to_back] == \
                [(p.price, p.size) for p in runner.ex.available_to_back]
            if runner is previous:
                reused += 1
            elif not same:
                changed += 1
    assert reused and changed


def test_totals_survive_the_close(recording):
    _, lines, path = recording
    markets = vantrel.market_summaries(path).to_pylist()
    runners = vantrel.runner_summaries(path).to_pylist()
    last = list(vantrel.replay(path))[-1]
    assert last.total_matched == 0 and all(r.total_matched == 0 for r in last.runners)
    assert markets[0]["total_matched"] == max(line["mc"][0].get("tv", 0) for line in lines)
    peaks = {}
    for line in lines:
        for rc in line["mc"][0].get("rc", []):
            if "tv" in rc:
                peaks[rc["id"]] = max(peaks.get(rc["id"], 0), rc["tv"])
    assert {r["selection_id"]: r["matched_last"] for r in runners} == \
        {r["selection_id"]: float(peaks.get(r["selection_id"], 0)) for r in runners}


@pytest.mark.parametrize("strategy", ["first-runner", "lowest-layer"])
def test_flumine_places_the_orders_its_own_stream_places(tmp_path, strategy):
    pytest.importorskip("flumine")
    from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

    from helpers.backtest import backtest
    from vantrel.flumine import HistoricalStream

    lines = market_recording(MARKET, 3, count=150, ladders="display")
    # betfairlightweight's MarketDefinition object, which flumine builds, needs every field.
    defaults = {"betDelay": 0, "bspMarket": False, "bspReconciled": False, "complete": True,
                "crossMatching": True, "discountAllowed": True, "marketBaseRate": 5,
                "numberOfActiveRunners": 4, "persistenceEnabled": True, "regulators": ["MR_INT"],
                "runnersVoidable": False, "timezone": "UTC", "turnInPlayEnabled": True}
    for line in lines:
        for change in line["mc"]:
            if "marketDefinition" in change:
                change["marketDefinition"] = {**defaults, **change["marketDefinition"]}
    path = StreamFiles(tmp_path).write(lines)
    expected = backtest(strategy, [BetfairHistoricalStream(path)])
    assert expected["orders"], "the strategy must trade on this recording"
    assert backtest(strategy, [HistoricalStream(path)]) == expected


def test_trades_without_the_close_add_up_to_the_traded_ladders(recording):
    _, _, path = recording
    trades = vantrel.trades_table(path).to_pylist()
    books = list(vantrel.replay(path))
    assert sum(t["delta"] for t in trades) == pytest.approx(0)  # the close takes it all back
    kept = sum(t["delta"] for t in trades if t["traded"] > 0)
    before_close = sum(p.size for r in books[-2].runners for p in r.ex.traded_volume)
    assert before_close > 0 and kept == pytest.approx(before_close)


def test_info_reports_the_total_before_the_close(recording):
    import subprocess
    import sys

    _, lines, path = recording
    done = subprocess.run([sys.executable, "-m", "vantrel", "info", path, "--json"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    [market] = [json.loads(line) for line in done.stdout.splitlines()]
    assert market["total_matched"] == max(line["mc"][0].get("tv", 0) for line in lines) > 0


@pytest.mark.parametrize("ladder", ["display", "full"])
def test_export_takes_the_ladder(recording, tmp_path, ladder):
    import subprocess
    import sys

    import pyarrow.parquet as pq

    _, _, path = recording
    out = tmp_path / "prices.parquet"
    done = subprocess.run([sys.executable, "-m", "vantrel", "export", path, "-o", str(out),
                           "--ladder", ladder, "--jobs", "1"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    expected = vantrel.prices_table(path, ladder=ladder)
    got = pq.read_table(out)
    assert got.column("back_price_1").to_pylist() == expected.column("back_price_1").to_pylist()


def test_an_empty_traded_ladder_empties_it_as_the_peer_does(tmp_path):
    lines = market_recording(MARKET, 4, count=40)
    lines.insert(20, {"op": "mcm", "clk": "AAA", "pt": lines[19]["pt"] + 1,
                      "mc": [{"id": MARKET, "rc": [{"id": 11, "trd": []}, {"id": 12, "trd": []}]}]})
    for line in lines[:20]:  # traded levels to empty
        line["mc"][0].setdefault("rc", []).append({"id": 11, "trd": [[3, line["pt"] % 97 + 1]]})
    listener = bflw.StreamListener(max_latency=None, lightweight=True)
    listener.register_stream(0, "marketSubscription")
    books = list(vantrel.replay(StreamFiles(tmp_path).write(lines)))
    for line, book in zip(lines, books, strict=True):
        listener.on_data(json.dumps(line))
        peer = {r.selection_id: [(d["price"], d["size"]) for d in r.traded.serialised]
                for r in listener.stream._caches[MARKET].runners}
        assert {r.selection_id: [(p.price, p.size) for p in r.ex.traded_volume]
                for r in book.runners} == peer
    def traded_11(book):
        return next(r.ex.traded_volume for r in book.runners if r.selection_id == 11)

    assert traded_11(books[19]) and not traded_11(books[20])
