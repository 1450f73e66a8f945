"""`vantrel info`, `vantrel export` and `vantrel catalogue`, and `main`."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import sys
import time
from collections.abc import Callable

from .._replay import READ_UP_TO, SKIPPED
from .._sources import TYPE_CHECKING
from .arguments import build_parser, check_sources, market_filter, output_format, table_options
from .errors import (
    INPUT_ERROR,
    INTERRUPTED,
    PROG,
    SYSTEM_ERROR,
    TERMINATED,
    USAGE_ERROR,
    InputError,
    MissingPackage,
    OutputError,
    OutputIsInput,
    Terminated,
    UsageError,
    on_sigterm,
)
from .orphans import remove_leftovers
from .progress import Progress, counted
from .tasks import (
    Tasks,
    catalogue_parts,
    check_storage,
    expand,
    refuse_writing_over_inputs,
    scratch_place,
    scratch_places,
    table_function,
)
from .writers import Writer

if TYPE_CHECKING:
    from typing import Any



INFO_COLUMNS = (
    ("market", "market_id"), ("event", "event_name"), ("type", "market_type"),
    ("name", "market_name"), ("market time", "market_time"), ("runners", "number_of_runners"),
    ("books", "books"), ("first", "first_publish_time"), ("last", "last_publish_time"),
    ("status", "status"), ("winners", "winners"), ("matched", "total_matched"),
)


def _time_text(value: Any) -> str:
    return "" if value is None else value.strftime("%Y-%m-%d %H:%M:%S")


def _cell(key: str, value: Any) -> str:
    if value is None:
        return "" if key != "winners" else "-"
    if key == "winners":
        return ",".join(str(v) for v in value) or "-"
    if key == "total_matched":
        return f"{value:,.2f}"
    if hasattr(value, "strftime"):
        return _time_text(value)
    return str(value)


def _json_value(value: Any) -> Any:
    return value.isoformat().replace("+00:00", "Z") if hasattr(value, "isoformat") else value


def info_rows(table: Any) -> list[dict[str, Any]]:
    keys = [key for _, key in INFO_COLUMNS] + ["event_id", "source"]
    return [{k: row[k] for k in keys} for row in table.to_pylist()]


# What gives way when the table is wider than the terminal: first whole columns, the least
# needed first, until the rest fits with its texts cut to the narrowest that still reads; then
# those texts, the widest first. --json keeps everything.
LEFT_OUT_FIRST = ("first", "last", "books", "runners", "market time")
NARROWEST = {"event": 12, "name": 10, "type": 8, "winners": 9}
NUMERIC = ("runners", "books", "matched")
# A pipe has no width of its own (COLUMNS gives it one)
PIPE_WIDTH = 120


def info_width() -> int:
    return shutil.get_terminal_size((PIPE_WIDTH, 24)).columns


def _fit(header: list[str], widths: list[int], limit: int) -> tuple[list[int], list[int]]:
    """The columns kept and their widths, for lines of at most `limit` characters where the
    narrowest columns allow it."""
    floors = [min(w, NARROWEST.get(h, w)) for h, w in zip(header, widths)]

    def total(sizes: list[int], kept: list[int]) -> int:
        return sum(sizes[i] for i in kept) + 2 * (len(kept) - 1)

    kept = list(range(len(header)))
    for title in LEFT_OUT_FIRST:
        if total(floors, kept) <= limit:
            break
        kept.remove(header.index(title))
    widths = list(widths)
    for _ in range(total(widths, kept) - limit):
        widest = max(kept, key=lambda i: widths[i] if widths[i] > floors[i] else -1)
        if widths[widest] == floors[widest]:
            break
        widths[widest] -= 1
    return kept, widths


def _ellipsis(out: Any) -> str:
    """An ellipsis, where the output's encoding has one."""
    try:
        "\u2026".encode(getattr(out, "encoding", None) or "utf-8")
    except (UnicodeError, LookupError):
        return "~"
    return "\u2026"


