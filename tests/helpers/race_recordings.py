"""Small race-market recordings for backtests: several runners with deep ladders and trades,
a non-runner whose removal reorders the definition, going in-play with a passive bet delay,
a suspension and settlement. Deterministic for a seed; one JSON message a line.
"""

from __future__ import annotations

import json
import random
from dataclasses import dataclass, field

START_MS = 1_700_000_000_000
# (first price, increment, count) of each band of the price ladder used here
_BANDS = ((1.01, 0.01, 99), (2, 0.02, 50), (3, 0.05, 20), (4, 0.1, 20), (6, 0.2, 20),
          (10, 0.5, 20), (20, 1, 11))
TICKS = [round(first + step * i, 2) for first, step, count in _BANDS for i in range(count)]


def _iso(ms: int) -> str:
    from datetime import datetime, timezone

    return datetime.fromtimestamp(ms / 1000, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")


@dataclass
class _Runner:
    selection_id: int
    tick: int  # index of the best back price in TICKS
    traded: dict = field(default_factory=dict)  # price -> cumulative size
    status: str = "ACTIVE"
    adjustment: float = 10.0
    removal: str | None = None


@dataclass
class RaceShape:
    """What a generated market holds; every part can be left out."""

    market_id: str = "1.100000001"
    event_type_id: str = "7"
    runners: int = 6
    depth: int = 8  # ladder levels each side in the image
    preplay: int = 60  # deltas before the off
    inplay: int = 60  # deltas after it
    non_runner: int | None = 0  # index of the runner withdrawn before the off
    passive: bool = True  # "betDelayModels": ["PASSIVE"] in-play
    bet_delay: int = 1
    winner: int = 0  # index of the winning runner
    seed: int = 1
    start_ms: int = START_MS
    step_ms: int = 1000  # between messages


class _Race:
    def __init__(self, shape: RaceShape) -> None:
        self.shape = shape
        self.rng = random.Random(shape.seed)
        # Selection ids out of their listed order, so that listing by id shows.
        ids = self.rng.sample(range(1000, 99999), shape.runners)
        self.runners = [_Runner(ids[i], 40 + 160 * i // shape.runners + self.rng.randrange(10))
                        for i in range(shape.runners)]
        self.order = list(self.runners)  # definition order
        self.inplay = False
        self.status = "OPEN"
        self.version = 1
        self.time = shape.start_ms
        self.market_time = shape.start_ms + (shape.preplay + 1) * shape.step_ms

    def definition(self) -> dict:
        s = self.shape
        d = {
            "bspMarket": True, "turnInPlayEnabled": True, "persistenceEnabled": True,
            "marketBaseRate": 5, "eventId": "3" + s.market_id[-7:], "eventTypeId": s.event_type_id,
            "numberOfWinners": 1, "bettingType": "ODDS", "marketType": "WIN",
            "marketTime": _iso(self.market_time), "suspendTime": _iso(self.market_time),
            "bspReconciled": self.inplay, "complete": True, "inPlay": self.inplay,
            "crossMatching": True, "runnersVoidable": False,
            "numberOfActiveRunners": sum(r.status == "ACTIVE" for r in self.runners),
            "betDelay": s.bet_delay if self.inplay else 0, "status": self.status,
            "venue": "Ascot", "countryCode": "GB", "discountAllowed": True, "timezone": "UTC",
            "openDate": _iso(self.market_time), "version": self.version,
            "eventName": "Ascot", "regulators": ["MR_INT"],
            "runners": [self._runner_definition(r, i + 1) for i, r in enumerate(self.order)],
        }
        if s.passive and self.inplay:
            d["betDelayModels"] = ["PASSIVE"]
        return d

    @staticmethod
    def _runner_definition(r: _Runner, priority: int) -> dict:
        d = {"adjustmentFactor": r.adjustment, "status": r.status, "sortPriority": priority,
             "id": r.selection_id}
        if r.removal:
            d["removalDate"] = r.removal
        return d

    def ladders(self, r: _Runner, depth: int) -> dict:
        top = len(TICKS) - 1
        return {"atb": [[TICKS[max(r.tick - i, 0)], self._size()] for i in range(depth)],
                "atl": [[TICKS[min(r.tick + 1 + i, top)], self._size()] for i in range(depth)]}

    def _size(self) -> float:
        return round(self.rng.uniform(2, 200), 2)

    def message(self, changes: dict, *, definition: bool = False, image: bool = False) -> dict:
        change = {"id": self.shape.market_id, **changes}
        if definition:
            change["marketDefinition"] = self.definition()
        if image:
            change["img"] = True
        self.time += self.shape.step_ms
        return {"op": "mcm", "clk": str(self.time), "pt": self.time, "mc": [change]}

    def image(self) -> dict:
        rc = []
        for r in self.runners:
            ladders = self.ladders(r, self.shape.depth)
            rc.append({"id": r.selection_id, "atb": ladders["atb"], "atl": ladders["atl"]})
        return self.message({"rc": rc}, definition=True, image=True)

    def delta(self) -> dict:
        active = [r for r in self.runners if r.status == "ACTIVE"]
        rc = []
        for r in self.rng.sample(active, k=min(len(active), self.rng.randint(1, 3))):
            r.tick = max(0, min(len(TICKS) - 3, r.tick + self.rng.choice((-2, -1, -1, 0, 1, 1, 2))))
            change = {"id": r.selection_id}
            ladders = self.ladders(r, 3)
            change["atb"] = ladders["atb"] + [[TICKS[max(r.tick - 3, 0)], 0]]
            change["atl"] = ladders["atl"] + [[TICKS[min(r.tick + 4, len(TICKS) - 1)], 0]]
            if self.rng.random() < 0.7:
                price = TICKS[r.tick + self.rng.choice((0, 1))]
                r.traded[price] = round(r.traded.get(price, 0) + self.rng.uniform(5, 80), 2)
                change["trd"] = [[p, s] for p, s in sorted(r.traded.items())]
                change["ltp"] = price
                change["tv"] = round(sum(r.traded.values()), 2)
            rc.append(change)
        return self.message({"rc": rc})

    def remove(self, r: _Runner) -> dict:
        r.status = "REMOVED"
        r.removal = _iso(self.time)
        self.version += 1
        # The exchange lists a non-runner last from then on.
        self.order = [x for x in self.order if x is not r] + [r]
        return self.message({"rc": [{"id": r.selection_id, "atb": [], "atl": []}]}, definition=True)

    def set_state(self, *, status: str | None = None, inplay: bool | None = None) -> dict:
        if status is not None:
            self.status = status
        if inplay is not None:
            self.inplay = inplay
        self.version += 1
        return self.message({}, definition=True)

    def settle(self) -> dict:
        for i, r in enumerate(self.runners):
            if r.status == "ACTIVE":
                r.status = "WINNER" if i == self.shape.winner else "LOSER"
        self.status = "CLOSED"
        self.version += 1
        return self.message({}, definition=True)


def race_messages(shape: RaceShape) -> list[dict]:
    race = _Race(shape)
    out = [race.image()]
    for i in range(shape.preplay):
        if shape.non_runner is not None and i == shape.preplay // 2:
            out.append(race.remove(race.runners[shape.non_runner]))
        out.append(race.delta())
    out.append(race.set_state(status="SUSPENDED"))
    out.append(race.set_state(status="OPEN", inplay=True))
    for _ in range(shape.inplay):
        out.append(race.delta())
    out.append(race.set_state(status="SUSPENDED"))
    out.append(race.settle())
    return out


def event_messages(shapes: list[RaceShape]) -> list[dict]:
    """Several markets' lines interleaved by publish time, as an event-level file holds them
    (give the shapes different start times or steps)."""
    lines = [m for shape in shapes for m in race_messages(shape)]
    return sorted(lines, key=lambda m: m["pt"])


def write_lines(path, messages: list[dict]) -> str:
    path.write_text("".join(json.dumps(m) + "\n" for m in messages))
    return str(path)
