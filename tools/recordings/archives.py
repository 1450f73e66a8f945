"""Recordings packed as users hold them: compressed files, tar and zip archives, and the
exchange's own historic-data layout, a plain tar of `<path>/<event id>/<market id>.bz2`
members, one bzip2 recording per market (and, in some downloads, one per event)."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import math
import os
import random
import tarfile
import zipfile
import zlib
from dataclasses import dataclass, replace
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from .market import VENUES, Shape, horse_names
from .stream import iter_lines, merge

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
SUFFIX = {"plain": "", "gzip": ".gz", "bzip2": ".bz2", "zstd": ".zst", "xz": ".xz"}


def _zstd(data: bytes) -> bytes:
    import zstandard

    # The zstd tool writes a checksum by default; without one, damage can pass unseen.
    return zstandard.ZstdCompressor(write_checksum=True).compress(data)


COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    # Fixed headers (no time stamp) so that equal recordings give equal bytes.
    "gzip": lambda data: gzip.compress(data, mtime=0),
    "bzip2": bz2.compress,
    "zstd": _zstd,
    "xz": lambda data: lzma.compress(data, format=lzma.FORMAT_XZ),
}

ZIP_METHODS = {
    "stored": zipfile.ZIP_STORED,
    "deflate": zipfile.ZIP_DEFLATED,
    "bzip2": zipfile.ZIP_BZIP2,
    "lzma": zipfile.ZIP_LZMA,
}


def compress(kind: str, data: bytes) -> bytes:
    """`data` compressed as `kind` ("plain" leaves it as it is)."""
    return data if kind == "plain" else COMPRESSORS[kind](data)


def zstd_frame(data: bytes) -> bytes:
    """One zstd frame of raw blocks, made without an encoder: still a frame a decoder has to
    walk, for callers that have only the standard library."""
    out = bytearray(b"\x28\xb5\x2f\xfd")
    out += bytes([0xA0]) + len(data).to_bytes(4, "little")  # one segment, 4-byte content size
    blocks = [data[i:i + 65536] for i in range(0, len(data), 65536)] or [b""]
    for n, block in enumerate(blocks):
        last = 1 if n == len(blocks) - 1 else 0
        out += ((len(block) << 3) | last).to_bytes(4, "little")[:3] + block
    return bytes(out)


def gzip_member(data: bytes, *, name: bytes | None = None, comment: bytes | None = None,
                extra: bytes | None = None, hcrc: bool = False, mtime: int = 0) -> bytes:
    """One gzip member with whichever optional header fields are given."""
    flags = 0
    header = bytearray(b"\x1f\x8b\x08\x00" + mtime.to_bytes(4, "little") + b"\x00\x03")
    if extra is not None:
        flags |= 4
        header += len(extra).to_bytes(2, "little") + extra
    if name is not None:
        flags |= 8
        header += name + b"\x00"
    if comment is not None:
        flags |= 16
        header += comment + b"\x00"
    if hcrc:
        flags |= 2
    header[3] = flags
    if hcrc:
        header += (zlib.crc32(bytes(header)) & 0xFFFF).to_bytes(2, "little")
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    return (bytes(header) + body + zlib.crc32(data).to_bytes(4, "little")
            + (len(data) & 0xFFFFFFFF).to_bytes(4, "little"))


def tar_entry(name: str, kind: bytes, **fields: Any) -> tarfile.TarInfo:
    """A tar entry of a kind other than a regular file (tarfile.SYMTYPE, DIRTYPE, ...)."""
    info = tarfile.TarInfo(name)
    info.type = kind
    for key, value in fields.items():
        setattr(info, key, value)
    return info


def tar_bytes(members: Iterable[tuple[str, bytes | None] | tarfile.TarInfo],
              compression: str = "plain", *, tar_format: int = tarfile.PAX_FORMAT) -> bytes:
    """A tar of `members`: (name, bytes) pairs for files, (name, None) for folders, TarInfo
    for entries of other kinds; compressed as a whole as `compression` says."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tar_format) as tar:
        for member in members:
            if isinstance(member, tarfile.TarInfo):
                tar.addfile(member)
                continue
            name, data = member
            if data is None:
                tar.addfile(tar_entry(name, tarfile.DIRTYPE))
                continue
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return compress(compression, out.getvalue())


