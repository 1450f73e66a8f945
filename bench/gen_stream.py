#!/usr/bin/env python3
"""Deterministic generator of recorded market-stream files.

Each line is one ``mcm`` message, shaped like real recordings: an image first
(``"img": true`` with the full market definition and every runner's ladders),
then deltas, with market definitions along the way (suspensions, a non-runner,
going in-play, settlement).  The same shape, seed and sizes always give the
same bytes, so benchmark inputs can be regenerated instead of stored.

Usable as a module::

    from gen_stream import generate
    stats = generate("bench/data/big.gz", "big")

or from the command line::

    python bench/gen_stream.py --shape big --out bench/data/big.gz

Only the standard library is used.
"""

from __future__ import annotations

import argparse
import base64
import gzip
import json
import math
import os
import queue
import random
import re
import sys
import threading
import time
import zlib
from dataclasses import dataclass, field, replace
from datetime import datetime, timezone
from typing import Iterator


# --------------------------------------------------------------------------
# Prices and sizes, kept as integer hundredths so that every value written is
# exact (no float noise such as 8.800000000000001 in the output).

def _tick_cents() -> list[int]:
    bands = [(101, 200, 1), (200, 300, 2), (300, 400, 5), (400, 600, 10),
             (600, 1000, 20), (1000, 2000, 50), (2000, 3000, 100),
             (3000, 5000, 200), (5000, 10000, 500), (10000, 100000, 1000)]
    out: list[int] = []
    for lo, hi, step in bands:
        out.extend(range(lo, hi, step))
    out.append(100000)
    return out


def fmt_cents(c: int) -> str:
    """Hundredths as the shortest decimal, as recordings write them: 2.1, 30, 18.62."""
    q, r = divmod(c, 100)
    if r == 0:
        return str(q)
    if r % 10 == 0:
        return f"{q}.{r // 10}"
    return f"{q}.{r:02d}"


TICK_CENTS = _tick_cents()
TICK_TEXT = [fmt_cents(c) for c in TICK_CENTS]
NTICKS = len(TICK_CENTS)  # 350
TOP = NTICKS - 1


def tick_index(price: float) -> int:
    """Index of the highest tick at or below ``price`` (clamped to the ladder)."""
    c = round(price * 100)
    lo, hi = 0, TOP
    if c <= TICK_CENTS[0]:
        return 0
    if c >= TICK_CENTS[TOP]:
        return TOP
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if TICK_CENTS[mid] <= c:
            lo = mid
        else:
            hi = mid - 1
    return lo


