"""Synthetic market-stream recordings for the tests, the benchmarks and the fuzzing seeds.

Deterministic for a seed: the same shape, seed and sizes always give the same bytes. One market
model (`market.Market`, set by a `Shape`) makes every recording: a market's own file
(`iter_lines`, `messages`, `generate`), several markets of one event on one clock
(`event_lines`) or merged from their own files (`merge`, `interleave`), and archives in the
exchange's layout (`archives`). Only the standard library is needed (zstd members need
zstandard).
"""

from __future__ import annotations

import hashlib
from pathlib import Path

from .market import LADDERS, Event, Market, Shape
from .prices import NTICKS, TICK_CENTS, TICK_TEXT, TOP, fmt_cents, iso_ms, tick_index
from .shapes import SHAPES
from .stream import (STYLES, Stats, default_market_id, event_lines, generate, interleave,
                     iter_lines, merge, messages, publish_time, resolve_shape, styled, write)

__all__ = [
    "LADDERS", "NTICKS", "SHAPES", "STYLES", "TICK_CENTS", "TICK_TEXT", "TOP", "Event",
    "Market", "Shape", "Stats", "default_market_id", "event_lines", "fingerprint", "fmt_cents",
    "generate", "interleave", "iso_ms", "iter_lines", "merge", "messages", "publish_time",
    "resolve_shape", "styled", "tick_index", "write",
]


def fingerprint() -> str:
    """A digest of the generator's code: caches of generated inputs are rebuilt when it changes."""
    digest = hashlib.sha256()
    for path in sorted(Path(__file__).parent.glob("*.py")):
        digest.update(path.name.encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()