def zip_bytes(members: Iterable[tuple], method: str = "deflate", *,
              change: Callable[[list[zipfile.ZipInfo]], None] | None = None) -> bytes:
    """A zip of (name, bytes) members, or (name, bytes, zipfile method) for a method of the
    member's own. `change(infos)` may alter the central directory's records before they are
    written, for archives that lie about their members."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression=ZIP_METHODS[method]) as archive:
        for name, data, *own in members:
            archive.writestr(name, data, compress_type=own[0] if own else None)
        if change is not None:
            change(archive.filelist)
    return out.getvalue()


class TarWriter:
    """A tar written member by member, each folder entered before what it holds, as the
    exchange's downloads are; fixed owners and times keep the bytes reproducible."""

    def __init__(self, path: str | os.PathLike, tar_format: int = tarfile.GNU_FORMAT):
        self.tar = tarfile.open(path, "w", format=tar_format, copybufsize=1 << 20)
        self.folders: set[str] = set()

    def _info(self, name: str, kind: bytes, size: int = 0) -> tarfile.TarInfo:
        info = tarfile.TarInfo(name)
        info.type, info.size, info.mtime = kind, size, 1_714_521_600
        info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
        return info

    def _folder(self, name: str) -> None:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            folder = "/".join(parts[:i])
            if folder not in self.folders:
                self.folders.add(folder)
                self.tar.addfile(self._info(folder, tarfile.DIRTYPE))

    def add(self, name: str, data: bytes) -> None:
        self._folder(name)
        self.tar.addfile(self._info(name, tarfile.REGTYPE, len(data)), io.BytesIO(data))

    def add_file(self, name: str, path: Path) -> None:
        self._folder(name)
        with open(path, "rb") as f:
            self.tar.addfile(self._info(name, tarfile.REGTYPE, path.stat().st_size), f)

    def add_entry(self, info: tarfile.TarInfo) -> None:
        self.tar.addfile(info)

    def close(self) -> None:
        self.tar.close()

    def __enter__(self) -> TarWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def exchange_tar(path: str | os.PathLike, recordings: Iterable[tuple[str, bytes]],
                 tar_format: int = tarfile.GNU_FORMAT,
                 extra: Sequence[tarfile.TarInfo] = ()) -> str:
    """A plain tar as the exchange ships its data: folders entered before what they hold, one
    bzip2 file per recording. `recordings` are (relative name, text) pairs; `extra` entries
    go after the first member."""
    with TarWriter(path, tar_format) as tar:
        for index, (name, data) in enumerate(recordings):
            tar.add(name + ".bz2", bz2.compress(data))
            if index == 0:
                for entry in extra:
                    tar.add_entry(entry)
    return str(path)


# --------------------------------------------------------------------------
# The exchange's layout: events of markets, each market one recording


@dataclass(frozen=True)
class MarketPlan:
    market_id: str
    shape: Shape          # with its size: messages or target_bytes
    seed: int

    def text(self) -> bytes:
        return "".join(iter_lines(self.shape, seed=self.seed,
                                  market_id=self.market_id)).encode("ascii")


@dataclass(frozen=True)
class EventPlan:
    folder: str           # <path>/<event id>, e.g. PRO/2024/May/1/33012345
    event_id: str
    markets: tuple[MarketPlan, ...]


def event_text(texts: Iterable[bytes]) -> bytes:
    """The event-level recording of its markets' recordings: their lines by publish time."""
    streams = [t.decode("ascii").splitlines(keepends=True) for t in texts]
    return "".join(merge(*streams)).encode("ascii")


