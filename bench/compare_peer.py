#!/usr/bin/env python3
"""Replays recordings through vantrel and betfairlightweight and tallies where they differ.

    python bench/compare_peer.py [--all] [--examples N] [PATH ...]

Without PATH it takes every file of /work/shared/data, skipping notes such as README.md; a
missing folder is reported and skipped. --all adds the fields whose rules are known to differ
in corner cases (definition-only runner fields, starting prices, runner counts). Per file it
prints how the messages were paired, then per field the agreements and differences, and the
first differences of each field with their message number (1 = first message vantrel kept).
A message the peer applied but vantrel did not keep, or the reverse, is listed as unpaired.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from helpers import peer_replay  # noqa: E402

DATA = "/work/shared/data"
NOT_RECORDINGS = (".md", ".txt", ".meta", ".json")


def recordings(paths: list[str]) -> list[str]:
    if paths:
        return paths
    if not os.path.isdir(DATA):
        print(f"{DATA} not found: nothing to compare")
        return []
    return [
        os.path.join(DATA, name)
        for name in sorted(os.listdir(DATA))
        if not name.endswith(NOT_RECORDINGS) and os.path.isfile(os.path.join(DATA, name))
    ]


def short(value: object, width: int = 100) -> str:
    text = repr(value)
    return text if len(text) <= width else text[: width - 3] + "..."


def print_report(report: peer_replay.Report, fields: tuple[str, ...], seconds: float) -> None:
    print(f"== {report.path} ({seconds:.1f} s)")
    print(f"   messages: vantrel {report.ours}, peer {report.peer}, paired {report.matched}, "
          f"vantrel only {len(report.ours_only)}, peer only {report.peer_only}")
    if report.ours_only:
        print(f"   vantrel-only message numbers: {report.ours_only[:20]}"
              + (" ..." if len(report.ours_only) > 20 else ""))
    width = max(len(name) for name in fields)
    for name in fields:
        agree, differ = report.agreements[name], report.differences[name]
        mark = "" if not differ else "   <-- differs"
        print(f"   {name:<{width}}  agree {agree:>9,}  differ {differ:>9,}{mark}")
    for name, examples in report.examples.items():
        for number, difference in examples:
            runner = f" runner {difference.runner}" if difference.runner else ""
            print(f"      {name} message {number}{runner}: vantrel {short(difference.ours)}"
                  f" | peer {short(difference.peer)}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="*",
                        help="recordings (default: every file of the data folder)")
    parser.add_argument("--all", action="store_true", help="also compare the corner-case fields")
    parser.add_argument("--examples", type=int, default=3, help="differences shown per field")
    args = parser.parse_args(argv)

    if not peer_replay.peer_available():
        print("betfairlightweight is not installed: pip install betfairlightweight")
        return 0
    # The peer warns about latency and missing definitions on every odd line.
    logging.getLogger("betfairlightweight").setLevel(logging.ERROR)

    fields = peer_replay.CORE_FIELDS + (peer_replay.EXTRA_FIELDS if args.all else ())
    paths = recordings(args.paths)
    if not paths:
        return 0
    clean = True
    for path in paths:
        started = time.perf_counter()
        try:
            report = peer_replay.compare_file(path, fields, keep=args.examples)
        except ValueError as exc:
            print(f"== {path}: vantrel refused the file: {exc}")
            clean = False
            continue
        print_report(report, fields, time.perf_counter() - started)
        clean = clean and report.clean
    print("all files agree" if clean else "differences found")
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
