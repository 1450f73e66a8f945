"""One market's life as the exchange streams it: what a recording of it holds is set by a Shape.

The model keeps every runner's ladders, traded volume and status, and writes each change as the
text of one entry of a message's "mc" array (written by hand rather than by json.dumps: a
300 MB recording would spend most of its time there). A Clock stamps the messages.
"""

from __future__ import annotations

import base64
import json
import math
import random
from dataclasses import dataclass
from datetime import datetime, timezone

from .prices import NTICKS, TICK_CENTS, TICK_TEXT, TOP, fmt_cents, iso_ms, tick_index

LADDERS = ("full", "basic", "display", "mixed")
# The best-offers projections carry this many levels a side.
DISPLAY_LEVELS = 3


@dataclass(frozen=True)
class Shape:
    """What a generated market is and what its recording carries. The defaults give a horse
    race of full ladders through its whole life: image, deltas, resent definitions, a
    suspension, a non-runner, the off, settlement with its starting prices."""

    name: str = "market"             # also seeds the draws, with the seed
    kind: str = "race"               # "race" (horse race) or "match" (a market of an event in play)
    runners: int = 6
    messages: int | None = 200       # exact message count, or None to fill target_bytes
    target_bytes: int | None = None
    depth: tuple[int, int] = (15, 30)        # ticks per side the image may cover
    fill: tuple[float, float] = (0.6, 0.85)  # share of those ticks holding money
    touch: tuple[int, int] = (1, 3)          # runners changed per delta (absolute, not scaled)
    levels: tuple[int, int] = (1, 4)         # ladder levels changed per changed runner
    move: tuple[float, float] = (0.06, 0.3)  # chance the price moves (pre-play, in-play)
    trade: tuple[float, float] = (0.25, 0.5)
    sp: float = 0.03                 # chance of starting-price keys on a changed runner
    sp_strings: bool = True          # first starting-price keys as "Infinity"/"NaN", as recorded
    removal: bool = True             # a non-runner is withdrawn part way
    lifecycle: bool = True           # suspensions, in-play, settlement
    whole_life: bool = False         # a short recording still holds every event of the life
    one_level: bool = False          # every delta changes exactly one back level of one runner
    off_at: float = 0.85             # share of the recording before the market goes in-play
    market_id: str | None = None
    notes: str = ""

    # What the runner changes carry: "full" ladders keyed by price (atb/atl) and traded
    # volume; "basic" last price traded and total matched only, as the basic data plan;
    # "display" the level-keyed best-offers projections (batb/batl/bdatb/bdatl) instead of the
    # full ladders; "mixed" both, the full ladder of a side emptied now and then.
    ladders: str = "full"
    market_tv: bool = True           # the market's total matched on every message that traded
    tv_ahead: bool = False           # runner totals ahead of what their traded ladders add up to
    bsp: bool | None = None          # starting prices reconciled at the off (None: races only)
    wipe_at_close: bool = False      # traded volumes zeroed after the close, as the exchange ends
    reimage_at: float | None = None  # a second image of the whole market at this share
    early_suspension: bool = False   # suspended for a few changes a quarter of the way to the off

    # The definition
    market_type: str | None = None   # None: WIN for races, MATCH_ODDS otherwise
    betting_type: str = "ODDS"
    market_name: str | None = None
    event_type_id: str | None = None  # None: 7 for races, 2 otherwise
    event_id: str | None = None
    event_name: str | None = None
    venue: str | None = None
    race_type: str | None = None
    country_code: str = "GB"
    number_of_winners: int = 1
    selection_ids: tuple[int, ...] | None = None  # in the first definition's order
    runner_names: tuple[str, ...] | None = None
    handicaps: tuple[float, ...] | None = None     # each runner's, for handicap markets
    texts: bool = True               # names, event name, market type, country and venue
    removal_dates: bool = True       # a non-runner's removalDate
    removed_last: bool = False       # a non-runner listed last from its removal on
    removal_clears: bool = True      # the removal zeroes the non-runner's ladders
    non_runner: int | None = None    # its place in the first definition (None: drawn)
    winner: int | None = None        # the winner's place in the first definition (None: drawn)
    bet_delay: int = 5               # in play
    bet_delay_models: tuple[str, ...] | None = None  # in play
    price_ladder: str | None = "CLASSIC"

    # Time: a timeline from a couple of hours before the off to the settlement, or, with
    # step_ms, messages step_ms apart from start_ms
    start_ms: int | None = None
    step_ms: int | None = None
    jitter_ms: int = 0               # with step_ms, each message up to this much later
    market_ms: int | None = None     # the scheduled start; with step_ms, at the off by default
    # As the exchange opens markets: the first few messages this many days before the timeline
    # above, hours apart, then silence until it starts
    opens_days_before: float = 0.0

    def __post_init__(self) -> None:
        if self.ladders not in LADDERS:
            raise ValueError(f"ladders must be one of {', '.join(LADDERS)}")
        if self.runners < 1:
            raise ValueError("runners must be at least 1")