def write_tree(events: Iterable[EventPlan], root: Path, *, event_files: bool = True) -> list[Path]:
    """Each market's recording as a plain file named by its market id in its event's folder,
    and, with `event_files`, one named by the event id holding all of them by publish time."""
    files = []
    for event in events:
        folder = root / event.folder
        folder.mkdir(parents=True, exist_ok=True)
        texts = []
        for plan in event.markets:
            path = folder / plan.market_id
            texts.append(plan.text())
            path.write_bytes(texts[-1])
            files.append(path)
        if event_files:
            path = folder / event.event_id
            path.write_bytes(event_text(texts))
            files.append(path)
    return sorted(files)


def official_tar(path: str | os.PathLike, events: Iterable[EventPlan], *,
                 event_files: bool = False, compression: str = "bzip2") -> str:
    """The exchange's historic-data download: a plain tar of `<folder>/<market id>.bz2`, one
    compressed recording per market (and `<folder>/<event id>.bz2` with `event_files`)."""
    with TarWriter(path) as tar:
        for event in events:
            texts = []
            for plan in event.markets:
                texts.append(plan.text())
                tar.add(f"{event.folder}/{plan.market_id}{SUFFIX[compression]}",
                        compress(compression, texts[-1]))
            if event_files:
                tar.add(f"{event.folder}/{event.event_id}{SUFFIX[compression]}",
                        compress(compression, event_text(texts)))
    return str(path)


# (market type, name, betting type, runners); "{home}" and "{away}" are the teams. Handicap
# markets list their lines in HANDICAP_LINES instead of runners.
FOOTBALL_MARKETS: tuple[tuple[str, str, str, tuple[str, ...]], ...] = (
    ("MATCH_ODDS", "Match Odds", "ODDS", ("{home}", "{away}", "The Draw")),
    *((f"OVER_UNDER_{g}5", f"Over/Under {g}.5 Goals", "ODDS",
       (f"Under {g}.5 Goals", f"Over {g}.5 Goals")) for g in range(9)),
    *((f"FIRST_HALF_GOALS_{g}5", f"First Half Goals {g}.5", "ODDS",
       (f"Under {g}.5 Goals", f"Over {g}.5 Goals")) for g in range(3)),
    ("CORRECT_SCORE", "Correct Score", "ODDS",
     tuple(f"{h} - {a}" for h in range(4) for a in range(4))
     + ("Any Other Home Win", "Any Other Away Win", "Any Other Draw")),
    ("HALF_TIME", "Half Time", "ODDS", ("{home}", "{away}", "The Draw")),
    ("HALF_TIME_FULL_TIME", "Half Time/Full Time", "ODDS",
     tuple(f"{a}/{b}" for a in ("{home}", "Draw", "{away}") for b in ("{home}", "Draw", "{away}"))),
    ("HALF_TIME_SCORE", "Half Time Score", "ODDS",
     tuple(f"{h} - {a}" for h in range(3) for a in range(3)) + ("Any Unquoted",)),
    ("BOTH_TEAMS_TO_SCORE", "Both teams to Score?", "ODDS", ("Yes", "No")),
    ("DOUBLE_CHANCE", "Double Chance", "ODDS", ("Home or Draw", "Draw or Away", "Home or Away")),
    ("DRAW_NO_BET", "Draw no Bet", "ODDS", ("{home}", "{away}")),
    ("TEAM_A_1", "{home} +1", "ODDS", ("{home} +1", "{away} -1", "Draw")),
    ("TEAM_B_1", "{away} +1", "ODDS", ("{away} +1", "{home} -1", "Draw")),
    ("MATCH_ODDS_AND_OU_25", "Match Odds and Over/Under 2.5 goals", "ODDS",
     tuple(f"{t}/{g} 2.5 Goals" for t in ("{home}", "{away}", "Draw") for g in ("Under", "Over"))),
    ("MATCH_ODDS_AND_BTTS", "Match Odds and Both teams to Score", "ODDS",
     tuple(f"{t}/{b}" for t in ("{home}", "{away}", "Draw") for b in ("Yes", "No"))),
    ("ASIAN_HANDICAP", "Asian Handicap", "ASIAN_HANDICAP_DOUBLE_LINE", ("{home}", "{away}")),
    ("ALT_TOTAL_GOALS", "Goal Lines", "ASIAN_HANDICAP_SINGLE_LINE", ("Under", "Over")),
)
HANDICAP_LINES = (-1.5, -1.25, -1.0, -0.75, -0.5, -0.25, 0.0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5)
_TEAMS = ("Arlington", "Brackwater", "Calder Vale", "Dunmore", "Eastleigh Town", "Farrow",
          "Glenhaven", "Holloway", "Ironbridge", "Kestrel Park", "Larkfield", "Marston",
          "Northgate", "Oakridge", "Port Ellis", "Redcliffe")
