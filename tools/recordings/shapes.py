"""Named shapes: the recordings the benchmarks measure and the sample the examples ship."""

from __future__ import annotations

from .market import Shape
from .prices import NTICKS

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
