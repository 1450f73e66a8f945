"""The command line's arguments: the parser, its value types and the table options they make."""

from __future__ import annotations

import argparse
import os
import sys

from .._sources import TYPE_CHECKING, usable_cpus
from .errors import FORMATS, PRICE_OPTIONS, PROG, TABLES, USAGE_ERROR, UsageError

if TYPE_CHECKING:
    from typing import Any, NoReturn


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


ALL_LEVELS = "all"


def _depth(text: str) -> int | str:
    return ALL_LEVELS if text == ALL_LEVELS else _positive_int(text)


_UNITS_MS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000}


def _duration_ms(text: str) -> int:
    """Milliseconds from `500`, `500ms`, `5s`, `1m` or `1h`."""
    for unit in sorted(_UNITS_MS, key=len, reverse=True):
        if text.endswith(unit):
            number, scale = text[: -len(unit)], _UNITS_MS[unit]
            break
    else:
        number, scale = text, 1
    try:
        return _positive_int(number) * scale
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            f"not a duration: {text!r} (milliseconds, or with a unit: 500ms, 5s, 1m)") from None


def _id_list(text: str) -> list[str]:
    return [part.strip() for part in text.split(",") if part.strip()]


_UNITS_S = {"s": 1, "m": 60, "h": 3600}


def _seconds(text: str) -> float | None:
    """Seconds from `-600`, `-10m`, `90s`, `1.5h`; None for nothing (an open end)."""
    text = text.strip()
    if not text:
        return None
    scale = _UNITS_S.get(text[-1], 1)
    number = text[:-1] if text[-1] in _UNITS_S else text
    try:
        value = float(number)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a time from the off: {text!r} (seconds, or with a unit: 90s, -10m, 1h)") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"not a time from the off: {text!r}")
    seconds = value * scale
    return int(seconds) if seconds.is_integer() else seconds


def _window(text: str) -> tuple[float | None, float | None]:
    start, comma, end = text.partition(",")
    if not comma:
        raise argparse.ArgumentTypeError(
            f"not a window: {text!r} (START,END from the off, e.g. -600,0 or -10m,)")
    window = (_seconds(start), _seconds(end))
    if window[0] is not None and window[1] is not None and window[0] >= window[1]:
        raise argparse.ArgumentTypeError(f"the window's start must come before its end: {text!r}")
    return window


# The market filter's lists: (key, metavar, what the values are), flags --KEY in kebab case.
FILTER_LISTS = (
    ("markets", "IDS", "market ids"),
    ("event_ids", "IDS", "event ids"),
    ("event_type_ids", "IDS", "event type ids, e.g. 7 (horse racing),4339 (greyhound racing)"),
    ("market_types", "TYPES", "market types, e.g. WIN,PLACE"),
    ("country_codes", "CODES", "country codes, e.g. GB,IE"),
    ("venues", "VENUES", "venues, e.g. Ascot,Kempton"),
    ("race_types", "TYPES", "race types, e.g. Flat,Hurdle,Chase"),
    ("betting_types", "TYPES", "betting types, e.g. ODDS,ASIAN_HANDICAP_DOUBLE_LINE"),
)
FILTER_FLAGS = (
    ("bsp_market", "markets with a starting price (--bsp-market) or without (--no-bsp-market)"),
    ("turn_in_play_enabled", "markets that turn in play (--turn-in-play-enabled) or do not "
                             "(--no-turn-in-play-enabled)"),
)


