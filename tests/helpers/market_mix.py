"""Markets of several kinds in one event-level recording, each with definitions of its own, for
the market filter and the window: race and football markets of different event types,
countries, venues, race types, betting types and flags. One market's race type changes at its
second definition and back at its third, and its market time moves (a market put back); one
has no market time, and a change before its first definition.

The recordings are the tables' event-level recordings (helpers.recordings.event_lines) with the
definitions rewritten per market, written as one event-level file, as one file per market, or
as the exchange's tar of bzip2 files.
"""

import datetime
import json

from helpers.recordings import event_lines
from helpers.table_reference import ms
from tools.recordings.archives import exchange_tar

SEED = 61
MESSAGES = 400

# What each market's definitions carry over event_lines' own; None leaves a key out.
PROFILES = [
    {"eventId": "30001", "eventTypeId": "7", "marketType": "WIN", "countryCode": "GB",
     "venue": "Ascot", "raceType": "Flat", "bettingType": "ODDS", "bspMarket": True,
     "turnInPlayEnabled": True},
    {"eventId": "30001", "eventTypeId": "7", "marketType": "PLACE", "countryCode": "GB",
     "venue": "Ascot", "raceType": "Flat", "bettingType": "ODDS", "bspMarket": True,
     "turnInPlayEnabled": False},
    {"eventId": "30002", "eventTypeId": "7", "marketType": "WIN", "countryCode": "IE",
     "venue": "Leopardstown", "raceType": "Hurdle", "bettingType": "ODDS", "bspMarket": False,
     "turnInPlayEnabled": True},
    {"eventId": "30003", "eventTypeId": "1", "marketType": "MATCH_ODDS", "countryCode": "GB",
     "venue": None, "raceType": None, "bettingType": "ODDS", "bspMarket": False,
     "turnInPlayEnabled": True},
    {"eventId": "30004", "eventTypeId": "1", "marketType": "ASIAN_HANDICAP", "countryCode": "ES",
     "venue": None, "raceType": None, "bettingType": "ASIAN_HANDICAP_DOUBLE_LINE",
     "bspMarket": False, "turnInPlayEnabled": True, "marketTime": None},
]
# The Leopardstown market is a chase at its second definition alone, a hurdle before and after
# it, and put back ten minutes from then on.
CHANGED = 2
PUT_BACK_MS = 600_000
# The market without a market time, first named by a change without a definition.
TIMELESS = 4


def market_ids(seed=SEED):
    return [f"1.23{seed:04d}{m:03d}" for m in range(len(PROFILES))]


def _iso(when_ms):
    when = datetime.datetime.fromtimestamp(when_ms / 1000, datetime.timezone.utc)
    return when.strftime("%Y-%m-%dT%H:%M:%S.") + f"{when.microsecond // 1000:03d}Z"


def _rewrite(definition, index, seen):
    definition.update(PROFILES[index])
    if index == CHANGED and seen:
        if seen == 1:
            definition["raceType"] = "Chase"
        when = ms(definition["marketTime"]) + PUT_BACK_MS
        definition["marketTime"] = _iso(when)
    for key in [k for k, v in definition.items() if v is None]:
        del definition[key]


def messages(seed=SEED):
    """The messages of the event-level recording, as dicts."""
    ids = market_ids(seed)
    out = [json.loads(line) for line in event_lines(seed, markets=len(PROFILES),
                                                    messages=MESSAGES)]
    seen = [0] * len(ids)
    for message in out:
        for change in message["mc"]:
            definition = change.get("marketDefinition")
            if definition:
                index = ids.index(change["id"])
                _rewrite(definition, index, seen[index])
                seen[index] += 1
    first = out[0]
    early = {"id": ids[TIMELESS], "rc": [{"id": 1, "atb": [[2, 5]]}]}
    return [{"op": "mcm", "clk": "0", "pt": first["pt"] - 1, "mc": [early]}, *out]


def _text(lines):
    return ("\n".join(json.dumps(line) for line in lines) + "\n").encode()


def per_market(seed=SEED):
    """(market id, event id, bytes) of a recording per market, holding its changes alone."""
    out = []
    for index, market_id in enumerate(market_ids(seed)):
        lines = []
        for message in messages(seed):
            changes = [c for c in message["mc"] if c["id"] == market_id]
            if changes:
                lines.append({**message, "mc": changes})
        out.append((market_id, PROFILES[index]["eventId"], _text(lines)))
    return out


def write(folder, kind, seed=SEED):
    """The recordings as a source of `kind`: "event" (one event-level file), "lone" (a file per
    market, as a list) or "tar" (the exchange's tar of a bzip2 file per market)."""
    if kind == "event":
        path = folder / "event.json"
        path.write_bytes(_text(messages(seed)))
        return str(path)
    markets = per_market(seed)
    if kind == "lone":
        paths = []
        for market_id, _, data in markets:
            path = folder / f"{market_id}.json"
            path.write_bytes(data)
            paths.append(str(path))
        return paths
    members = [(f"PRO/2024/May/1/{event_id}/{market_id}", data)
               for market_id, event_id, data in markets]
    return exchange_tar(folder / "data.tar", members)