_FIXED_IDS = {"The Draw": 58805, "Draw": 58805, "Yes": 30246, "No": 110503}


def _selection_id(name: str, teams: dict[str, int]) -> int:
    # The exchange keeps one id per selection across markets: a team's id is the team's, and
    # texts such as "Over 2.5 Goals" have ids of their own wherever they appear.
    if name in teams:
        return teams[name]
    return _FIXED_IDS.get(name, 40_000 + zlib.crc32(name.encode()) % 9_000_000)


def _size(rng: random.Random, sizes: tuple[int, int], main: bool) -> int:
    lo, hi = sizes
    draw = math.exp(rng.uniform(math.log(lo), math.log(hi)))
    if main:  # the main markets of an event are the most traded
        draw = max(draw, math.exp(rng.uniform(math.log(lo), math.log(hi))))
    return int(draw)


def _ms(day: datetime) -> int:
    return int(day.timestamp() * 1000)


def football_event(rng: random.Random, folder: str, event_id: str, kickoff_ms: int,
                   next_market: Callable[[], str], *, sizes: tuple[int, int],
                   markets: int | None = None) -> EventPlan:
    """A football match of about 25 markets, each a recording sized from `sizes` (uncompressed
    bytes, drawn log-uniformly; the main markets drawn larger)."""
    home, away = rng.sample(_TEAMS, 2)
    teams = {home: rng.randrange(40_000, 90_000_000), away: rng.randrange(40_000, 90_000_000)}
    plans = []
    catalogue = FOOTBALL_MARKETS if markets is None else FOOTBALL_MARKETS[:markets]
    for market_type, name, betting_type, runners in catalogue:
        names = [r.format(home=home, away=away) for r in runners]
        handicaps: tuple[float, ...] | None = None
        if betting_type.startswith("ASIAN"):
            lines = HANDICAP_LINES if betting_type.endswith("DOUBLE_LINE") else tuple(
                g + 0.5 for g in range(6))
            two = names
            names = [n for _ in lines for n in two]
            if betting_type.endswith("DOUBLE_LINE"):
                handicaps = tuple(h for line_ in lines for h in (line_, -line_))
            else:
                handicaps = tuple(h for line_ in lines for h in (line_, line_))
        ids = tuple(_selection_id(n, teams) for n in names)
        main = market_type in ("MATCH_ODDS", "OVER_UNDER_25", "CORRECT_SCORE")
        shape = Shape(
            name=f"football-{market_type}", kind="match", runners=len(names), messages=None,
            target_bytes=_size(rng, sizes, main), depth=(5, 25), touch=(1, 3), levels=(1, 3),
            move=(0.03, 0.1), trade=(0.2, 0.4), sp=0.0, removal=False, off_at=0.6,
            market_type=market_type, market_name=name.format(home=home, away=away),
            betting_type=betting_type, event_type_id="1", event_id=event_id,
            event_name=f"{home} v {away}", selection_ids=ids, runner_names=tuple(names),
            handicaps=handicaps, market_ms=kickoff_ms, bsp=False, opens_days_before=5)
        plans.append(MarketPlan(next_market(), shape, rng.randrange(1 << 30)))
    return EventPlan(folder, event_id, tuple(plans))


