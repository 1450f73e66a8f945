"""vantrel's dict export against betfairlightweight's lightweight books, message by message.

The recordings are generated here, shaped like real ones (an image first, then deltas and
market definitions for suspensions, going in-play, a withdrawal and settlement). They keep to
input both libraries read the same way: every runner is listed by the first definition, later
definitions repeat every runner field, and "trd" is never an empty list.
"""

import gzip
import json
import random

import pytest

from helpers import peer_replay

pytestmark = pytest.mark.skipif(
    not peer_replay.peer_available(), reason="betfairlightweight is not installed"
)

TICKS = [c for lo, hi, step in ((101, 200, 1), (200, 300, 2), (300, 400, 5), (400, 1000, 10),
                                (1000, 2000, 50), (2000, 10001, 500)) for c in range(lo, hi, step)]


def _number(cents):
    # Whole values are written as integers, the way recordings write them.
    return cents // 100 if cents % 100 == 0 else cents / 100


class _Recording:
    def __init__(self, seed, runners, handicaps):
        self.rng = random.Random(seed)
        ids = self.rng.sample(range(10_000, 9_000_000), runners)
        if handicaps:
            # Handicap markets list one selection several times, told apart by "hc".
            self.keys = [(ids[i // 2], (-1) ** i * (0.25 + i // 2)) for i in range(runners)]
        else:
            self.keys = [(rid, 0.0) for rid in ids]
        self.status = {k: "ACTIVE" for k in self.keys}
        self.removal = {}
        self.bsp = {}
        self.ladders = {k: {"atb": {}, "atl": {}, "trd": {}} for k in self.keys}
        self.mid = {k: self.rng.randrange(10, len(TICKS) - 10) for k in self.keys}
        self.runner_tv = dict.fromkeys(self.keys, 0)
        self.market = {"status": "OPEN", "inPlay": False, "betDelay": 0,
                       "version": self.rng.randrange(10**9, 5 * 10**9)}
        self.tv = 0
        self.pt = 1_714_567_000_000 + self.rng.randrange(10**6)

    def _runner_id(self, key):
        rid, hc = key
        return {"id": rid, "hc": hc} if hc else {"id": rid}

    def definition(self):
        self.market["version"] += self.rng.randrange(1, 1000)
        runners = []
        for order, key in enumerate(self.keys, 1):
            entry = {"status": self.status[key], "sortPriority": order,
                     "adjustmentFactor": round(100 / len(self.keys), 2), **self._runner_id(key)}
            if key in self.removal:
                entry["removalDate"] = self.removal[key]
            if key in self.bsp:
                entry["bsp"] = self.bsp[key]
            runners.append(entry)
        active = sum(s == "ACTIVE" for s in self.status.values())
        return {"bspMarket": True, "turnInPlayEnabled": True, "persistenceEnabled": True,
                "marketBaseRate": 5, "eventId": "33000001", "eventTypeId": "7",
                "numberOfWinners": 1, "bettingType": "ODDS", "marketType": "WIN",
                "marketTime": "2024-05-01T14:00:00.000Z", "bspReconciled": bool(self.bsp),
                "complete": True, "crossMatching": not self.market["inPlay"],
                "runnersVoidable": False, "numberOfActiveRunners": active,
                "regulators": ["MR_INT"], "discountAllowed": True, "timezone": "GMT",
                "openDate": "2024-05-01T14:00:00.000Z", "runners": runners, **self.market}

    def _levels(self, key, side, count):
        rng, book, mid = self.rng, self.ladders[key][side], self.mid[key]
        changed = {}
        for _ in range(count):
            offset = rng.randrange(0, 8)
            tick = mid - offset if side == "atb" else mid + 1 + offset
            cents = TICKS[max(0, min(len(TICKS) - 1, tick))]
            size = 0 if cents in book and rng.random() < 0.3 else rng.randrange(1, 500_000)
            if size:
                book[cents] = size
            else:
                book.pop(cents, None)
            changed[cents] = size
        return [[_number(c), _number(s)] for c, s in changed.items()]

    def _trade(self, key, change):
        cents = TICKS[self.mid[key] + self.rng.choice((0, 1))]
        amount = self.rng.randrange(1, 20_000)
        trd = self.ladders[key]["trd"]
        trd[cents] = trd.get(cents, 0) + amount
        self.runner_tv[key] += amount
        self.tv += amount
        change.update(trd=[[_number(cents), _number(trd[cents])]], ltp=_number(cents),
                      tv=_number(self.runner_tv[key]))

    def runner_change(self, key, image=False):
        change = self._runner_id(key)
        depth = 12 if image else self.rng.randrange(1, 4)
        self.mid[key] = max(8, min(len(TICKS) - 10, self.mid[key] + self.rng.randrange(-1, 2)))
        for side in ("atb", "atl"):
            if image or self.rng.random() < 0.7:
                change[side] = self._levels(key, side, depth)
        if image or self.rng.random() < 0.4:
            self._trade(key, change)
        return change

    def withdraw(self):
        key = self.rng.choice([k for k in self.keys if self.status[k] == "ACTIVE"])
        self.status[key] = "REMOVED"
        self.removal[key] = "2024-05-01T13:30:00.000Z"
        cleared = {}
        for side in ("atb", "atl"):
            cleared[side] = [[_number(c), 0] for c in self.ladders[key][side]]
            self.ladders[key][side].clear()
        return [{**self._runner_id(key), **cleared}]

    def settle(self):
        winner = self.rng.choice([k for k in self.keys if self.status[k] == "ACTIVE"])
        for key in self.keys:
            if self.status[key] == "ACTIVE":
                self.status[key] = "WINNER" if key == winner else "LOSER"
                self.bsp[key] = _number(TICKS[self.mid[key]])
        self.market["status"] = "CLOSED"

    def line(self, **change):
        self.pt += self.rng.randrange(1, 5000)
        mc = [{"id": "1.230000001", **change}] if change else []
        return json.dumps({"op": "mcm", "clk": str(self.pt), "pt": self.pt, "mc": mc})

    def lines(self, messages):
        yield self.line(img=True, marketDefinition=self.definition(), tv=0,
                        rc=[self.runner_change(k, image=True) for k in self.keys])
        events = {messages // 5: "suspend", messages // 5 + 1: "reopen",
                  messages // 3: "withdraw", messages // 2: "off", messages - 1: "settle"}
        for i in range(1, messages):
            event = events.get(i)
            if event == "withdraw" and len(self.keys) > 2:
                yield self.line(marketDefinition=self.definition(), rc=self.withdraw())
                continue
            if event in ("suspend", "reopen", "off", "settle"):
                if event == "off":
                    self.market.update(inPlay=True, betDelay=5)
                elif event == "settle":
                    self.settle()
                else:
                    self.market["status"] = "SUSPENDED" if event == "suspend" else "OPEN"
                yield self.line(marketDefinition=self.definition())
                continue
            if self.rng.random() < 0.03:
                yield self.line()
                continue
            active = [k for k in self.keys if self.status[k] == "ACTIVE"]
            chosen = self.rng.sample(active, self.rng.randrange(1, min(3, len(active)) + 1))
            rc = [self.runner_change(k) for k in chosen]
            traded = {"tv": _number(self.tv)} if any("trd" in c for c in rc) else {}
            yield self.line(rc=rc, **traded)


def _write(path, seed, runners, handicaps, messages=150):
    """Writes a recording with heartbeats and blank lines among the messages.

    Returns the number of heartbeats: the peer counts them as updates that change nothing,
    while vantrel keeps no message for them.
    """
    rng = random.Random(seed)
    out, heartbeats = [], 0
    recording = _Recording(seed, runners, handicaps)
    for text in recording.lines(messages):
        out.append(text)
        if rng.random() < 0.05:
            beat = {"op": "mcm", "clk": "hb", "pt": recording.pt + 1, "ct": "HEARTBEAT"}
            out.append(json.dumps(beat))
            heartbeats += 1
        if rng.random() < 0.03:
            out.append("")
    data = ("\n".join(out) + "\n").encode()
    if str(path).endswith(".gz"):
        data = gzip.compress(data)
    path.write_bytes(data)
    return heartbeats


@pytest.mark.parametrize(
    "name, seed, runners, handicaps",
    [
        ("1.230000001", 1, 6, False),
        ("1.230000001.gz", 2, 9, False),
        ("1.230000001.gz", 3, 4, True),
        ("1.230000001", 4, 2, False),
    ],
    ids=["plain", "gzip", "handicaps", "two-runners"],
)
def test_books_agree_with_peer(tmp_path, name, seed, runners, handicaps):
    path = tmp_path / name
    heartbeats = _write(path, seed, runners, handicaps)
    fields = peer_replay.CORE_FIELDS + peer_replay.EXTRA_FIELDS
    report = peer_replay.compare_file(str(path), fields)
    assert report.ours_only == []
    assert report.peer_only == heartbeats
    assert report.matched == report.ours > 0
    assert report.agreements["runner.present"] >= report.matched * (runners - 1)
    assert not report.differences, report.examples


def test_comparison_notices_a_changed_level(tmp_path):
    # Guards the harness itself: a silent comparator would let every test above pass.
    path = tmp_path / "1.230000001"
    _write(path, 5, 3, False, messages=20)
    pairs = peer_replay.align(peer_replay.iter_our_books(str(path)), peer_replay.replay(str(path)))
    _, ours, peer = [pair for pair in pairs if None not in pair][-2]
    runner = next(r for r in ours["runners"] if r["ex"]["availableToLay"])
    runner["ex"]["availableToLay"][0]["size"] += 0.5
    _, differences = peer_replay.compare_books(ours, peer)
    assert [(d.field, d.runner) for d in differences] == [
        ("runner.availableToLay", (runner["selectionId"], runner["handicap"]))
    ]