def print_info(rows: list[dict[str, Any]], out: Any, width: int) -> None:
    """The rows as a table of at most `width` columns, as far as the narrowest allow."""
    header = [title for title, _ in INFO_COLUMNS]
    cells = [[_cell(key, row[key]) for _, key in INFO_COLUMNS] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(header)]
    kept, widths = _fit(header, widths, width)
    mark = _ellipsis(out)

    def line(values: list[str]) -> str:
        parts = []
        for i in kept:
            text, room = values[i], widths[i]
            text = text if len(text) <= room else text[:room - len(mark)] + mark
            parts.append(text.rjust(room) if header[i] in NUMERIC else text.ljust(room))
        return "  ".join(parts).rstrip()

    print(line(header), file=out)
    for row in cells:
        print(line(row), file=out)


# Parts an archive is cut into per worker: enough that the last ones to finish leave little
# for one worker alone.
PARTS_PER_JOB = 4


# What a command reports: the messages of what was skipped, the summary line, and the notes of
# filter keys that matched no market.
Outcome = tuple[list[str], str, list[str]]


def _unmatched(selection: dict[str, Any], keys: list[str] | None) -> list[str]:
    """What the run says of the filter options that no market of any input met, named as they
    were given."""
    notes = []
    for key, value in selection.items():
        if key not in (keys or []):
            continue
        flag = "--" + key.replace("_", "-")
        if isinstance(value, bool):
            notes.append(f"{flag if value else '--no-' + flag[2:]} matched no market")
        else:
            notes.append(f"{flag} {','.join(value)} matched no market (values are matched "
                         "exactly as the stream writes them)")
    return notes


def _run(args: argparse.Namespace, table: str, options: dict[str, Any],
         consume: Callable[[Any], None], output: str | None = None) -> Outcome:
    """Builds `table` for every input, handing each result to `consume` in input order; gives
    the messages of what was skipped, a line that sums up what was read, and what it says of
    filter keys that matched nothing."""
    check_sources(args)
    remove_leftovers(scratch_places(output))
    parts = PARTS_PER_JOB * args.jobs
    if args.catalogue is not None:
        work = catalogue_parts(args.catalogue, parts)
    else:
        check_storage(args.sources)
        # A catalogue reads little of each member: a tar is not worth cutting up, and its
        # members' offsets name places in the archive only when it is read from its file whole.
        work = expand(args.sources, 0 if table == "catalogue" else parts)
    if output is not None:
        refuse_writing_over_inputs(output, work, args.catalogue)
    options = {**options, "threads": args.threads}
    selection = market_filter(args)
    progress = Progress(work, enabled=not args.quiet)
    form = output_format(output) if output is not None else None
    tasks = Tasks(args.jobs, scratch_place(output), form)
    skipped: list[str] = []
    started = time.monotonic()
    try:
        for task, (result, skips, counts) in tasks.run(work, table, selection, args.errors,
                                                      options):
            consume(result)
            del result  # a mapped part is let go before the next one arrives
            skipped.extend(skips)
            progress.file_done(task, counts)
    except BaseException:
        progress.close()
        tasks.close(kill=True)
        raise
    progress.close()
    done = progress.counts
    summary = ", ".join(counted(n, what) for n, what in [
        (progress.done_files, "file"), (done.markets, "market"), (done.books, "book"),
        (done.rows, "row")]) + f" in {time.monotonic() - started:.1f}s"
    return skipped, summary, _unmatched(selection, done.unmatched)


def command_info(args: argparse.Namespace) -> Outcome:
    rows: list[dict[str, Any]] = []

    def consume(table: Any) -> None:
        for row in info_rows(table):
            if args.json:
                print(json.dumps({k: _json_value(v) for k, v in row.items()}), flush=False)
            else:
                rows.append(row)

    _need_pyarrow("info")
    outcome = _run(args, "markets", {}, consume)
    if not args.json:
        print_info(rows, sys.stdout, info_width())
    sys.stdout.flush()
    return outcome