def _seconds_list(text: str) -> list[int]:
    try:
        values = [int(part) for part in _id_list(text)]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of whole seconds: {text!r}") from None
    if any(v < 0 for v in values):
        raise argparse.ArgumentTypeError("offsets must be 0 or more seconds")
    return values


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "sources", nargs="*", metavar="SOURCE",
        help="recording files, archives (tar, zip) or folders (walked recursively, hidden files "
             "skipped); plain, gzip, bzip2, zstd or xz, told by content")
    parser.add_argument(
        "--catalogue", metavar="FILE",
        help="instead of SOURCE, the recordings a catalogue names (a file 'vantrel catalogue' "
             "wrote, .parquet, .csv, .arrow or .feather, its rows kept or dropped as you like): "
             "each archive member is read with one seek to where the catalogue puts it, in the "
             "rows' order, keeping only the markets the rows name; a member of a compressed tar "
             "has no place to seek to, and its archive is read whole")
    select = parser.add_argument_group(
        "selection",
        "The exchange's market filter: a market is kept when it meets every option given, judged "
        "at its first market definition and dropped for good when a later one fails. Values are "
        "matched exactly as the stream writes them. An option that matched no market is named "
        "at the end.")
    for key, metavar, what in FILTER_LISTS:
        select.add_argument(
            "--" + key.replace("_", "-"), type=_id_list, action="extend", metavar=metavar,
            help=f"keep only markets of these {what} (comma-separated, may be repeated)")
    for key, what in FILTER_FLAGS:
        select.add_argument("--" + key.replace("_", "-"), action=argparse.BooleanOptionalAction,
                            default=None, help=f"keep only {what}")
    select.add_argument(
        "--event-files", choices=("once", "instead", "skip", "all"), default=None,
        help="where an event's folder holds a file per market and the event's own file with the "
             "same markets: each market once (once, the default: from its own file, the event "
             "file giving the markets without one), the event files instead of the market "
             "files, the market files alone (skip the event files), or every file (all: markets "
             "twice)")
    run = parser.add_argument_group("running")
    run.add_argument(
        "-j", "--jobs", type=_positive_int, default=usable_cpus(), metavar="N",
        help="worker processes, each building the table of one input file or group of a tar's "
             "members at a time (default: the CPUs this process may use, here %(default)s); the "
             "output keeps the input order")
    run.add_argument(
        "--threads", type=_positive_int, default=1, metavar="N",
        help="threads each worker process decompresses and parses recordings on, the members "
             "of a plain tar or zip side by side (default 1: the workers take the cores)")
    run.add_argument(
        "--errors", choices=("raise", "skip"), default="raise",
        help="on an unreadable recording: stop with exit status 1 (raise, the default), or "
             "skip it and list it at the end (skip)")
    run.add_argument(
        "--strict", action="store_true",
        help="with --errors skip: still exit with status 1 when anything was skipped, or "
             "read only up to bytes after its compressed data")
    run.add_argument(
        "-q", "--quiet", action="store_true",
        help="no progress bar (there is none either when stderr is not a terminal)")