# --------------------------------------------------------------------------
# Names and fixed vocabulary

_FIRST = ["Paradise", "Sandwood", "Castle", "Silver", "Golden", "Midnight", "Royal",
          "Wild", "Brave", "Quiet", "Copper", "Velvet", "Northern", "Swift", "Lucky",
          "Amber", "Crimson", "Misty", "Stormy", "Bold", "Gentle", "Highland", "Iron",
          "Jade", "Kingly", "Lunar", "Mighty", "Noble", "Ocean", "Proud"]
_SECOND = ["Mission", "Jet", "Hill", "Star", "Dancer", "Runner", "Arrow", "Legend",
           "Spirit", "Echo", "Whisper", "Thunder", "Harbour", "Meadow", "Voyage",
           "Flame", "Crown", "River", "Falcon", "Comet", "Rose", "Venture", "Glory",
           "Breeze", "Charm", "Dream", "Quest", "Shadow", "Tide", "Sonnet"]
_PLAYERS = ["A Marlow", "J Okafor", "S Lindqvist", "R Tanaka", "M Duarte", "K Novak",
            "L Brennan", "D Varga"]
VENUES = ["Ascot", "Newmarket", "Kempton", "Lingfield", "Sandown", "Chester",
          "Wolverhampton", "Haydock"]
_RACE_TYPES = ["Flat", "Hurdle", "Chase"]
_RACE_NAMES = ["7f Hcap", "1m Hcap", "6f Mdn Stks", "2m Nov Hrd", "1m2f Stks", "5f Hcap"]


def horse_names(rng: random.Random, n: int) -> list[str]:
    pairs = [(a, b) for a in _FIRST for b in _SECOND]
    return [f"{a} {b}" for a, b in rng.sample(pairs, n)]


# --------------------------------------------------------------------------
# The market model

class _Runner:
    __slots__ = ("id", "name", "sort", "status", "adj", "mid", "home", "depth",
                 "atb", "atl", "trd", "tv", "ltp", "spb", "spl", "sp_seen",
                 "removal_ms", "bsp", "hc", "share", "shown")

    def __init__(self, rid: int, name: str, sort: int, mid: int, depth: int):
        self.id = rid
        self.name = name
        self.sort = sort
        self.status = "ACTIVE"
        self.adj = 0.0
        self.mid = mid        # best back sits at or below mid, best lay above it
        self.home = mid       # pre-play prices drift back towards this
        self.depth = depth
        self.atb: dict[int, int] = {}
        self.atl: dict[int, int] = {}
        self.trd: dict[int, int] = {}
        self.tv = 0
        self.ltp: int | None = None
        self.spb: dict[int, int] = {}
        self.spl: dict[int, int] = {}
        self.sp_seen = False
        self.removal_ms: int | None = None
        self.bsp: float | None = None
        self.hc: float | None = None
        self.share = 1.0      # of the chance the first runner leaves the others
        self.shown = [0, 0]   # best-offers levels last written, back and lay


@dataclass
class Event:
    at: float
    kind: str
    arg: float = 0.0


class Clock:
    """Publish times and clocks of the messages: along a timeline from the market's first
    message through the off to its end, or a fixed step apart."""

    def __init__(self, rng: random.Random, clk: int, start_ms: int, off_ms: int, end_ms: int,
                 off_at: float, step_ms: int | None = None, jitter_ms: int = 0):
        self.rng = rng
        self.clk = clk
        self.start_ms, self.off_ms, self.end_ms = start_ms, off_ms, end_ms
        self.off_at = off_at
        self.step_ms = step_ms
        self.jitter_ms = jitter_ms
        self.pt = start_ms
        self.count = 0
        self.early: list[int] = []

    def open_early(self, days: float) -> None:
        """The first few messages `days` before the timeline, hours apart."""
        at = self.start_ms - int(days * 86_400_000)
        for _ in range(3 + self.rng.randrange(4)):
            if at >= self.start_ms:
                break
            self.early.append(at)
            at += 3_600_000 * (1 + self.rng.randrange(8)) + self.rng.randrange(60_000)

    def advance(self, progress: float) -> tuple[str, int]:
        if self.count < len(self.early):
            pt = self.early[self.count]
        elif self.step_ms is not None:
            pt = self.start_ms + self.count * self.step_ms
            if self.jitter_ms:
                pt = max(pt + self.rng.randrange(self.jitter_ms), self.pt + 1)
        else:
            off = self.off_at
            if progress < off:
                target = self.start_ms + (self.off_ms - self.start_ms) * (progress / off)
            else:
                frac = (progress - off) / (1.0 - off) if off < 1.0 else 1.0
                target = self.off_ms + (self.end_ms - self.off_ms) * frac
            pt = int(target) + self.rng.getrandbits(8)
            if pt <= self.pt:
                pt = self.pt + 1 + self.rng.getrandbits(4)
        self.count += 1
        self.pt = pt
        self.clk += 1 + self.rng.getrandbits(10)
        clk = base64.b64encode(self.clk.to_bytes(9, "little")).decode("ascii")
        return clk, pt


