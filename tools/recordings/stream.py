"""Recordings as lines: one market's, several markets' of one event, and the files they go to."""

from __future__ import annotations

import bz2
import gzip
import heapq
import json
import lzma
import os
import queue
import random
import re
import threading
import time
import zlib
from dataclasses import dataclass, field, replace
from typing import IO, Any, Iterable, Iterator

from .market import Clock, Market, Shape, line
from .shapes import SHAPES


def resolve_shape(shape: str | Shape = "sample", *, messages: int | None = None,
                  runners: int | None = None, target_bytes: int | None = None,
                  **knobs: Any) -> Shape:
    """A named shape (SHAPES) or a Shape, with the sizes and any other of its fields changed."""
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
    if knobs:
        sh = replace(sh, **knobs)
    return sh


_ID_IN_NAME = re.compile(r"^(\d\.\d{6,})(?:\.gz|\.gzip|\.bz2|\.xz)?$")


def default_market_id(shape: Shape, seed: int, path: str | None = None) -> str:
    if path is not None:
        m = _ID_IN_NAME.match(os.path.basename(path))
        if m:
            return m.group(1)
    if shape.market_id is not None:
        return shape.market_id
    return f"1.{220_000_000 + zlib.crc32(shape.name.encode()) % 10_000_000 + seed}"


def _market_lines(mkt: Market) -> Iterator[str]:
    sh = mkt.shape
    events = mkt.schedule()
    ending = mkt.ending()
    text = mkt.line(0.0, mkt.image())
    produced = len(text)
    yield text

    if sh.messages is not None:
        n = sh.messages
        for i in range(1, n):
            progress = i / (n - 1)
            if ending and i == n - 1:
                yield mkt.line(1.0, mkt.event(ending[0], 1.0))
            elif events and (progress >= events[0].at
                             or sh.whole_life and len(events) >= n - 1 - i):
                # With whole_life, once the messages left only just hold the events left,
                # they are all events.
                yield mkt.line(progress, mkt.event(events.pop(0), progress))
            else:
                yield mkt.line(progress, mkt.delta(progress))
        for ev in ending[1:]:
            yield mkt.line(1.0, mkt.event(ev, 1.0))
        return

    target = sh.target_bytes or 0
    while produced < target:
        progress = produced / target
        if events and progress >= events[0].at:
            text = mkt.line(progress, mkt.event(events.pop(0), progress))
        else:
            text = mkt.line(progress, mkt.delta(progress))
        produced += len(text)
        yield text
    for ev in events + ending:
        yield mkt.line(1.0, mkt.event(ev, 1.0))


def iter_lines(shape: str | Shape = "sample", *, messages: int | None = None,
               runners: int | None = None, seed: int = 1, market_id: str | None = None,
               target_bytes: int | None = None, **knobs: Any) -> Iterator[str]:
    """Yield one market's recording, a line (ending in a newline) a message, image first.

    With a message count the recording has exactly that many lines (one more with
    `wipe_at_close`); otherwise it runs until ``target_bytes`` have been produced, then closes
    the market. `knobs` are any other fields of the Shape.
    """
    sh = resolve_shape(shape, messages=messages, runners=runners, target_bytes=target_bytes,
                       **knobs)
    if sh.messages is None and not sh.target_bytes:
        raise ValueError("a shape needs a message count or a byte target")
    return _market_lines(Market(sh, seed, market_id or default_market_id(sh, seed)))


def messages(shape: str | Shape = "sample", **options: Any) -> list[dict]:
    """iter_lines(...) as dicts, for tests that change or look into the messages."""
    return [json.loads(text) for text in iter_lines(shape, **options)]


def event_lines(shapes: list[Shape], *, seed: int = 1, messages: int = 240,
                market_ids: list[str] | None = None, activity: float = 0.5) -> Iterator[str]:
    """An event-level recording: several markets on one clock, each message holding the
    changes of every market that changed then. Each market gets an image of its own first;
    then each message carries a market's due event, or, with chance `activity` while it is
    open, a delta; the last closes them all at once. The shapes' message counts only place
    their times when they have a fixed step; the clock is the first market's."""
    rng = random.Random(f"event:{seed}")
    ids = market_ids or [f"1.{230_000_000 + 1000 * seed + i}" for i in range(len(shapes))]
    markets = [Market(sh, rng.randrange(1 << 30), market_id)
               for sh, market_id in zip(shapes, ids)]
    first = markets[0].clock
    clock = Clock(rng, first.clk, first.start_ms, first.off_ms, first.end_ms, first.off_at,
                  first.step_ms, first.jitter_ms)
    plans = [m.schedule() for m in markets]
    for m in markets:
        yield line(*clock.advance(0.0), [m.image()])
    for i in range(1, messages - 1):
        progress = i / (messages - 1)
        changes = []
        for m, plan in zip(markets, plans):
            if plan and progress >= plan[0].at:
                changes.append(m.event(plan.pop(0), progress))
            elif m.status == "OPEN" and rng.random() < activity:
                changes.append(m.delta(progress))
        if not changes:
            m = rng.choice(markets)
            changes.append(m.delta(progress))
        yield line(*clock.advance(progress), changes)
    ends = [m.ending() for m in markets]
    for step in range(max(map(len, ends), default=0)):
        changes = [m.event(end[step], 1.0) for m, end in zip(markets, ends) if len(end) > step]
        yield line(*clock.advance(1.0), changes)