def race_meeting(rng: random.Random, folder: str, event_id: str, first_race_ms: int,
                 next_market: Callable[[], str], *, sizes: tuple[int, int],
                 races: int = 3) -> EventPlan:
    """A meeting of horse races, each a WIN and a PLACE market of the same runners."""
    venue = rng.choice(VENUES)
    when = datetime.fromtimestamp(first_race_ms / 1000, timezone.utc)
    day = when.day
    suffix = "th" if 10 <= day % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(day % 10, "th")
    event_name = f"{venue} {day}{suffix} {MONTHS[when.month - 1]}"
    race_type = rng.choice(("Flat", "Hurdle", "Chase"))
    plans = []
    for race in range(races):
        runners = rng.randint(6, 14)
        ids = tuple(rng.sample(range(100_000, 60_000_000), runners))
        names = tuple(f"{i + 1}. {n}" for i, n in enumerate(horse_names(rng, runners)))
        off_ms = first_race_ms + race * 35 * 60_000
        distance = rng.choice(("5f", "6f", "7f", "1m", "1m2f", "2m", "2m4f"))
        kind = rng.choice(("Hcap", "Mdn Stks", "Nov Hrd", "Stks", "Claim"))
        # The same runner is withdrawn from both markets, and the same one wins.
        non_runner, winner = rng.sample(range(runners), 2)
        common = dict(kind="race", runners=runners, messages=None, selection_ids=ids,
                      non_runner=non_runner, winner=winner,
                      runner_names=names, event_id=event_id, event_name=event_name,
                      venue=venue, race_type=race_type, market_ms=off_ms, depth=(10, 40),
                      event_type_id="7", opens_days_before=1)
        win = Shape(name="race-WIN", target_bytes=_size(rng, sizes, True), market_type="WIN",
                    market_name=f"{distance} {kind}", **common)  # type: ignore[arg-type]
        place = replace(win, name="race-PLACE", target_bytes=_size(rng, sizes, False),
                        market_type="PLACE", market_name="To Be Placed",
                        number_of_winners=3 if runners >= 8 else 2)
        plans += [MarketPlan(next_market(), win, rng.randrange(1 << 30)),
                  MarketPlan(next_market(), place, rng.randrange(1 << 30))]
    return EventPlan(folder, event_id, tuple(plans))


def official_events(seed: int = 1, *, football: int = 2, meetings: int = 2,
                    races: tuple[int, int] = (2, 4), sizes: tuple[int, int] = (100_000, 20_000_000),
                    football_markets: int | None = None, root: str = "PRO",
                    year: int = 2024, month: int = 5) -> list[EventPlan]:
    """Football matches and race meetings of one month, as the exchange's download holds them:
    folders `<root>/<year>/<month>/<day>/<event id>`. Recordings are sized from `sizes`
    (uncompressed bytes): the real ones run from about 100 KB to tens of MB."""
    rng = random.Random(f"official:{seed}")
    counter = [230_000_000 + rng.randrange(10_000_000)]

    def next_market() -> str:
        counter[0] += 1 + rng.randrange(50)
        return f"1.{counter[0]}"

    events = []
    kinds = ["football"] * football + ["meeting"] * meetings
    for index, kind in enumerate(kinds):
        day = 1 + (index * 3) % 28
        event_id = str(33_000_000 + 1_000 * index + rng.randrange(1_000))
        folder = f"{root}/{year}/{MONTHS[month - 1]}/{day}/{event_id}"
        hour = 12 + rng.randrange(8)
        start = _ms(datetime(year, month, day, hour, 5 * rng.randrange(12), tzinfo=timezone.utc))
        if kind == "football":
            events.append(football_event(rng, folder, event_id, start, next_market, sizes=sizes,
                                         markets=football_markets))
        else:
            events.append(race_meeting(rng, folder, event_id, start, next_market, sizes=sizes,
                                       races=rng.randint(*races)))
    return events