def line(clk: str, pt: int, changes: list[str]) -> str:
    """One message of the given "mc" entries, as a line of a recording."""
    return f'{{"op":"mcm","clk":"{clk}","pt":{pt},"mc":[{",".join(changes)}]}}\n'


class Market:
    """A market's state, and the changes that take it through its life. `image`, `delta` and
    `event` return the text of one "mc" entry; `line` stamps entries with the market's clock."""

    def __init__(self, shape: Shape, seed: int, market_id: str):
        self.shape = shape
        self.rng = rng = random.Random(f"{shape.name}:{seed}")
        self.market_id = market_id
        self.race = shape.kind == "race"
        self.inplay = False
        self.status = "OPEN"
        self.bsp_reconciled = False
        self.reconciles = self.race if shape.bsp is None else shape.bsp
        self.complete = True
        self.version = rng.randrange(3_000_000_000, 4_900_000_000)
        clk = rng.randrange(1 << 40, 1 << 56)
        self.tv = 0
        self.winners: set[int] = set()
        self.settled_ms: int | None = None
        # Tables keep per-level work to an index lookup: a lognormal draw per
        # level would be the slowest part of generating a 300 MB file.
        self.sizes = [max(1, min(int(rng.lognormvariate(7.2, 1.5)), 5_000_000))
                      for _ in range(4096)]
        self.trade_sizes = [max(1, min(int(rng.lognormvariate(6.5, 1.3)), 500_000))
                            for _ in range(1024)]
        self.near = [min(NTICKS - 1, int(rng.expovariate(0.6))) for _ in range(1024)]

        hour = 12 + rng.randrange(8)
        minute = 5 * rng.randrange(12)
        market_ms = int(datetime(2024, 5, 1, hour, minute, tzinfo=timezone.utc)
                        .timestamp() * 1000)
        if shape.market_ms is not None:
            market_ms = shape.market_ms
        if self.race:
            self.open_ms = market_ms - 3_600_000 * (1 + rng.randrange(3))
            start_ms = market_ms - 2 * 3_600_000
            end_ms = market_ms + 60_000 + 30_000 * rng.randrange(8)
        else:
            self.open_ms = market_ms
            start_ms = market_ms - 30 * 60_000
            end_ms = market_ms + 2 * 3_600_000 + 60_000 * rng.randrange(60)
        off_ms = market_ms + 1000 * rng.randrange(5, 90)
        if shape.step_ms is not None:
            start_ms = shape.start_ms if shape.start_ms is not None else start_ms
            count = shape.messages if shape.messages is not None else 1000
            off_ms = start_ms + round(shape.off_at * max(count - 1, 1)) * shape.step_ms
            if shape.market_ms is None:
                market_ms = off_ms
                self.open_ms = market_ms - 3_600_000
            end_ms = start_ms + count * shape.step_ms
        elif shape.start_ms is not None:
            start_ms = shape.start_ms
        self.market_ms = market_ms
        self.event_id = str(rng.randrange(31_000_000, 34_000_000))
        self.venue = rng.choice(VENUES)
        self.race_type = rng.choice(_RACE_TYPES)
        self.race_name = rng.choice(_RACE_NAMES)
        if shape.event_id is not None:
            self.event_id = shape.event_id
        if shape.venue is not None:
            self.venue = shape.venue
        if shape.race_type is not None:
            self.race_type = shape.race_type
        self.runners = self._make_runners()
        first = TICK_CENTS[self.runners[0].mid]
        other = TICK_CENTS[self.runners[-1].mid]
        self.logit = self.logit_start = self.logit_end = math.log(other / first)
        self.wobble = 0.0
        self.inplay_frac = 0.0
        # Places in the first definition, which the shape's non-runner and winner name.
        self.first_order = [r.id for r in self.runners]
        self._set_adjustment_factors()
        self._set_shares()
        self.clock = Clock(rng, clk, start_ms, off_ms, end_ms, shape.off_at, shape.step_ms,
                           shape.jitter_ms)
        if shape.opens_days_before:
            self.clock.open_early(shape.opens_days_before)

    # ---- set-up

    def _make_runners(self) -> list[_Runner]:
        sh, rng = self.shape, self.rng
        n = sh.runners
        strengths = [rng.lognormvariate(0.0, 1.0 if self.race else 0.6)
                     for _ in range(n)]
        total = sum(strengths)
        if sh.selection_ids is not None:
            if len(sh.selection_ids) != n:
                raise ValueError("selection_ids must name every runner")
            ids = list(sh.selection_ids)
        else:
            ids = rng.sample(range(100_000, 60_000_000), n)
        names: list[str] = []
        if sh.runner_names is not None:
            names = list(sh.runner_names)
        elif not self.race:
            names = rng.sample(_PLAYERS, n) if n <= len(_PLAYERS) else \
                [f"Player {i + 1}" for i in range(n)]
        else:
            names = [f"{i + 1}. {name}" for i, name in enumerate(horse_names(rng, n))]
        runners = []
        for i in range(n):
            price = max(1.05, min(900.0, total / strengths[i] * 1.03))
            mid = min(tick_index(price), TOP - 1)
            depth = sh.depth[0] + int(rng.random() * (sh.depth[1] - sh.depth[0] + 1))
            runner = _Runner(ids[i], names[i], i + 1, mid, depth)
            if sh.handicaps is not None:
                runner.hc = sh.handicaps[i]
            runners.append(runner)
        for r in runners:
            self._fill_image(r)
        return runners

    def _fill_image(self, r: _Runner) -> None:
        rng, sizes, sh = self.rng, self.sizes, self.shape
        fill = sh.fill[0] + rng.random() * (sh.fill[1] - sh.fill[0])
        for d in range(r.depth):
            i = r.mid - d
            if i < 0:
                break
            if d == 0 or rng.random() < fill:
                r.atb[i] = sizes[rng.getrandbits(12)]
        for d in range(r.depth):
            i = r.mid + 1 + d
            if i > TOP:
                break
            if d == 0 or rng.random() < fill:
                r.atl[i] = sizes[rng.getrandbits(12)]
        if self.race and sh.depth[1] >= NTICKS // 2:
            # Deep recordings carry the giant 1.01 back and 1000 lay offers.
            r.atb[0] = 1_000_000 + rng.randrange(1_000_000)
            r.atl[TOP] = 1000 + rng.randrange(2000)
        if sh.trade[0] > 0:
            for _ in range(rng.randrange(3, 12)):
                i = min(TOP, max(0, r.mid + rng.randrange(-4, 5)))
                amt = self.trade_sizes[rng.getrandbits(10)]
                r.trd[i] = r.trd.get(i, 0) + amt
                r.tv += amt
            r.ltp = r.mid
            self.tv += r.tv

    def _set_adjustment_factors(self) -> None:
        active = [r for r in self.runners if r.status == "ACTIVE"]
        inv = {r.id: 1.0 / (TICK_CENTS[r.mid] / 100) for r in active}
        total = sum(inv.values()) or 1.0
        for r in active:
            r.adj = round(100.0 * inv[r.id] / total, 3)

    def _set_shares(self) -> None:
        others = self.runners[1:]
        total = sum(1.0 / TICK_CENTS[r.mid] for r in others)
        for r in others:
            r.share = (1.0 / TICK_CENTS[r.mid]) / total

    # ---- the definition

    def _definition(self) -> str:
        sh = self.shape
        race = self.race
        self.version += 1 + self.rng.getrandbits(16)
        runners = []
        for r in self.runners:
            d: dict = {}
            if race:
                d["adjustmentFactor"] = r.adj
            d["status"] = r.status
            d["sortPriority"] = r.sort
            if r.removal_ms is not None and sh.removal_dates:
                d["removalDate"] = iso_ms(r.removal_ms - r.removal_ms % 1000)
            if r.bsp is not None:
                d["bsp"] = r.bsp
            if r.hc is not None:
                d["hc"] = r.hc
            d["id"] = r.id
            if sh.texts:
                d["name"] = r.name
            runners.append(d)
        active = sum(1 for r in self.runners if r.status == "ACTIVE")
        md: dict = {
            "bspMarket": self.reconciles,
            "turnInPlayEnabled": True,
            "persistenceEnabled": True,
            "marketBaseRate": 5,
            "eventId": self.event_id,
            "eventTypeId": sh.event_type_id or ("7" if race else "2"),
            "numberOfWinners": sh.number_of_winners,
            "bettingType": sh.betting_type,
            "marketType": sh.market_type or ("WIN" if race else "MATCH_ODDS"),
            "marketTime": iso_ms(self.market_ms),
            "suspendTime": iso_ms(self.market_ms),
            "bspReconciled": self.bsp_reconciled,
            "complete": self.complete,
            "inPlay": self.inplay,
            "crossMatching": self.status == "OPEN" and not self.inplay,
            "runnersVoidable": False,
            "numberOfActiveRunners": 0 if self.status == "CLOSED" else active,
            "betDelay": sh.bet_delay if self.inplay else 0,
            "status": self.status,
        }
        if not sh.texts:
            del md["marketType"]
        if self.settled_ms is not None:
            md["settledTime"] = iso_ms(self.settled_ms - self.settled_ms % 1000)
        if sh.bet_delay_models is not None and self.inplay:
            md["betDelayModels"] = list(sh.bet_delay_models)
        md["runners"] = runners
        md["regulators"] = ["MR_INT"]
        if race and sh.texts:
            md["venue"] = self.venue
        if sh.texts:
            md["countryCode"] = sh.country_code
        md["discountAllowed"] = True
        md["timezone"] = "Europe/London"
        md["openDate"] = iso_ms(self.open_ms)
        md["version"] = self.version
        if race:
            md["raceType"] = self.race_type
        if sh.texts:
            if race:
                md["name"] = sh.market_name or self.race_name
                md["eventName"] = sh.event_name or f"{self.venue} 1st May"
            else:
                md["name"] = sh.market_name or "Match Odds"
                md["eventName"] = sh.event_name or " v ".join(r.name for r in self.runners)
        if sh.price_ladder is not None:
            md["priceLadderDefinition"] = {"type": sh.price_ladder}
        return json.dumps(md, separators=(",", ":"))

    # ---- runner changes

    @staticmethod
    def _ladder(key: str, levels: dict[int, int]) -> str:
        return f'"{key}":[' + ",".join(
            [f"[{TICK_TEXT[i]},{fmt_cents(s)}]" for i, s in levels.items()]) + "]"

    def _best_offers(self, r: _Runner, back: bool) -> str:
        """The best levels of a side, level-keyed as [level, price, size], as available and as
        displayed (sizes in whole units); levels gone since the last write are zeroed."""
        side = r.atb if back else r.atl
        best = sorted(side, reverse=back)[:DISPLAY_LEVELS]
        shown = r.shown[0 if back else 1]
        r.shown[0 if back else 1] = len(best)
        gone = [f"[{level},0,0]" for level in range(len(best), shown)]
        keys = ("batb", "bdatb") if back else ("batl", "bdatl")
        available = [f"[{n},{TICK_TEXT[i]},{fmt_cents(side[i])}]" for n, i in enumerate(best)]
        # Displayed sizes are whole units, never 0: a 0 would take the level away.
        shown_sizes = [f"[{n},{TICK_TEXT[i]},{fmt_cents(max(side[i] - side[i] % 100, 100))}]"
                       for n, i in enumerate(best)]
        return (f'"{keys[0]}":[' + ",".join(available + gone) + "],"
                f'"{keys[1]}":[' + ",".join(shown_sizes + gone) + "]")

    def _book(self, r: _Runner, atb: dict[int, int], atl: dict[int, int],
              image: bool = False) -> list[str]:
        """The ladder keys of a runner change, as the shape's ladders carry them."""
        mode = self.shape.ladders
        parts = []
        if mode in ("full", "mixed"):
            if atb:
                parts.append(self._ladder("atb", atb))
            if atl:
                parts.append(self._ladder("atl", atl))
        if mode in ("display", "mixed"):
            if atb or image:
                parts.append(self._best_offers(r, True))
            if atl or image:
                parts.append(self._best_offers(r, False))
        if mode == "mixed" and not image and self.rng.random() < 0.2:
            # The full ladder of a side emptied: what a reader hands out falls back to the
            # best offers until the side fills again.
            back = self.rng.random() < 0.5
            side = r.atb if back else r.atl
            if side:
                parts.append(self._ladder("atb" if back else "atl", dict.fromkeys(side, 0)))
        return parts

    def _tv_text(self, r: _Runner) -> str:
        tv = r.tv * 5 // 4 + 300 if self.shape.tv_ahead else r.tv
        return f'"tv":{fmt_cents(tv)}'

    def _image_change(self, r: _Runner) -> str:
        parts = self._book(r, r.atb, r.atl, image=True)
        if r.trd and self.shape.ladders != "basic":
            parts.append(self._ladder("trd", r.trd))
        if r.ltp is not None:
            parts.append(f'"ltp":{TICK_TEXT[r.ltp]}')
            parts.append(self._tv_text(r))
        if r.hc is not None:
            parts.append(f'"hc":{r.hc}')
        parts.append(f'"id":{r.id}')
        return "{" + ",".join(parts) + "}"

    def _new_size(self, old: int | None) -> int:
        s = self.sizes[self.rng.getrandbits(12)]
        if old is not None and s == old:
            s += 1
        return s

    def _shift(self, r: _Runner, step: int, atb: dict, atl: dict) -> None:
        """Move the price by ``step`` ticks: crossed offers go and the other side fills in."""
        new = min(TOP - 1, max(0, r.mid + step))
        if new > r.mid:
            self._cross(range(r.mid + 1, new + 1), r.atl, atl, r.atb, atb)
        elif new < r.mid:
            self._cross(range(new + 1, r.mid + 1), r.atb, atb, r.atl, atl)
        r.mid = new

    def _cross(self, ticks: range, gone: dict, gone_out: dict, filled: dict,
               filled_out: dict) -> None:
        for i in ticks:
            if i in gone:
                del gone[i]
                gone_out[i] = 0
            s = self._new_size(None)
            filled[i] = s
            filled_out[i] = s

    def _touch_level(self, r: _Runner, back: bool, out: dict, min_keep: int = 1) -> None:
        rng = self.rng
        if rng.random() < 0.85:
            d = self.near[rng.getrandbits(10)]
        else:
            d = int(rng.random() * r.depth)
        if back:
            i = r.mid - d
            if i < 0:
                i = r.mid
            side = r.atb
        else:
            i = r.mid + 1 + d
            if i > TOP:
                i = r.mid + 1
            side = r.atl
        old = side.get(i)
        # A level first added in this same change must not be "removed": the
        # reader never had it.
        if old is not None and i not in out and len(side) > min_keep and rng.random() < 0.2:
            del side[i]
            out[i] = 0
        else:
            s = self._new_size(old)
            side[i] = s
            out[i] = s

    def _runner_change(self, r: _Runner) -> tuple[str, bool]:
        sh, rng = self.shape, self.rng
        atb: dict[int, int] = {}
        atl: dict[int, int] = {}
        tail = f',"hc":{r.hc},"id":{r.id}}}' if r.hc is not None else f',"id":{r.id}}}'
        if sh.one_level:
            self._touch_level(r, True, atb, min_keep=5)
            return "{" + ",".join(self._book(r, atb, atl)) + tail, False

        phase = 1 if self.inplay else 0
        if rng.random() < sh.move[phase]:
            gap = self._target(r) - r.mid
            if gap:
                # Far from where it is heading, the price jumps, as it does in-play.
                limit = max(3, abs(gap) // 8) if self.inplay else 1
                self._shift(r, max(-limit, min(limit, gap)), atb, atl)
            elif not self.inplay:
                self._shift(r, 1 if rng.random() < 0.5 else -1, atb, atl)

        lo, hi = sh.levels
        for _ in range(lo + int(rng.random() * (hi - lo + 1))):
            back = rng.random() < 0.5
            self._touch_level(r, back, atb if back else atl)

        traded = False
        trd: dict[int, int] = {}
        if rng.random() < sh.trade[phase]:
            traded = True
            back = rng.random() < 0.5
            side = r.atb if back else r.atl
            i = r.mid if back else r.mid + 1
            if side:
                # The best price sits next to mid almost always; walk to it
                # rather than scanning a ladder of hundreds of levels.
                step = -1 if back else 1
                while i not in side:
                    i += step
            amt = self.trade_sizes[rng.getrandbits(10)]
            r.trd[i] = r.trd.get(i, 0) + amt
            trd[i] = r.trd[i]
            r.tv += amt
            self.tv += amt
            r.ltp = i
            left = side.get(i)
            out = atb if back else atl
            if left is not None:
                if left > amt or len(side) <= 1 or i in out:
                    side[i] = max(1, left - amt)
                    out[i] = side[i]
                else:
                    del side[i]
                    out[i] = 0

        parts = self._book(r, atb, atl)
        if trd and sh.ladders != "basic":
            parts.append(self._ladder("trd", trd))
        if self.race and not self.bsp_reconciled and rng.random() < sh.sp:
            parts.append(self._sp_keys(r))
        if traded:
            parts.append(f'"ltp":{TICK_TEXT[r.ltp]}')  # type: ignore[index]
            parts.append(self._tv_text(r))
        if not parts:
            # Nothing a reader would see changed: a bare entry, as the stream sends.
            return "{" + tail[1:], traded
        return "{" + ",".join(parts) + tail, traded

    def _target(self, r: _Runner) -> int:
        """Where this runner's price is heading now.

        Pre-play prices wander around a slowly drifting level; in-play the
        winner shortens towards 1.01 and the rest drift out, along a path
        spread over the whole in-play part of the recording.
        """
        rng = self.rng
        if not self.race:
            p = 1.0 / (1.0 + math.exp(-self.logit))
            if r is not self.runners[0]:
                # The others share what the first runner's chance leaves.
                p = (1.0 - p) * r.share
            return min(TOP - 1, tick_index(1.0 / max(p, 1e-3)))
        if not self.inplay:
            if rng.random() < 0.01:
                r.home = max(0, min(TOP - 1, r.home + rng.randrange(-2, 3)))
            return r.home
        end = 0 if r.id in self.winners else TOP - 1
        t = r.home + (end - r.home) * self.inplay_frac + rng.randrange(-2, 3)
        return max(0, min(TOP - 1, int(t)))

    def _step_match(self) -> None:
        """A shared random walk of the first runner's chance, so the prices move together."""
        rng = self.rng
        self.wobble = 0.9995 * self.wobble + rng.gauss(0.0, 0.02 if self.inplay else 0.004)
        pull = self.logit_end - self.logit_start if self.inplay else 0.0
        self.logit = self.logit_start + pull * self.inplay_frac ** 2 + self.wobble

    def _sp_price(self, r: _Runner) -> int:
        base = TICK_CENTS[r.mid]
        return max(101, int(base * (0.9 + 0.2 * self.rng.random())))

    def _sp_keys(self, r: _Runner) -> str:
        rng = self.rng
        if self.shape.sp_strings and not r.sp_seen:
            r.sp_seen = True
            return '"spn":"Infinity","spf":"NaN"'
        r.sp_seen = True
        parts = []
        if rng.random() < 0.5:
            side, key = (r.spb, "spb") if rng.random() < 0.5 else (r.spl, "spl")
            i = TOP - rng.getrandbits(3) if key == "spb" else rng.getrandbits(3)
            if i in side and rng.random() < 0.3:
                del side[i]
                s = 0
            else:
                s = self.trade_sizes[rng.getrandbits(10)]
                side[i] = s
            parts.append(f'"{key}":[[{TICK_TEXT[i]},{fmt_cents(s)}]]')
        parts.append(f'"spn":{fmt_cents(self._sp_price(r))}')
        parts.append(f'"spf":{fmt_cents(self._sp_price(r))}')
        return ",".join(parts)

    # ---- changes, each the text of one "mc" entry

    def _change(self, body: str) -> str:
        return f'{{"id":"{self.market_id}"{body}}}'

    def line(self, progress: float, change: str) -> str:
        """A message of this one change, stamped by the market's own clock."""
        clk, pt = self.clock.advance(progress)
        return line(clk, pt, [change])

    def image(self) -> str:
        rcs = ",".join(self._image_change(r) for r in self.runners)
        body = f',"marketDefinition":{self._definition()},"rc":[{rcs}],"img":true'
        if self.shape.market_tv:
            body += f',"tv":{fmt_cents(self.tv)}'
        return self._change(body)

    def delta(self, progress: float) -> str:
        sh, rng = self.shape, self.rng
        if self.inplay and sh.off_at < 1.0:
            self.inplay_frac = max(0.0, min(1.0, (progress - sh.off_at) / (1.0 - sh.off_at)))
        if not self.race:
            self._step_match()
        active = [r for r in self.runners if r.status == "ACTIVE"]
        lo, hi = sh.touch
        k = min(len(active), lo + int(rng.random() * (hi - lo + 1)))
        chosen = rng.sample(active, k) if k < len(active) else active
        rcs = []
        any_trade = False
        for r in chosen:
            text, traded = self._runner_change(r)
            rcs.append(text)
            any_trade = any_trade or traded
        body = ',"rc":[' + ",".join(rcs) + "]"
        if any_trade and sh.market_tv:
            body += f',"tv":{fmt_cents(self.tv)}'
        return self._change(body)

    def event(self, ev: Event, progress: float) -> str:
        rng = self.rng
        rc = ""
        if ev.kind == "image":
            return self.image()
        if ev.kind == "suspend":
            self.status = "SUSPENDED"
        elif ev.kind == "reopen":
            self.status = "OPEN"
        elif ev.kind == "redefine":
            pass  # recordings resend unchanged definitions with a new version
        elif ev.kind == "remove":
            active = [r for r in self.runners if r.status == "ACTIVE"]
            if len(active) > 2:
                if self.shape.non_runner is not None:
                    r = self._by_place(self.shape.non_runner)
                else:
                    r = active[rng.randrange(len(active))]
                r.status = "REMOVED"
                r.removal_ms = self.clock.pt
                self._set_adjustment_factors()
                cleared = self._withdrawn(r)
                cleared.append(f'"id":{r.id}')
                rc = ',"rc":[{' + ",".join(cleared) + "}]"
                if self.shape.removed_last:
                    # The exchange lists a non-runner last from then on.
                    self.runners = [x for x in self.runners if x is not r] + [r]
                    for sort, x in enumerate(self.runners, 1):
                        x.sort = sort
        elif ev.kind == "off":
            self.status = "OPEN"
            self.inplay = True
            active = [r for r in self.runners if r.status == "ACTIVE"]
            self._pick_winner()
            for r in active:
                r.home = r.mid
            if self.runners[0].id in self.winners:
                self.logit_end = 6.0
            else:
                self.logit_end = -6.0
            self.logit_start = self.logit
            self.wobble = 0.0
            if self.reconciles:
                self.bsp_reconciled = True
                parts = []
                for r in active:
                    r.bsp = self._sp_price(r) / 100
                    sp = fmt_cents(round(r.bsp * 100))
                    parts.append(f'{{"spn":{sp},"spf":{sp},"id":{r.id}}}')
                rc = ',"rc":[' + ",".join(parts) + "]"
        elif ev.kind == "close":
            self.status = "CLOSED"
            self.settled_ms = self.clock.pt + 60_000
            self._pick_winner()
            for r in self.runners:
                if r.status == "ACTIVE":
                    r.status = "WINNER" if r.id in self.winners else "LOSER"
        elif ev.kind == "wipe":
            # After the close the exchange zeroes every traded volume and empties the ladders.
            parts = []
            for r in self.runners:
                wiped = [self._ladder("trd", dict.fromkeys(r.trd, 0))] if r.trd else []
                if self.shape.ladders == "basic":
                    wiped = []
                parts.append("{" + ",".join(wiped + ['"tv":0', f'"id":{r.id}']) + "}")
                r.trd.clear()
                r.tv = 0
            self.tv = 0
            return self._change(',"rc":[' + ",".join(parts) + '],"tv":0')
        return self._change(f',"marketDefinition":{self._definition()}{rc}')

    def _withdrawn(self, r: _Runner) -> list[str]:
        """The ladder keys of a non-runner's removal."""
        if not self.shape.removal_clears:
            # Empty lists, which change nothing: readers keep the non-runner's last prices,
            # and a strategy may still try to bet on it.
            return ['"atb":[],"atl":[]']
        mode = self.shape.ladders
        parts = []
        if mode in ("full", "mixed"):
            if r.atb:
                parts.append(self._ladder("atb", dict.fromkeys(r.atb, 0)))
            if r.atl:
                parts.append(self._ladder("atl", dict.fromkeys(r.atl, 0)))
        r.atb.clear()
        r.atl.clear()
        if mode in ("display", "mixed"):
            parts += [self._best_offers(r, True), self._best_offers(r, False)]
        return parts

    def _by_place(self, place: int) -> _Runner:
        """The runner at this place of the first definition (sort priority place + 1)."""
        return next(r for r in self.runners if r.id == self.first_order[place])

    def _pick_winner(self) -> None:
        if not self.winners:
            active = [r for r in self.runners if r.status == "ACTIVE"]
            if self.shape.winner is not None:
                self.winners = {self._by_place(self.shape.winner).id}
                return
            weights = [1.0 / TICK_CENTS[r.mid] for r in active]
            self.winners = {self.rng.choices(active, weights)[0].id}

    def schedule(self) -> list[Event]:
        sh = self.shape
        evs: list[Event] = []
        if sh.reimage_at is not None:
            evs.append(Event(sh.reimage_at, "image"))
        if not sh.lifecycle:
            return evs
        off = sh.off_at
        evs += [Event(off * 0.25, "redefine"), Event(off * 0.6, "redefine")]
        if sh.removal and (sh.runners >= 5 or sh.non_runner is not None):
            evs.append(Event(off * 0.4, "remove"))
        if sh.early_suspension:
            evs += [Event(off * 0.25 + 0.001, "suspend"), Event(off * 0.25 + 0.02, "reopen")]
        evs += [Event(off * 0.7, "suspend"), Event(off * 0.7 + 0.002, "reopen"),
                Event(off - 0.003, "suspend"), Event(off, "off")]
        if not self.race:
            for f in (0.35, 0.7):
                at = off + (1 - off) * f
                evs += [Event(at, "suspend"), Event(at + 0.0005, "reopen")]
        evs.append(Event(0.997, "suspend"))
        evs.sort(key=lambda e: e.at)
        return evs

    def ending(self) -> list[Event]:
        """What closes the recording after its last delta."""
        if not self.shape.lifecycle:
            return []
        return [Event(1.0, "close")] + ([Event(1.0, "wipe")] if self.shape.wipe_at_close else [])