class _Parser(argparse.ArgumentParser):
    """argparse's parser, its errors said as every other error of the command is."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(USAGE_ERROR, f"{PROG}: error: {message}\n")


def version() -> str:
    from .. import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Replay recorded exchange market-stream files: summarise them, or export "
                    "research tables to Parquet, CSV or Arrow.",
        epilog="Exit status: 0 on success, 1 when an input cannot be read or the output cannot "
               "be written, 2 for bad usage, 130 when interrupted (Ctrl-C), 143 when terminated "
               "(SIGTERM). Run 'vantrel COMMAND --help' for a command's options.")
    parser.add_argument("-V", "--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    info = commands.add_parser(
        "info", help="one line per market: what it is, how it ended, how much it matched",
        description="Print one line per market of every recording: id, event, market type and "
                    "name, market time, runners, books, first and last publish time, final "
                    "status, winners and total matched, as an aligned table.")
    _add_common(info)
    info.set_defaults(subparser=info)
    info.add_argument("--json", action="store_true",
                      help="print JSON lines (one object per market) instead of a table")

    export = commands.add_parser(
        "export", help="write a research table of recordings to Parquet, CSV or Arrow",
        description="Write one table of every recording to a file, whose format follows its "
                    "name: .parquet, .csv, .arrow or .feather (Arrow IPC). Output is written "
                    "under a temporary name and renamed when complete, so an interrupted or "
                    "failed export leaves nothing behind.",
        epilog="In CSV, times are ISO 8601 UTC with milliseconds (2024-05-01T12:45:00.244Z) and "
               "the markets table's winners a JSON list.")
    _add_common(export)
    export.set_defaults(subparser=export)
    export.add_argument("-o", "--output", required=True, metavar="OUT",
                        help="the file to write (.parquet, .csv, .arrow, .feather)")
    export.add_argument(
        "-t", "--table", choices=TABLES, default="prices",
        help="prices: runner prices of every book (default); trades: traded volume changes; "
             "markets: one row per market; runners: one row per market and runner")
    prices = export.add_argument_group("prices table options")
    prices.add_argument(
        "--form", choices=("best", "ladder", "ltp"),
        help="best: best N back and lay prices per runner and book (default); ladder: one row "
             "per level; ltp: last price traded only")
    prices.add_argument(
        "--ladder", choices=("auto", "full", "display", "best"),
        help="the ladder prices come from: full (atb/atl), display (bdatb/bdatl), best "
             "(batb/batl), or auto: the first of these with levels, as betfairlightweight hands "
             "out (default)")
    prices.add_argument(
        "--depth", type=_depth, metavar="N",
        help="price levels per side (default 3; 'all' with --form ladder)")
    prices.add_argument(
        "--every", type=_duration_ms, metavar="STEP",
        help="sample each market on a grid of this step instead of every book: milliseconds, "
             "or with a unit (500ms, 5s, 1m, 1h)")
    prices.add_argument(
        "--inplay", action=argparse.BooleanOptionalAction, default=None,
        help="keep only in-play books (--inplay) or only books before the off (--no-inplay)")
    prices.add_argument(
        "--changed-only", action="store_true", default=None,
        help="write a runner only when it changed since its last row")
    window = export.add_argument_group("prices and trades table options")
    window.add_argument(
        "--window", type=_window, metavar="START,END",
        help="keep only rows from START to END from each market's scheduled start (END left "
             "out): seconds, or with a unit (90s, 10m, 1h), negative before the off, either left "
             "empty for open. Write it with '=' when it starts with a minus: --window=-10m,0. "
             "With --every the points fall on whole steps from START. A market without a market "
             "time gives no rows")
    catalogue = commands.add_parser(
        "catalogue", help="one row per market: what it is and where its bytes are",
        description="Write one row per market of every recording to a file (.parquet, .csv, "
                    ".arrow or .feather): its file, archive member and the offset and size of "
                    "its stored bytes there, its ids, names, type, venue, times and runners, "
                    "from its first market definition. A recording named as one market's file "
                    "(the exchange's 1.234567890.bz2) is read no further than that definition, "
                    "so a month's archive is catalogued in a fraction of a replay's time.",
        epilog="In CSV, times are ISO 8601 UTC with milliseconds and the runners a JSON list.")
    _add_common(catalogue)
    catalogue.set_defaults(subparser=catalogue)
    catalogue.add_argument("-o", "--output", required=True, metavar="OUT",
                           help="the file to write (.parquet, .csv, .arrow, .feather)")
    runners = export.add_argument_group("runners table options")
    runners.add_argument(
        "--before-off", type=_seconds_list, metavar="SECONDS",
        help="best prices this many seconds before the market time (comma-separated, "
             "default 60,300,600)")
    return parser


def table_options(args: argparse.Namespace) -> dict[str, Any]:
    """Keyword arguments of the table function; options of another table are usage errors."""
    given = [name for name in PRICE_OPTIONS if getattr(args, name) is not None]
    if given and args.table != "prices":
        flags = ", ".join("--" + name.replace("_", "-") for name in given)
        raise UsageError(f"{flags}: only for --table prices")
    if args.before_off is not None and args.table != "runners":
        raise UsageError("--before-off: only for --table runners")
    if args.window is not None and args.table not in ("prices", "trades"):
        raise UsageError("--window: only for --table prices or trades")
    options: dict[str, Any] = {}
    if args.table == "prices":
        form = args.form or "best"
        depth = args.depth if args.depth is not None else (3 if form == "best" else ALL_LEVELS)
        if depth == ALL_LEVELS and form == "best":
            raise UsageError("--depth all needs --form ladder")
        depth = None if depth == ALL_LEVELS else depth
        options = {"form": form, "depth": depth, "every": args.every, "inplay": args.inplay,
                   "changed_only": bool(args.changed_only), "ladder": args.ladder or "auto"}
    elif args.table == "runners" and args.before_off is not None:
        options = {"before_off": args.before_off}
    if args.window is not None:
        options["window"] = args.window
    return options


def market_filter(args: argparse.Namespace) -> dict[str, Any]:
    """The market filter keys the command line was given, as the table functions take them."""
    keys = [key for key, _, _ in FILTER_LISTS] + [key for key, _ in FILTER_FLAGS]
    keys.append("event_files")
    return {key: getattr(args, key) for key in keys if getattr(args, key) is not None}


def check_sources(args: argparse.Namespace) -> None:
    """SOURCE or --catalogue, one of the two."""
    if args.catalogue is not None and args.sources:
        raise UsageError("give SOURCE or --catalogue, not both")
    if args.catalogue is None and not args.sources:
        raise UsageError("give a SOURCE, or --catalogue FILE")


def output_format(path: str) -> str:
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        known = ", ".join(FORMATS)
        raise UsageError(f"cannot tell the format of {path!r}: its name must end in {known}")
    return FORMATS[suffix]
