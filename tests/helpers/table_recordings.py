"""Recordings for the table tests: several markets interleaved in one file, shaped like real
event-level recordings (an image per market, deltas, starting prices, definitions for a
withdrawal, the off and settlement).

`peer_safe=True` keeps to what betfairutil (through betfairlightweight) reads the same way as
vantrel: no second image of a market and no unlisted runners.
"""

import gzip
import json
import random

TICKS = [c for lo, hi, step in ((101, 200, 1), (200, 300, 2), (300, 400, 5), (400, 1000, 10),
                                (1000, 2000, 50), (2000, 10001, 500)) for c in range(lo, hi, step)]
START = 1_714_560_000_000  # 2024-05-01T10:40:00Z


def _number(cents):
    return cents // 100 if cents % 100 == 0 else cents / 100


def _iso(ms):
    import datetime

    when = datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc)
    return when.strftime("%Y-%m-%dT%H:%M:%S.") + f"{when.microsecond // 1000:03d}Z"


class _Market:
    def __init__(self, rng, market_id, runners, market_time):
        self.rng = rng
        self.id = market_id
        self.ids = rng.sample(range(10_000, 9_000_000), runners)
        self.status = dict.fromkeys(self.ids, "ACTIVE")
        self.removal = {}
        self.bsp = {}
        self.book = {i: {"atb": {}, "atl": {}, "trd": {}} for i in self.ids}
        self.mid = {i: rng.randrange(20, len(TICKS) - 20) for i in self.ids}
        self.tv = dict.fromkeys(self.ids, 0)
        self.state = {"status": "OPEN", "inPlay": False}
        self.market_time = market_time
        self.version = rng.randrange(10**9)

    def definition(self):
        self.version += 1
        runners = []
        for order, rid in enumerate(self.ids, 1):
            entry = {"id": rid, "sortPriority": order, "status": self.status[rid],
                     "name": f"Runner {rid}", "adjustmentFactor": round(100 / len(self.ids), 2)}
            if rid in self.removal:
                entry["removalDate"] = self.removal[rid]
            if rid in self.bsp:
                entry["bsp"] = self.bsp[rid]
            runners.append(entry)
        return {"eventId": "33000123", "eventTypeId": "7", "eventName": "Ascot 1st May",
                "name": f"R{self.id[-1]} 1m Hcap", "marketType": "WIN", "countryCode": "GB",
                "venue": "Ascot", "marketTime": _iso(self.market_time),
                "openDate": _iso(self.market_time - 3_600_000), "numberOfWinners": 1,
                "bettingType": "ODDS", "bspMarket": True, "turnInPlayEnabled": True,
                "version": self.version, "betDelay": 5 if self.state["inPlay"] else 0,
                "runners": runners, **self.state}

    def _levels(self, rid, side, count):
        book, mid, changed = self.book[rid][side], self.mid[rid], {}
        for _ in range(count):
            offset = self.rng.randrange(0, 12)
            cents = TICKS[mid - offset if side == "atb" else mid + 1 + offset]
            size = 0 if cents in book and self.rng.random() < 0.3 else self.rng.randrange(1, 50_000)
            if size:
                book[cents] = size
            else:
                book.pop(cents, None)
            changed[cents] = size
        return [[_number(c), _number(s)] for c, s in changed.items()]

    def runner_change(self, rid, image=False):
        change = {"id": rid}
        self.mid[rid] = max(14, min(len(TICKS) - 14, self.mid[rid] + self.rng.randrange(-1, 2)))
        for side in ("atb", "atl"):
            if image or self.rng.random() < 0.7:
                change[side] = self._levels(rid, side, 16 if image else self.rng.randrange(1, 4))
        if image or self.rng.random() < 0.4:
            cents = TICKS[self.mid[rid] + self.rng.choice((0, 1))]
            trd = self.book[rid]["trd"]
            trd[cents] = trd.get(cents, 0) + self.rng.randrange(1, 20_000)
            self.tv[rid] += 1
            change.update(trd=[[_number(c), _number(v)] for c, v in sorted(trd.items())
                               if image or c == cents],
                          ltp=_number(cents), tv=_number(sum(trd.values())))
        if self.rng.random() < 0.1:
            near = self.rng.choice(["Infinity", "NaN", _number(TICKS[self.mid[rid]])])
            change.update(spn=near, spf=_number(TICKS[self.mid[rid] + 2]))
        return change

    def image(self):
        return {"id": self.id, "img": True, "marketDefinition": self.definition(),
                "rc": [self.runner_change(r, image=True) for r in self.ids]}

    def withdraw(self, at):
        rid = self.rng.choice([r for r in self.ids if self.status[r] == "ACTIVE"])
        self.status[rid] = "REMOVED"
        self.removal[rid] = _iso(at)
        cleared = {side: [[_number(c), 0] for c in self.book[rid][side]] for side in ("atb", "atl")}
        for side in ("atb", "atl"):
            self.book[rid][side].clear()
        return {"id": self.id, "marketDefinition": self.definition(), "rc": [{"id": rid, **cleared}]}

    def event(self, kind):
        if kind == "suspend":
            self.state["status"] = "SUSPENDED"
        elif kind == "reopen":
            self.state["status"] = "OPEN"
        elif kind == "off":
            self.state["inPlay"] = True
        elif kind == "settle":
            winner = self.rng.choice([r for r in self.ids if self.status[r] == "ACTIVE"])
            for rid in self.ids:
                if self.status[rid] == "ACTIVE":
                    self.status[rid] = "WINNER" if rid == winner else "LOSER"
                    self.bsp[rid] = _number(TICKS[self.mid[rid]])
            self.state["status"] = "CLOSED"
        return {"id": self.id, "marketDefinition": self.definition()}

    def delta(self):
        active = [r for r in self.ids if self.status[r] == "ACTIVE"]
        chosen = self.rng.sample(active, self.rng.randrange(1, min(3, len(active)) + 1))
        return {"id": self.id, "rc": [self.runner_change(r) for r in chosen]}


