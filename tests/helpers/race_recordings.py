"""Small race-market recordings for backtests: several runners with deep ladders and trades,
a non-runner whose removal reorders the definition, going in-play with a passive bet delay,
a suspension and settlement. Deterministic for a seed; one JSON message a line.

`ladders` picks what the runner changes carry: "full" (atb/atl ladders by price, traded
volume, last price traded and total matched), "basic" (last price traded and total matched
only, as the exchange's basic data plan records), or "display" (the level-keyed best and best
display ladders, batb/batl/bdatb/bdatl, as [level, price, size]). `starting_prices` adds the
near and far starting prices, starting-price ladders and the settled starting prices;
`market_tv` adds the market's total matched, and runner totals that run ahead of the traded
ladder, so that totals computed from the ladders show; `early_suspension` suspends the market
for a few changes long before the off.
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
    bsp: float | None = None


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
    ladders: str = "full"  # "full", "basic" or "display"
    starting_prices: bool = False
    market_tv: bool = False
    price_ladder: str | None = None  # the definitions' priceLadderDefinition type
    early_suspension: bool = False  # suspended for a few changes a quarter of the way in


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
        if s.price_ladder is not None:
            d["priceLadderDefinition"] = {"type": s.price_ladder}
        return d

    @staticmethod
    def _runner_definition(r: _Runner, priority: int) -> dict:
        d = {"adjustmentFactor": r.adjustment, "status": r.status, "sortPriority": priority,
             "id": r.selection_id}
        if r.removal:
            d["removalDate"] = r.removal
        if r.bsp is not None:
            d["bsp"] = r.bsp
        return d

    def ladders(self, r: _Runner, depth: int) -> dict:
        top = len(TICKS) - 1
        back = [[TICKS[max(r.tick - i, 0)], self._size()] for i in range(depth)]
        lay = [[TICKS[min(r.tick + 1 + i, top)], self._size()] for i in range(depth)]
        if self.shape.ladders == "basic":
            return {}
        if self.shape.ladders == "display":
            # Level-keyed: [level, price, size], the best three for batb/batl and the best three
            # as displayed (the same prices here, sizes rounded down) for bdatb/bdatl.
            def keyed(levels: list, rounded: bool) -> list:
                return [[i, p, float(int(z)) if rounded else z]
                        for i, (p, z) in enumerate(levels[:3])]
            return {"batb": keyed(back, False), "batl": keyed(lay, False),
                    "bdatb": keyed(back, True), "bdatl": keyed(lay, True)}
        return {"atb": back, "atl": lay}

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
            rc.append({"id": r.selection_id, **self.ladders(r, self.shape.depth)})
        return self.message({"rc": rc}, definition=True, image=True)

    def delta(self) -> dict:
        active = [r for r in self.runners if r.status == "ACTIVE"]
        rc = []
        for r in self.rng.sample(active, k=min(len(active), self.rng.randint(1, 3))):
            r.tick = max(0, min(len(TICKS) - 3, r.tick + self.rng.choice((-2, -1, -1, 0, 1, 1, 2))))
            change = {"id": r.selection_id, **self.ladders(r, 3)}
            if "atb" in change:
                change["atb"].append([TICKS[max(r.tick - 3, 0)], 0])
                change["atl"].append([TICKS[min(r.tick + 4, len(TICKS) - 1)], 0])
            if self.rng.random() < 0.7:
                price = TICKS[r.tick + self.rng.choice((0, 1))]
                r.traded[price] = round(r.traded.get(price, 0) + self.rng.uniform(5, 80), 2)
                if self.shape.ladders != "basic":
                    change["trd"] = [[p, s] for p, s in sorted(r.traded.items())]
                change["ltp"] = price
                change["tv"] = round(sum(r.traded.values()), 2)
                if self.shape.market_tv:
                    change["tv"] = round(change["tv"] * 1.25 + 3, 2)
            if self.shape.starting_prices and self.rng.random() < 0.3:
                self._starting_prices(r, change)
            rc.append(change)
        changes = {"rc": rc}
        if self.shape.market_tv:
            changes["tv"] = round(sum(sum(r.traded.values()) for r in self.runners) * 1.1, 2)
        return self.message(changes)

    def _starting_prices(self, r: _Runner, change: dict) -> None:
        near = TICKS[r.tick + 1]
        change["spn"] = near if self.rng.random() < 0.8 else "NaN"
        change["spf"] = TICKS[r.tick + 2]
        change["spb"] = [[TICKS[max(r.tick - 5, 0)], round(self.rng.uniform(2, 50), 2)]]
        change["spl"] = [[TICKS[r.tick + 5], round(self.rng.uniform(2, 50), 2)]]

    def remove(self, r: _Runner) -> dict:
        r.status = "REMOVED"
        r.removal = _iso(self.time)
        # The rest's adjustment factors grow by the share the non-runner leaves them.
        for other in self.runners:
            if other.status == "ACTIVE":
                other.adjustment = round(other.adjustment * 1.1 + 0.37, 2)
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
                if self.shape.starting_prices:
                    r.bsp = TICKS[r.tick + 1]
        self.status = "CLOSED"
        self.version += 1
        return self.message({}, definition=True)


def race_messages(shape: RaceShape) -> list[dict]:
    race = _Race(shape)
    out = [race.image()]
    for i in range(shape.preplay):
        if shape.non_runner is not None and i == shape.preplay // 2:
            out.append(race.remove(race.runners[shape.non_runner]))
        if shape.early_suspension and i == shape.preplay // 4:
            out.append(race.set_state(status="SUSPENDED"))
        if shape.early_suspension and i == shape.preplay // 4 + 3:
            out.append(race.set_state(status="OPEN"))
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
