"""Writes one market's recording of a named shape: ``python -m tools.recordings --help``."""

from __future__ import annotations

import argparse
import sys

from .shapes import SHAPES
from .stream import generate


def main(argv: list[str] | None = None, prog: str | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog=prog, description="Write a deterministic market-stream recording of a named shape.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="shapes:\n" + "\n".join(f"  {s.name:11} {s.notes}" for s in SHAPES.values()))
    ap.add_argument("--shape", required=True, choices=sorted(SHAPES))
    ap.add_argument("--out", required=True,
                    help="output path; compressed when it ends in .gz, .bz2 or .xz")
    ap.add_argument("--messages", type=int, help="exact number of messages (lines)")
    ap.add_argument("--runners", type=int, help="number of runners")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--market-id", help="market id (default: taken from a name like "
                                        "1.234567890.gz, else from the shape)")
    ap.add_argument("--target-mb", type=float,
                    help="grow until this many MB uncompressed (instead of --messages)")
    ap.add_argument("--ladders", choices=("full", "basic", "display", "mixed"),
                    help="what the runner changes carry (default: full ladders)")
    args = ap.parse_args(argv)
    target = int(args.target_mb * 1e6) if args.target_mb else None
    knobs = {"ladders": args.ladders} if args.ladders else {}
    try:
        stats = generate(args.out, args.shape, messages=args.messages, runners=args.runners,
                         seed=args.seed, market_id=args.market_id, target_bytes=target, **knobs)
    except ValueError as exc:
        ap.error(str(exc))
    print(stats.line())
    return 0


if __name__ == "__main__":
    sys.exit(main())