def lines(seed, markets=3, messages=240, peer_safe=True):
    """The lines of one recording: `markets` markets, their messages interleaved."""
    rng = random.Random(seed)
    pt = START + rng.randrange(10**6)
    span = messages * 2500
    pending = []
    for m in range(markets):
        market = _Market(rng, f"1.23{seed:04d}{m:03d}", rng.randrange(3, 9), pt + span * 7 // 10)
        events = {messages // 6: "withdraw", messages // 3: "suspend", messages // 3 + 1: "reopen",
                  messages * 3 // 4: "off", messages - 1: "settle"}
        if not peer_safe:
            events[messages // 2] = "image"
        pending.append((market, events))
    out = []
    for m, (market, _) in enumerate(pending):
        pt += rng.randrange(1, 3000)
        out.append({"op": "mcm", "clk": str(m), "pt": pt, "mc": [market.image()]})
    for i in range(1, messages):
        pt += rng.randrange(1, 5000)
        changes = []
        for market, events in pending:
            event = events.get(i)
            if event == "withdraw":
                changes.append(market.withdraw(pt))
            elif event == "image":
                changes.append(market.image())
            elif event:
                changes.append(market.event(event))
            elif market.state["status"] == "OPEN" and rng.random() < 0.5:
                changes.append(market.delta())
        if changes:
            out.append({"op": "mcm", "clk": str(i), "pt": pt, "mc": changes})
    return [json.dumps(line) for line in out]


def write(path, seed, **options):
    data = ("\n".join(lines(seed, **options)) + "\n").encode()
    path.write_bytes(gzip.compress(data) if str(path).endswith(".gz") else data)
    return str(path)


def exchange_recordings(seed, count, long_names=False):
    """(name, bytes) of `count` recordings of 1 to 3 markets named as in the exchange's archives:
    PRO/<year>/<month>/<day>/<event>/<market id>; with `long_names`, every third one in a folder
    past the 100 bytes a plain tar header holds."""
    out = []
    for i in range(count):
        data = "\n".join(lines(seed + i, markets=1 + i % 3, messages=50 + 25 * i)) + "\n"
        folder = f"PRO/2024/May/{1 + i // 3}/3300{i // 3}"
        if long_names and i % 3 == 1:
            folder += "/" + "x" * 120
        out.append((f"{folder}/1.2{seed:03d}{i:05d}", data.encode()))
    return out


# The texts a definition may leave out, as a football market has no venue, country or runner
# names: tables of such a file have string columns that are null throughout.
OPTIONAL_TEXTS = ("eventName", "name", "marketType", "countryCode", "venue")


def write_without_texts(path, seed, **options):
    """A recording of `lines(seed)` whose definitions carry none of OPTIONAL_TEXTS."""
    out = []
    for line in lines(seed, **options):
        message = json.loads(line)
        for change in message["mc"]:
            definition = change.get("marketDefinition")
            if definition:
                for key in OPTIONAL_TEXTS:
                    definition.pop(key, None)
                for runner in definition["runners"]:
                    runner.pop("name", None)
        out.append(json.dumps(message))
    path.write_bytes(("\n".join(out) + "\n").encode())
    return str(path)
