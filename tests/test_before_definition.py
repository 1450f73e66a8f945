"""Recordings that start before any market definition (a resubscription's deltas, an image
without one): the package's books, tables and summaries show None for what no definition has
said yet, as betfairlightweight does, while iter_prices_file keeps its own defaults."""

import copy
import json
import math

import pytest

import vantrel
from helpers import peer_replay, table_reference
from helpers.recordings import (StreamFiles, event_lines, first_definitions, market_recording,
                                resubscribed)
from helpers.reference_model import replay_file
from helpers.table_reference import plain_rows, table_rows

pytestmark = pytest.mark.skipif(not peer_replay.peer_available(),
                                reason="betfairlightweight is not installed")

MARKET = "1.500"
LATE = 99  # the selection id of a runner first met in a change


def listed_late(messages):
    """A runner first met in a change soon after the first definition, listed (active) by every
    definition from the second on."""
    out = copy.deepcopy(messages)
    defined = [i for i, m in enumerate(out) if any("marketDefinition" in c for c in m["mc"])]
    out[defined[0] + 2]["mc"][0].setdefault("rc", []).append(
        {"id": LATE, "ltp": 5.0, "tv": 3.0, "atb": [[5.0, 2.0]], "trd": [[5.0, 3.0]]})
    for i in defined[1:]:
        definition = next(c for c in out[i]["mc"] if "marketDefinition" in c)["marketDefinition"]
        definition["runners"].append({"id": LATE, "sortPriority": 99, "status": "ACTIVE"})
        definition["numberOfActiveRunners"] += 1
    return out


def _messages(kind, seed):
    if kind == "event":  # three markets, each defined at a different message
        return resubscribed([json.loads(line) for line in event_lines(seed, markets=3)], 40)
    messages = market_recording(MARKET, seed, count=150)
    if kind == "deltas-first":
        return resubscribed(messages, 40)
    if kind == "never-defined":
        return resubscribed(messages, len(messages))
    return listed_late(resubscribed(messages, 10))


KINDS = ("deltas-first", "never-defined", "event", "late-runner")


@pytest.fixture(scope="module", params=[(kind, seed) for kind in KINDS for seed in (1, 2)],
                ids=lambda p: f"{p[0]}-{p[1]}")
def recording(request, tmp_path_factory):
    kind, seed = request.param
    messages = _messages(kind, seed)
    return kind, messages, StreamFiles(tmp_path_factory.mktemp("undefined")).write(messages)


def _first_listings(messages):
    """The publish time of the first definition listing each (market, selection id)."""
    first = {}
    for message in messages:
        for change in message["mc"]:
            for runner in change.get("marketDefinition", {}).get("runners", ()):
                first.setdefault((change["id"], runner["id"]), message["pt"])
    return first


def test_books_are_the_peers(recording):
    _, _, path = recording
    report = peer_replay.compare_replay(path, peer_replay.CORE_FIELDS + peer_replay.EXTRA_FIELDS)
    assert report.ours == report.peer == report.matched > 0
    assert not report.differences, report.examples


# What a definition says, by attribute and by key of the dict export.
BOOK_FIELDS = {"status": "status", "inplay": "inplay", "bet_delay": "betDelay",
               "version": "version", "complete": "complete", "cross_matching": "crossMatching",
               "bsp_reconciled": "bspReconciled", "runners_voidable": "runnersVoidable",
               "number_of_winners": "numberOfWinners",
               "number_of_active_runners": "numberOfActiveRunners"}
RUNNER_FIELDS = {"status": "status", "adjustment_factor": "adjustmentFactor",
                 "removal_date": "removalDate"}


def test_nothing_is_said_before_a_definition(recording):
    _, messages, path = recording
    defined, listed = first_definitions(messages), _first_listings(messages)
    unsaid = {"market": 0, "runner": 0}
    for book in vantrel.replay(path):
        pt, exported = book.publish_time_epoch, book.to_dict()
        said = pt >= defined.get(book.market_id, math.inf)
        unsaid["market"] += not said
        assert (book.market_definition is not None) == said
        for name, key in BOOK_FIELDS.items():
            value = getattr(book, name)
            assert (value is not None) == said and value == exported[key], name
        for runner, runner_dict in zip(book.runners, exported["runners"]):
            runner_said = pt >= listed.get((book.market_id, runner.selection_id), math.inf)
            unsaid["runner"] += not runner_said
            assert (runner.status is not None) == runner_said
            if not runner_said:
                assert runner.sp.actual_sp is None and runner_dict["sp"]["actualSP"] is None
            for name, key in RUNNER_FIELDS.items():
                assert runner_said or getattr(runner, name) is runner_dict[key] is None, name
    assert unsaid["market"] > 0 and unsaid["runner"] > 0


def test_iter_prices_file_keeps_its_defaults(recording):
    kind, _, path = recording
    if kind == "event":
        pytest.skip("iter_prices_file replays one market")
    books = [book.to_dict() for book in vantrel.iter_prices_file(path)]
    assert books == [snapshot.to_dict() for snapshot in replay_file(path)]


# --- the tables -----------------------------------------------------------------------------


@pytest.fixture
def tables():
    pytest.importorskip("pyarrow")


def _said(recording):
    """(market_said, runner_said) for a table row: a definition had described the market, and
    listed the runner, by its publish time."""
    _, messages, _ = recording
    defined, listed = first_definitions(messages), _first_listings(messages)
    return (lambda row: row["publish_time"] >= defined.get(row["market_id"], math.inf),
            lambda row: row["publish_time"] >= listed.get((row["market_id"], row["selection_id"]),
                                                          math.inf))


# (table, options, the rows a loop over vantrel.replay gives or None); a book whose in-play
# state nothing has said is in neither state.
ROWS = [
    ("prices", {}, table_reference.prices_best),
    ("prices", {"inplay": True}, lambda path: table_reference.prices_best(path, inplay=True)),
    ("prices", {"inplay": False}, lambda path: table_reference.prices_best(path, inplay=False)),
    ("prices", {"every": 1000}, lambda path: table_reference.prices_grid(path, 1000)),
    ("prices", {"form": "ladder"}, None),
    ("prices", {"form": "ltp"}, None),
    ("trades", {}, table_reference.trades),
]


@pytest.mark.parametrize("table, options, reference", ROWS,
                         ids=[f"{t}-{','.join(map(str, o.items()))}" for t, o, _ in ROWS])
def test_rows_before_a_definition_are_null(tables, recording, table, options, reference):
    path = recording[2]
    market_said, runner_said = _said(recording)
    rows = table_rows(getattr(vantrel, f"{table}_table")(path, **options))
    assert rows or "inplay" in options
    if reference is not None:
        assert rows == plain_rows(reference(path))
    for row in rows:
        for column in ("inplay", "market_status"):
            assert column not in row or (row[column] is not None) == market_said(row), column
        assert "status" not in row or (row["status"] is not None) == runner_said(row)


def test_summaries_leave_unsaid_fields_null(tables, recording):
    _, messages, path = recording
    defined, listed = first_definitions(messages), _first_listings(messages)
    markets = table_rows(vantrel.market_summaries(path))
    assert markets == plain_rows(table_reference.market_summaries(path))
    for row in markets:
        said = row["market_id"] in defined
        assert {row["status"] is None, row["number_of_winners"] is None} == {not said}
    runners = table_rows(vantrel.runner_summaries(path))
    assert runners == plain_rows(table_reference.runner_summaries(path, (60, 300, 600)))
    for row in runners:
        assert (row["status"] is not None) == ((row["market_id"], row["selection_id"]) in listed)