def iso_ms(ms: int) -> str:
    dt = datetime.fromtimestamp(ms // 1000, tz=timezone.utc)
    return dt.strftime("%Y-%m-%dT%H:%M:%S.") + f"{ms % 1000:03d}Z"


# --------------------------------------------------------------------------
# Shapes

@dataclass(frozen=True)
class Shape:
    name: str
    kind: str                        # "race" (horse race, WIN) or "match" (two-way in-play)
    runners: int
    messages: int | None             # exact message count, or None to fill target_bytes
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
    one_level: bool = False          # every delta changes exactly one back level of one runner
    off_at: float = 0.85             # share of the file before the market goes in-play
    market_id: str | None = None
    notes: str = ""


SHAPES: dict[str, Shape] = {
    "sample": Shape(
        "sample", "race", runners=7, messages=1200, market_id="1.234567890",
        notes="small horse race for demos"),
    "big": Shape(
        "big", "race", runners=25, messages=None, target_bytes=105_000_000,
        depth=(NTICKS, NTICKS), fill=(0.15, 0.95), touch=(3, 12), levels=(2, 8),
        trade=(0.35, 0.6), sp=0.02,
        notes=">=100 MB, 25 runners, deep ladders"),
    "huge": Shape(
        "huge", "race", runners=30, messages=None, target_bytes=320_000_000,
        depth=(NTICKS, NTICKS), fill=(0.15, 0.95), touch=(3, 12), levels=(2, 8),
        trade=(0.35, 0.6), sp=0.02,
        notes=">300 MB, 30 runners, deep ladders"),
    "one-change": Shape(
        "one-change", "race", runners=40, messages=50_000, depth=(20, 40),
        fill=(0.7, 0.9), touch=(1, 1), levels=(1, 1), move=(0.0, 0.0),
        trade=(0.0, 0.0), sp=0.0, removal=False, lifecycle=False, one_level=True,
        notes="40 runners, each delta changes one back level of one runner"),
    "inplay2": Shape(
        "inplay2", "match", runners=2, messages=200_000, depth=(20, 50),
        fill=(0.6, 0.85), touch=(1, 2), levels=(1, 3), move=(0.03, 0.08),
        trade=(0.2, 0.4), sp=0.0, removal=False, off_at=0.02,
        notes="two-runner in-play match, many small deltas"),
    "deep20": Shape(
        "deep20", "race", runners=20, messages=100_000, depth=(NTICKS, NTICKS),
        fill=(0.85, 1.0), touch=(1, 3), levels=(1, 5), trade=(0.3, 0.5),
        notes="20 runners, full-depth ladders"),
    "five": Shape(
        "five", "race", runners=5, messages=100_000, depth=(NTICKS, NTICKS),
        fill=(0.85, 1.0), touch=(1, 3), levels=(1, 5), trade=(0.3, 0.5),
        notes="as deep20 with 5 runners: same change per delta, smaller market"),
}


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
_VENUES = ["Ascot", "Newmarket", "Kempton", "Lingfield", "Sandown", "Chester",
           "Wolverhampton", "Haydock"]
_RACE_TYPES = ["Flat", "Hurdle", "Chase"]
_RACE_NAMES = ["7f Hcap", "1m Hcap", "6f Mdn Stks", "2m Nov Hrd", "1m2f Stks", "5f Hcap"]


# --------------------------------------------------------------------------
# The market model

class _Runner:
    __slots__ = ("id", "name", "sort", "status", "adj", "mid", "home", "depth",
                 "atb", "atl", "trd", "tv", "ltp", "spb", "spl", "sp_seen",
                 "removal_ms", "bsp")

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


@dataclass
class _Event:
    at: float
    kind: str
    arg: float = 0.0


@dataclass
class Stats:
    path: str
    shape: str
    market_id: str
    messages: int
    uncompressed_bytes: int
    file_bytes: int
    seconds: float
    extra: dict = field(default_factory=dict)

    def line(self) -> str:
        mbps = self.uncompressed_bytes / 1e6 / self.seconds if self.seconds else 0.0
        return (f"{self.path}: shape={self.shape} market={self.market_id} "
                f"messages={self.messages:,} uncompressed={self.uncompressed_bytes:,} B "
                f"file={self.file_bytes:,} B in {self.seconds:.1f} s ({mbps:.1f} MB/s)")


class _Market:
    def __init__(self, shape: Shape, seed: int, market_id: str):
        self.shape = shape
        self.rng = rng = random.Random(f"{shape.name}:{seed}")
        self.market_id = market_id
        self.inplay = False
        self.status = "OPEN"
        self.bsp_reconciled = False
        self.complete = True
        self.version = rng.randrange(3_000_000_000, 4_900_000_000)
        self.clk = rng.randrange(1 << 40, 1 << 56)
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
        self.market_ms = int(datetime(2024, 5, 1, hour, minute, tzinfo=timezone.utc)
                             .timestamp() * 1000)
        if shape.kind == "race":
            self.open_ms = self.market_ms - 3_600_000 * (1 + rng.randrange(3))
            self.start_ms = self.market_ms - 2 * 3_600_000
            self.end_ms = self.market_ms + 60_000 + 30_000 * rng.randrange(8)
        else:
            self.open_ms = self.market_ms
            self.start_ms = self.market_ms - 30 * 60_000
            self.end_ms = self.market_ms + 2 * 3_600_000 + 60_000 * rng.randrange(60)
        self.off_ms = self.market_ms + 1000 * rng.randrange(5, 90)
        self.pt = self.start_ms
        self.event_id = str(rng.randrange(31_000_000, 34_000_000))
        self.venue = rng.choice(_VENUES)
        self.race_type = rng.choice(_RACE_TYPES)
        self.race_name = rng.choice(_RACE_NAMES)
        self.runners = self._make_runners()
        first = TICK_CENTS[self.runners[0].mid]
        other = TICK_CENTS[self.runners[-1].mid]
        self.logit = self.logit_start = self.logit_end = math.log(other / first)
        self.wobble = 0.0
        self.inplay_frac = 0.0
        self._set_adjustment_factors()

    # ---- set-up

    def _make_runners(self) -> list[_Runner]:
        sh, rng = self.shape, self.rng
        n = sh.runners
        strengths = [rng.lognormvariate(0.0, 1.0 if sh.kind == "race" else 0.6)
                     for _ in range(n)]
        total = sum(strengths)
        ids = rng.sample(range(100_000, 60_000_000), n)
        names: list[str] = []
        if sh.kind == "match":
            names = rng.sample(_PLAYERS, n) if n <= len(_PLAYERS) else \
                [f"Player {i + 1}" for i in range(n)]
        else:
            pairs = [(a, b) for a in _FIRST for b in _SECOND]
            names = [f"{a} {b}" for a, b in rng.sample(pairs, n)]
        runners = []
        for i in range(n):
            price = max(1.05, min(900.0, total / strengths[i] * 1.03))
            mid = min(tick_index(price), TOP - 1)
            depth = sh.depth[0] + int(rng.random() * (sh.depth[1] - sh.depth[0] + 1))
            runners.append(_Runner(ids[i], names[i], i + 1, mid, depth))
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
        if sh.kind == "race" and sh.depth[1] >= NTICKS // 2:
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

    # ---- time and clocks

    def _advance(self, progress: float) -> tuple[str, int]:
        off = self.shape.off_at
        if progress < off:
            target = self.start_ms + (self.off_ms - self.start_ms) * (progress / off)
        else:
            frac = (progress - off) / (1.0 - off) if off < 1.0 else 1.0
            target = self.off_ms + (self.end_ms - self.off_ms) * frac
        pt = int(target) + self.rng.getrandbits(8)
        if pt <= self.pt:
            pt = self.pt + 1 + self.rng.getrandbits(4)
        self.pt = pt
        self.clk += 1 + self.rng.getrandbits(10)
        clk = base64.b64encode(self.clk.to_bytes(9, "little")).decode("ascii")
        return clk, pt

    # ---- market definition

    def _definition(self) -> str:
        sh = self.shape
        race = sh.kind == "race"
        self.version += 1 + self.rng.getrandbits(16)
        runners = []
        for r in self.runners:
            d: dict = {}
            if race:
                d["adjustmentFactor"] = r.adj
            d["status"] = r.status
            d["sortPriority"] = r.sort
            if r.removal_ms is not None:
                d["removalDate"] = iso_ms(r.removal_ms - r.removal_ms % 1000)
            if r.bsp is not None:
                d["bsp"] = r.bsp
            d["id"] = r.id
            d["name"] = f"{r.sort}. {r.name}" if race else r.name
            runners.append(d)
        active = sum(1 for r in self.runners if r.status == "ACTIVE")
        md: dict = {
            "bspMarket": race,
            "turnInPlayEnabled": True,
            "persistenceEnabled": True,
            "marketBaseRate": 5,
            "eventId": self.event_id,
            "eventTypeId": "7" if race else "2",
            "numberOfWinners": 1,
            "bettingType": "ODDS",
            "marketType": "WIN" if race else "MATCH_ODDS",
            "marketTime": iso_ms(self.market_ms),
            "suspendTime": iso_ms(self.market_ms),
            "bspReconciled": self.bsp_reconciled,
            "complete": self.complete,
            "inPlay": self.inplay,
            "crossMatching": self.status == "OPEN" and not self.inplay,
            "runnersVoidable": False,
            "numberOfActiveRunners": 0 if self.status == "CLOSED" else active,
            "betDelay": 5 if self.inplay else 0,
            "status": self.status,
        }
        if self.settled_ms is not None:
            md["settledTime"] = iso_ms(self.settled_ms - self.settled_ms % 1000)
        md["runners"] = runners
        md["regulators"] = ["MR_INT"]
        if race:
            md["venue"] = self.venue
        md["countryCode"] = "GB"
        md["discountAllowed"] = True
        md["timezone"] = "Europe/London"
        md["openDate"] = iso_ms(self.open_ms)
        md["version"] = self.version
        if race:
            md["raceType"] = self.race_type
            md["name"] = self.race_name
            md["eventName"] = f"{self.venue} 1st May"
        else:
            md["name"] = "Match Odds"
            md["eventName"] = " v ".join(r.name for r in self.runners)
        md["priceLadderDefinition"] = {"type": "CLASSIC"}
        return json.dumps(md, separators=(",", ":"))

    # ---- runner changes

    @staticmethod
    def _ladder(key: str, levels: dict[int, int]) -> str:
        return f'"{key}":[' + ",".join(
            [f"[{TICK_TEXT[i]},{fmt_cents(s)}]" for i, s in levels.items()]) + "]"

    def _image_change(self, r: _Runner) -> str:
        parts = []
        if r.atb:
            parts.append(self._ladder("atb", r.atb))
        if r.atl:
            parts.append(self._ladder("atl", r.atl))
        if r.trd:
            parts.append(self._ladder("trd", r.trd))
        if r.ltp is not None:
            parts.append(f'"ltp":{TICK_TEXT[r.ltp]}')
            parts.append(f'"tv":{fmt_cents(r.tv)}')
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
            for i in range(r.mid + 1, new + 1):
                if i in r.atl:
                    del r.atl[i]
                    atl[i] = 0
                s = self._new_size(None)
                r.atb[i] = s
                atb[i] = s
        elif new < r.mid:
            for i in range(new + 1, r.mid + 1):
                if i in r.atb:
                    del r.atb[i]
                    atb[i] = 0
                s = self._new_size(None)
                r.atl[i] = s
                atl[i] = s
        r.mid = new

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
        if sh.one_level:
            self._touch_level(r, True, atb, min_keep=5)
            return "{" + self._ladder("atb", atb) + f',"id":{r.id}}}', False

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

        parts = []
        if atb:
            parts.append(self._ladder("atb", atb))
        if atl:
            parts.append(self._ladder("atl", atl))
        if trd:
            parts.append(self._ladder("trd", trd))
        if sh.kind == "race" and not self.bsp_reconciled and rng.random() < sh.sp:
            parts.append(self._sp_keys(r))
        if traded:
            parts.append(f'"ltp":{TICK_TEXT[r.ltp]}')
            parts.append(f'"tv":{fmt_cents(r.tv)}')
        parts.append(f'"id":{r.id}')
        return "{" + ",".join(parts) + "}", traded

    def _target(self, r: _Runner) -> int:
        """Where this runner's price is heading now.

        Pre-play prices wander around a slowly drifting level; in-play the
        winner shortens towards 1.01 and the rest drift out, along a path
        spread over the whole in-play part of the file.
        """
        rng = self.rng
        if self.shape.kind == "match":
            p = 1.0 / (1.0 + math.exp(-self.logit))
            if r is not self.runners[0]:
                p = 1.0 - p
            return min(TOP - 1, tick_index(1.0 / max(p, 1e-3)))
        if not self.inplay:
            if rng.random() < 0.01:
                r.home = max(0, min(TOP - 1, r.home + rng.randrange(-2, 3)))
            return r.home
        end = 0 if r.id in self.winners else TOP - 1
        t = r.home + (end - r.home) * self.inplay_frac + rng.randrange(-2, 3)
        return max(0, min(TOP - 1, int(t)))

    def _step_match(self) -> None:
        """A shared random walk of the first runner's chance, so both prices move together."""
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

    # ---- messages

    def _line(self, progress: float, body: str) -> str:
        clk, pt = self._advance(progress)
        return f'{{"op":"mcm","clk":"{clk}","pt":{pt},"mc":[{{"id":"{self.market_id}"{body}}}]}}\n'

    def image(self) -> str:
        rcs = ",".join(self._image_change(r) for r in self.runners)
        body = (f',"marketDefinition":{self._definition()},"rc":[{rcs}],"img":true'
                f',"tv":{fmt_cents(self.tv)}')
        return self._line(0.0, body)

    def delta(self, progress: float) -> str:
        sh, rng = self.shape, self.rng
        if self.inplay and sh.off_at < 1.0:
            self.inplay_frac = max(0.0, min(1.0, (progress - sh.off_at) / (1.0 - sh.off_at)))
        if sh.kind == "match":
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
        if any_trade:
            body += f',"tv":{fmt_cents(self.tv)}'
        return self._line(progress, body)

    def event(self, ev: _Event, progress: float) -> str:
        rng = self.rng
        rc = ""
        if ev.kind == "suspend":
            self.status = "SUSPENDED"
        elif ev.kind == "reopen":
            self.status = "OPEN"
        elif ev.kind == "redefine":
            pass  # recordings resend unchanged definitions with a new version
        elif ev.kind == "remove":
            active = [r for r in self.runners if r.status == "ACTIVE"]
            if len(active) > 2:
                r = active[rng.randrange(len(active))]
                r.status = "REMOVED"
                r.removal_ms = self.pt
                self._set_adjustment_factors()
                cleared = []
                if r.atb:
                    cleared.append(self._ladder("atb", dict.fromkeys(r.atb, 0)))
                if r.atl:
                    cleared.append(self._ladder("atl", dict.fromkeys(r.atl, 0)))
                r.atb.clear()
                r.atl.clear()
                cleared.append(f'"id":{r.id}')
                rc = ',"rc":[{' + ",".join(cleared) + "}]"
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
            if self.shape.kind == "race":
                self.bsp_reconciled = True
                parts = []
                for r in active:
                    r.bsp = self._sp_price(r) / 100
                    sp = fmt_cents(round(r.bsp * 100))
                    parts.append(f'{{"spn":{sp},"spf":{sp},"id":{r.id}}}')
                rc = ',"rc":[' + ",".join(parts) + "]"
        elif ev.kind == "close":
            self.status = "CLOSED"
            self.settled_ms = self.pt + 60_000
            self._pick_winner()
            for r in self.runners:
                if r.status == "ACTIVE":
                    r.status = "WINNER" if r.id in self.winners else "LOSER"
        return self._line(progress, f',"marketDefinition":{self._definition()}{rc}')

    def _pick_winner(self) -> None:
        if not self.winners:
            active = [r for r in self.runners if r.status == "ACTIVE"]
            weights = [1.0 / TICK_CENTS[r.mid] for r in active]
            self.winners = {self.rng.choices(active, weights)[0].id}

    def schedule(self) -> list[_Event]:
        sh = self.shape
        if not sh.lifecycle:
            return []
        off = sh.off_at
        evs = [_Event(off * 0.25, "redefine"), _Event(off * 0.6, "redefine")]
        if sh.removal and sh.runners >= 5:
            evs.append(_Event(off * 0.4, "remove"))
        evs += [_Event(off * 0.7, "suspend"), _Event(off * 0.7 + 0.002, "reopen"),
                _Event(off - 0.003, "suspend"), _Event(off, "off")]
        if sh.kind == "match":
            for f in (0.35, 0.7):
                at = off + (1 - off) * f
                evs += [_Event(at, "suspend"), _Event(at + 0.0005, "reopen")]
        evs.append(_Event(0.997, "suspend"))
        evs.sort(key=lambda e: e.at)
        return evs


# --------------------------------------------------------------------------
# Public API

def resolve_shape(shape: str | Shape, *, messages: int | None = None,
                  runners: int | None = None, target_bytes: int | None = None) -> Shape:
    sh = SHAPES[shape] if isinstance(shape, str) else shape
    if runners is not None:
        if runners < 1:
            raise ValueError("runners must be at least 1")
        sh = replace(sh, runners=runners)
    if messages is not None:
        if messages < 1:
            raise ValueError("messages must be at least 1")
        sh = replace(sh, messages=messages, target_bytes=None)
    elif target_bytes is not None:
        sh = replace(sh, messages=None, target_bytes=target_bytes)
    return sh


_ID_IN_NAME = re.compile(r"^(\d\.\d{6,})(?:\.gz|\.gzip)?$")


def default_market_id(shape: Shape, seed: int, path: str | None = None) -> str:
    if path is not None:
        m = _ID_IN_NAME.match(os.path.basename(path))
        if m:
            return m.group(1)
    if shape.market_id is not None:
        return shape.market_id
    return f"1.{220_000_000 + zlib.crc32(shape.name.encode()) % 10_000_000 + seed}"


def iter_lines(shape: str | Shape = "sample", *, messages: int | None = None,
               runners: int | None = None, seed: int = 1, market_id: str | None = None,
               target_bytes: int | None = None) -> Iterator[str]:
    """Yield the file's lines (each ending in a newline), image first.

    With a message count the output has exactly that many lines; otherwise it
    runs until ``target_bytes`` have been produced, then closes the market.
    """
    sh = resolve_shape(shape, messages=messages, runners=runners, target_bytes=target_bytes)
    if sh.messages is None and not sh.target_bytes:
        raise ValueError("a shape needs a message count or a byte target")
    mkt = _Market(sh, seed, market_id or default_market_id(sh, seed))
    events = mkt.schedule()
    closes = sh.lifecycle
    line = mkt.image()
    produced = len(line)
    yield line

    if sh.messages is not None:
        n = sh.messages
        for i in range(1, n):
            progress = i / (n - 1)
            if closes and i == n - 1:
                line = mkt.event(_Event(1.0, "close"), 1.0)
            elif events and progress >= events[0].at:
                line = mkt.event(events.pop(0), progress)
            else:
                line = mkt.delta(progress)
            yield line
        return

    target = sh.target_bytes
    while produced < target:
        progress = produced / target
        if events and progress >= events[0].at:
            line = mkt.event(events.pop(0), progress)
        else:
            line = mkt.delta(progress)
        produced += len(line)
        yield line
    for ev in events:
        yield mkt.event(ev, 1.0)
    if closes:
        yield mkt.event(_Event(1.0, "close"), 1.0)


class _Sink:
    """Writes chunks on a second thread: zlib releases the GIL, so compression
    overlaps with building the next chunk instead of adding to it."""

    def __init__(self, path: str):
        self.tmp = f"{path}.tmp{os.getpid()}"
        self.raw = open(self.tmp, "wb")
        if path.endswith((".gz", ".gzip")):
            # No name or time in the header, so equal inputs give equal bytes.
            self.out = gzip.GzipFile(filename="", mode="wb", fileobj=self.raw,
                                     compresslevel=6, mtime=0)
        else:
            self.out = self.raw
        self.q: queue.Queue = queue.Queue(maxsize=4)
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            while (chunk := self.q.get()) is not None:
                self.out.write(chunk)
        except BaseException as exc:  # surfaced on the generating thread
            self.error = exc
            while self.q.get() is not None:
                pass

    def put(self, chunk: bytes) -> None:
        if self.error:
            raise self.error
        self.q.put(chunk)

    def finish(self, path: str, ok: bool) -> None:
        self.q.put(None)
        self.thread.join()
        if self.out is not self.raw:
            self.out.close()
        self.raw.close()
        if ok and self.error is None:
            os.replace(self.tmp, path)
        else:
            os.unlink(self.tmp)
        if self.error:
            raise self.error


def generate(path: str | os.PathLike, shape: str | Shape = "sample", *,
             messages: int | None = None, runners: int | None = None, seed: int = 1,
             market_id: str | None = None, target_bytes: int | None = None) -> Stats:
    """Write a stream file (gzip when the name ends in .gz or .gzip) and return its stats.

    The file appears only once complete, so an interrupted run never leaves a
    truncated file behind for a cache to pick up.
    """
    path = os.fspath(path)
    sh = resolve_shape(shape, messages=messages, runners=runners, target_bytes=target_bytes)
    mid = market_id or default_market_id(sh, seed, path)
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    t0 = time.perf_counter()
    sink = _Sink(path)
    count = total = 0
    buf: list[str] = []
    pending = 0
    ok = False
    try:
        for line in iter_lines(sh, seed=seed, market_id=mid):
            buf.append(line)
            pending += len(line)
            count += 1
            if pending >= 1 << 20:
                sink.put("".join(buf).encode("ascii"))
                total += pending
                buf.clear()
                pending = 0
        sink.put("".join(buf).encode("ascii"))
        total += pending
        ok = True
    finally:
        sink.finish(path, ok)
    seconds = time.perf_counter() - t0
    return Stats(path, sh.name, mid, count, total, os.path.getsize(path), seconds)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="shapes:\n" + "\n".join(
                                     f"  {s.name:11} {s.notes}" for s in SHAPES.values()))
    ap.add_argument("--shape", required=True, choices=sorted(SHAPES))
    ap.add_argument("--out", required=True, help="output path; gzip when it ends in .gz")
    ap.add_argument("--messages", type=int, help="exact number of messages (lines)")
    ap.add_argument("--runners", type=int, help="number of runners")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--market-id", help="market id (default: taken from a name like "
                                        "1.234567890.gz, else from the shape)")
    ap.add_argument("--target-mb", type=float,
                    help="grow until this many MB uncompressed (instead of --messages)")
    args = ap.parse_args(argv)
    target = int(args.target_mb * 1e6) if args.target_mb else None
    try:
        stats = generate(args.out, args.shape, messages=args.messages, runners=args.runners,
                         seed=args.seed, market_id=args.market_id, target_bytes=target)
    except ValueError as exc:
        ap.error(str(exc))
    print(stats.line())
    return 0


if __name__ == "__main__":
    sys.exit(main())