_PT = re.compile(r'"pt":\s*(\d+)')


def publish_time(text: str | bytes) -> int:
    found = _PT.search(text if isinstance(text, str) else text.decode("ascii", "replace"))
    return int(found.group(1)) if found else 0


def merge(*recordings: Iterable[str]) -> list[str]:
    """Lines of several recordings as one file holds a whole event: in publish-time order."""
    return list(heapq.merge(*recordings, key=publish_time))


def interleave(*recordings: list[dict]) -> list[dict]:
    """One event-level recording of several markets' messages (dicts): in publish-time order,
    the changes of messages published at the same time merged into one message."""
    by_time: dict[int, dict] = {}
    for messages_ in recordings:
        for message in messages_:
            merged = by_time.setdefault(message["pt"], {"op": "mcm", "clk": "AAA",
                                                        "pt": message["pt"], "mc": []})
            merged["mc"].extend(message["mc"])
    return [by_time[pt] for pt in sorted(by_time)]


# --------------------------------------------------------------------------
# Writing

STYLES = ("official", "self")


def styled(lines: Iterable[str | dict], style: str = "official") -> Iterator[str]:
    """Lines as files hold them: "official" compact JSON as the exchange streams it; "self" as
    recorders of the stream write it, with spaces after separators and no clock."""
    if style not in STYLES:
        raise ValueError(f"style must be one of {', '.join(STYLES)}")
    for text in lines:
        if style == "official" and isinstance(text, str):
            yield text if text.endswith("\n") else text + "\n"
            continue
        message = json.loads(text) if isinstance(text, str) else text
        if style == "self":
            message = {"op": message.get("op", "mcm"), "clk": None,
                       **{k: v for k, v in message.items() if k not in ("op", "clk")}}
            yield json.dumps(message) + "\n"
        else:
            yield json.dumps(message, separators=(",", ":")) + "\n"


COMPRESSED_SUFFIXES = {".gz": "gzip", ".gzip": "gzip", ".bz2": "bzip2", ".xz": "xz"}


def _open_compressed(raw: IO[bytes], path: str) -> IO[bytes]:
    kind = COMPRESSED_SUFFIXES.get(os.path.splitext(path)[1])
    if kind == "gzip":
        # No name or time in the header, so equal inputs give equal bytes.
        return gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=6, mtime=0)
    if kind == "bzip2":
        return bz2.BZ2File(raw, "wb")  # type: ignore[return-value]
    if kind == "xz":
        return lzma.LZMAFile(raw, "wb")  # type: ignore[return-value]
    return raw


def write(path: str | os.PathLike, lines: Iterable[str | dict], *, style: str = "official") -> str:
    """Write a recording, compressed as its name says (.gz, .bz2, .xz; else plain text)."""
    path = os.fspath(path)
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(path, "wb") as raw:
        out = _open_compressed(raw, path)
        out.write("".join(styled(lines, style)).encode())
        if out is not raw:
            out.close()
    return path


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


class _Sink:
    """Writes chunks on a second thread: the compressors release the GIL, so compression
    overlaps with building the next chunk instead of adding to it."""

    def __init__(self, path: str):
        self.tmp = f"{path}.tmp{os.getpid()}"
        self.raw = open(self.tmp, "wb")
        self.out = _open_compressed(self.raw, path)
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
             market_id: str | None = None, target_bytes: int | None = None,
             **knobs: Any) -> Stats:
    """Write one market's recording (compressed as the name says) and return its stats.

    The file appears only once complete, so an interrupted run never leaves a
    truncated file behind for a cache to pick up.
    """
    path = os.fspath(path)
    sh = resolve_shape(shape, messages=messages, runners=runners, target_bytes=target_bytes,
                       **knobs)
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
        for text in iter_lines(sh, seed=seed, market_id=mid):
            buf.append(text)
            pending += len(text)
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