def command_export(args: argparse.Namespace) -> Outcome:
    options = table_options(args)
    form = output_format(args.output)
    _need_pyarrow("export")
    writer = Writer(args.output, form)
    try:
        outcome = _run(args, args.table, options, writer.write, args.output)
        # no input gave a table: the file still carries the columns of the table of nothing
        writer.commit(lambda: table_function(args.table)([], **options))
    except BaseException:
        writer.discard()
        raise
    return outcome


def _plain_runner_names(table: Any) -> Any:
    """The catalogue with its runners' names as plain text: an Arrow file can extend a
    dictionary from one input to the next only where it is a column of its own."""
    import pyarrow as pa

    runners = table.column("runners").combine_chunks()
    items = runners.values
    names = [items.field(i) if items.type.field(i).name != "name"
             else items.field(i).cast(pa.string()) for i in range(items.type.num_fields)]
    plain = pa.StructArray.from_arrays(names, fields=[
        pa.field(f.name, pa.string() if f.name == "name" else f.type) for f in items.type])
    listed = pa.ListArray.from_arrays(runners.offsets, plain)
    return table.set_column(table.schema.get_field_index("runners"), "runners", listed)


def command_catalogue(args: argparse.Namespace) -> Outcome:
    form = output_format(args.output)
    _need_pyarrow("catalogue")
    writer = Writer(args.output, form)

    def consume(table: Any) -> None:
        writer.write(_plain_runner_names(table) if form == "arrow" else table)

    try:
        outcome = _run(args, "catalogue", {}, consume, args.output)
        empty = table_function("catalogue")([])
        writer.commit(lambda: _plain_runner_names(empty) if form == "arrow" else empty)
    except BaseException:
        writer.discard()
        raise
    return outcome


def _need_pyarrow(command: str) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise MissingPackage(f"{command} needs pyarrow: pip install 'vantrel[cli]'") from None


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # exits with status 2 on bad usage
    if args.command is None:
        parser.print_help(sys.stderr)
        return USAGE_ERROR
    command = {"info": command_info, "export": command_export,
               "catalogue": command_catalogue}[args.command]
    try:
        previous = signal.signal(signal.SIGTERM, on_sigterm)
    except ValueError:  # not the main thread: signals are not ours to take
        previous = None
    try:
        skipped, summary, unmatched = command(args)
    except UsageError as exc:
        args.subparser.print_usage(sys.stderr)
        return _fail(str(exc), USAGE_ERROR)
    except (MissingPackage, OutputIsInput) as exc:
        return _fail(str(exc), USAGE_ERROR)
    except InputError as exc:
        return _fail(str(exc), INPUT_ERROR)
    except OutputError as exc:
        return _fail(str(exc), SYSTEM_ERROR)
    except Terminated:
        return _fail("terminated", TERMINATED)
    except KeyboardInterrupt:
        return _fail("interrupted", INTERRUPTED)
    except BrokenPipeError:
        # The reader went away (`vantrel info ... | head`): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except OSError as exc:  # whatever else the system refused: its words, not a traceback
        return _fail(str(exc), SYSTEM_ERROR)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    read_past = [message for message in skipped if not message.startswith(SKIPPED)]
    skipped = [message for message in skipped if message.startswith(SKIPPED)]
    if skipped:
        print(f"{PROG}: skipped {len(skipped)} unreadable recording(s):", file=sys.stderr)
        for message in skipped:
            print(f"  {message.removeprefix(SKIPPED)}", file=sys.stderr)
    if read_past:
        print(f"{PROG}: read {len(read_past)} recording(s) up to bytes after their data:",
              file=sys.stderr)
        for message in read_past:
            print(f"  {message.removesuffix(READ_UP_TO)}", file=sys.stderr)
    if not args.quiet:
        print(f"{PROG}: {'; '.join([summary, *unmatched])}", file=sys.stderr)
    else:
        # Quiet hides progress, not a filter that silently kept nothing.
        for note in unmatched:
            print(f"{PROG}: warning: {note}", file=sys.stderr)
    return INPUT_ERROR if (skipped or read_past) and args.strict else 0
