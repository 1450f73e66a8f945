"""The vantrel command line: `vantrel info` and `vantrel export`.

Every input file, or group of a plain tar's members, is one task: a worker process builds its
table and leaves it in a file (encoded already when the output is Parquet), and the parent
writes the results in input order as they arrive, so the output never has to be held whole.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import itertools
import json
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import time
import warnings
from collections import deque
from collections.abc import Callable, Iterator

from ._sources import TYPE_CHECKING, MemberGroup, member_groups, walk_directory

if TYPE_CHECKING:
    from typing import Any, NoReturn, TypeAlias

    Task: TypeAlias = "str | MemberGroup"

PROG = "vantrel"
USAGE_ERROR = 2
INPUT_ERROR = 1
INTERRUPTED = 130
TERMINATED = 128 + 15

FORMATS = {".parquet": "parquet", ".csv": "csv", ".arrow": "arrow", ".feather": "arrow"}
TABLES = ("prices", "trades", "markets", "runners")
PRICE_OPTIONS = ("form", "depth", "every", "inplay", "changed_only", "ladder")


class UsageError(Exception):
    """Bad arguments, found before any input is read."""


class InputError(Exception):
    """An input could not be read (and was not to be skipped)."""


class MissingPackage(Exception):
    """A package the command needs is not installed."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, met as Ctrl-C is: the same clean-up (workers ended, their parts and the partial
    output removed, the terminal restored), another exit status."""


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


# ---------------------------------------------------------------------------------------------
# Arguments


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
        "sources", nargs="+", metavar="SOURCE",
        help="recording files, archives (tar, zip) or folders (walked recursively, hidden files "
             "skipped); plain, gzip, bzip2, zstd or xz, told by content")
    select = parser.add_argument_group("selection")
    select.add_argument(
        "--markets", type=_id_list, action="extend", metavar="IDS",
        help="keep only these market ids (comma-separated, may be repeated)")
    select.add_argument(
        "--market-types", type=_id_list, action="extend", metavar="TYPES",
        help="keep only markets of these types, e.g. WIN,PLACE (comma-separated, may be repeated)")
    run = parser.add_argument_group("running")
    run.add_argument(
        "-j", "--jobs", type=_positive_int, default=_jobs_default(), metavar="N",
        help="worker processes, each building the table of one input file or group of a tar's "
             "members at a time (default: the CPUs this process may use, here %(default)s); the "
             "output keeps the input order")
    run.add_argument(
        "--errors", choices=("raise", "skip"), default="raise",
        help="on an unreadable recording: stop with exit status 1 (raise, the default), or "
             "skip it and list it at the end (skip)")
    run.add_argument(
        "--strict", action="store_true",
        help="with --errors skip: still exit with status 1 when anything was skipped")
    run.add_argument(
        "-q", "--quiet", action="store_true",
        help="no progress bar (there is none either when stderr is not a terminal)")


class _Parser(argparse.ArgumentParser):
    """argparse's parser, its errors said as every other error of the command is."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(USAGE_ERROR, f"{PROG}: error: {message}\n")


def _jobs_default() -> int:
    """The CPUs this process may run on (a container's or taskset's share), not the machine's."""
    process_cpu_count = getattr(os, "process_cpu_count", None)  # Python 3.13
    if process_cpu_count is not None:
        return process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def version() -> str:
    from . import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Replay recorded exchange market-stream files: summarise them, or export "
                    "research tables to Parquet, CSV or Arrow.",
        epilog="Exit status: 0 on success, 1 when an input cannot be read, 2 for bad usage, "
               "130 when interrupted (Ctrl-C), 143 when terminated (SIGTERM). Run "
               "'vantrel COMMAND --help' for a command's options.")
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
    runners = export.add_argument_group("runners table options")
    runners.add_argument(
        "--before-off", type=_seconds_list, metavar="SECONDS",
        help="best prices this many seconds before the market time (comma-separated, "
             "default 60,300,600)")
    return parser


def _table_options(args: argparse.Namespace) -> dict[str, Any]:
    """Keyword arguments of the table function; options of another table are usage errors."""
    given = [name for name in PRICE_OPTIONS if getattr(args, name) is not None]
    if given and args.table != "prices":
        flags = ", ".join("--" + name.replace("_", "-") for name in given)
        raise UsageError(f"{flags}: only for --table prices")
    if args.before_off is not None and args.table != "runners":
        raise UsageError("--before-off: only for --table runners")
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
    return options


def _output_format(path: str) -> str:
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        known = ", ".join(FORMATS)
        raise UsageError(f"cannot tell the format of {path!r}: its name must end in {known}")
    return FORMATS[suffix]


# ---------------------------------------------------------------------------------------------
# Inputs and the work on each


def expand(sources: list[str], parts: int) -> list[Task]:
    """Folders become their files, in the order a replay would take them, and plain tars groups
    of their members (about `parts` of them), so that one archive is spread over the workers
    and no worker holds the table of a whole archive; others stay as given."""
    tasks: list[Task] = []
    for source in sources:
        paths = walk_directory(source) if os.path.isdir(source) else [source]
        if not paths:
            raise InputError(f"{source}: the folder holds no files (hidden ones are skipped)")
        for path in paths:
            groups = member_groups(path, parts)
            tasks.extend(groups if groups else [path])
    return tasks


def _size(task: Task) -> int:
    try:
        return task.size() if isinstance(task, MemberGroup) else os.path.getsize(task)
    except OSError:
        return 0


def table_function(table: str) -> Callable[..., Any]:
    import vantrel

    return {"prices": vantrel.prices_table, "trades": vantrel.trades_table,
            "markets": vantrel.market_summaries, "runners": vantrel.runner_summaries}[table]


def build_one(table: str, task: Task, selection: dict[str, Any], errors: str,
              options: dict[str, Any]) -> tuple[Any, list[str], Counts]:
    """The table of one input, the messages of what was skipped in it, and what it held."""
    import vantrel
    from . import _tables

    function = table_function(table)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", vantrel.SkippedRecordingWarning)
        try:
            result = function(task, errors=errors, **selection, **options)
        except vantrel.ReplayError as exc:
            raise InputError(str(exc)) from None
    skipped = [str(w.message) for w in caught
               if issubclass(w.category, vantrel.SkippedRecordingWarning)]
    books, markets = _tables.last_counts
    return result, skipped, Counts(markets, books, result.num_rows)


def parquet_writer(where: str, schema: Any) -> Any:
    """The one Parquet writer of every export, so that parts encoded by workers are encoded
    as the whole output would be."""
    import pyarrow.parquet as pq

    return pq.ParquetWriter(where, schema)


class EncodedPart:
    """A worker's table encoded as a Parquet file of its own, for the output to take its row
    groups as they are."""

    def __init__(self, path: str) -> None:
        self.path = path


def build_part(folder: str, index: int, form: str | None, table: str, task: Task,
               *args: Any) -> tuple[str | EncodedPart, list[str], Counts]:
    """build_one in a worker, its table handed over as a file rather than pickled through the
    pool's pipe (which copies it twice, at half the cost of building it): encoded already for a
    Parquet output, so the encoding is spread over the workers too, else in Arrow's stream
    format for the parent to map."""
    import pyarrow as pa

    result, skipped, counts = build_one(table, task, *args)
    if form == "parquet":
        path = os.path.join(folder, f"{index}.parquet")
        writer = parquet_writer(path, result.schema)
        writer.write_table(result)
        writer.close()
        return EncodedPart(path), skipped, counts
    path = os.path.join(folder, f"{index}.arrows")
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_stream(sink, result.schema) as stream:
        stream.write_table(result)
    return path, skipped, counts


def load_part(path: str) -> Any:
    """A worker's table, mapped rather than read; its file goes at once (the mapping stays while
    the table does)."""
    import pyarrow as pa

    try:
        return pa.ipc.open_stream(pa.memory_map(path)).read_all()
    finally:
        os.unlink(path)


def _quiet_worker() -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides what happens next.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# Memory, where there is this much of it free, rather than a disk, for the workers' tables.
SHARED_MEMORY = "/dev/shm"
SHARED_MEMORY_NEEDED = 2 << 30


def scratch_place(output: str | None) -> str:
    """Where the workers' tables wait for the parent: shared memory when there is room, else
    beside the output (whose folder is known to be writable), else the system's temporary
    folder. Windows has neither shared memory as a folder nor statvfs."""
    try:
        stat = os.statvfs(SHARED_MEMORY)
        if stat.f_bavail * stat.f_frsize >= SHARED_MEMORY_NEEDED and os.access(
                SHARED_MEMORY, os.W_OK | os.X_OK):
            return SHARED_MEMORY
    except (OSError, AttributeError):
        pass
    if output is not None:
        return os.path.dirname(os.path.abspath(output))
    return tempfile.gettempdir()


def parts_prefix(pid: int | None = None) -> str:
    """The start of the name of a run's hand-over folder: the process id in it tells one
    export's leftovers from another's on a machine that runs several."""
    return f".vantrel-parts-{os.getpid() if pid is None else pid}-"


class Tasks:
    """Runs build_one over the tasks, yielding (task, result) in input order.

    At most a few results per worker wait for their turn, so memory stays bounded by the
    largest tasks in flight rather than the whole input. Workers hand their tables over as
    files in a folder of their own under `scratch`, removed by close() whatever happened.
    """

    def __init__(self, jobs: int, scratch: str, form: str | None) -> None:
        self.jobs = jobs
        self.scratch = scratch
        self.form = form
        self.pool: concurrent.futures.ProcessPoolExecutor | None = None
        self.folder: str | None = None

    def run(self, tasks: list[Task], *args: Any) -> Iterator[tuple[Task, Any]]:
        if not tasks:
            return
        if self.jobs == 1 or len(tasks) == 1:
            for task in tasks:
                yield task, build_one(args[0], task, *args[1:])
            return
        folder = self.folder = tempfile.mkdtemp(dir=self.scratch, prefix=parts_prefix())
        self.pool = concurrent.futures.ProcessPoolExecutor(
            max_workers=min(self.jobs, len(tasks)), initializer=_quiet_worker,
            mp_context=multiprocessing.get_context("spawn"))
        pending: deque[tuple[Task, concurrent.futures.Future[Any]]] = deque()

        def submit(index: int, task: Task) -> None:
            assert self.pool is not None
            pending.append((task, self.pool.submit(build_part, folder, index, self.form,
                                                   args[0], task, *args[1:])))

        numbered = enumerate(tasks)
        # The first submissions start the workers: they start with Ctrl-C held back (a signal
        # mask outlives exec), so that none is interrupted half way through its imports. The
        # mask holds for this thread only, and another (pyarrow's) may take the signal; so the
        # interrupt is also put off until every worker has been handed what it starts from,
        # lest one wait for it in vain and die with a traceback.
        # SIGTERM is put off alike; it is not masked, as only the whole group gets Ctrl-C. Where
        # there are no signal masks (macOS builds without pthread_sigmask, Windows), putting
        # the signals off is all there is.
        interrupted: list[int] = []
        put_off = [signal.SIGINT, signal.SIGTERM]
        handlers = [signal.signal(s, lambda signum, frame: interrupted.append(signum))
                    for s in put_off]
        can_mask = hasattr(signal, "pthread_sigmask")
        held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT}) if can_mask else None
        try:
            for index, task in itertools.islice(numbered, 2 * self.jobs):
                submit(index, task)
        finally:
            if held is not None:
                signal.pthread_sigmask(signal.SIG_SETMASK, held)
            for number, handler in zip(put_off, handlers):
                signal.signal(number, handler)
        if interrupted:
            raise Terminated if signal.SIGTERM in interrupted else KeyboardInterrupt
        for index, task in numbered:
            yield self._next(pending)
            submit(index, task)
        while pending:
            yield self._next(pending)
        self.close()

    @staticmethod
    def _next(pending: deque[tuple[Task, concurrent.futures.Future[Any]]]) -> tuple[Task, Any]:
        task, future = pending.popleft()
        part, skipped, counts = future.result()
        return task, (part if isinstance(part, EncodedPart) else load_part(part), skipped, counts)

    def close(self, *, kill: bool = False) -> None:
        if self.pool is not None:
            if kill:
                # The pool has no public way to stop a running task; the workers hold nothing
                # worth keeping, so they are ended outright.
                for process in list(getattr(self.pool, "_processes", {}).values()):
                    process.terminate()
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None
        # After the workers are gone, so none can write there again.
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None


# ---------------------------------------------------------------------------------------------
# Progress


class Counts:
    """What an input held: markets, books replayed and rows of its table."""

    __slots__ = ("markets", "books", "rows")

    def __init__(self, markets: int = 0, books: int = 0, rows: int = 0) -> None:
        self.markets = markets
        self.books = books
        self.rows = rows

    def add(self, other: Counts) -> None:
        self.markets += other.markets
        self.books += other.books
        self.rows += other.rows


def _counted(number: int, thing: str) -> str:
    return f"{number:,} {thing}" + ("" if number == 1 else "s")


def _files_in(task: Task) -> int:
    return len(task.members) if isinstance(task, MemberGroup) else 1


class Progress:
    """Files (an archive's members counted one by one), markets and bytes done, as a bar on a
    terminal; nothing elsewhere or without rich/tqdm."""

    def __init__(self, tasks: list[Task], enabled: bool) -> None:
        self.total = sum(_size(t) for t in tasks)
        self.count = sum(_files_in(t) for t in tasks)
        self.done_files = 0
        self.counts = Counts()
        self._advance: Callable[[int], None] = lambda n: None
        self._stop: Callable[[], None] = lambda: None
        if enabled and sys.stderr.isatty():
            self._start()

    def text(self) -> str:
        return f"{self.done_files}/{self.count} files, {_counted(self.counts.markets, 'market')}"

    def _start(self) -> None:
        try:
            from rich.console import Console
            from rich.progress import (BarColumn, DownloadColumn, Progress as Bar, TextColumn,
                                       TimeRemainingColumn)
        except ImportError:
            self._start_tqdm()
            return
        # stdout may be the data (info --json): the bar keeps to stderr
        bar = Bar(TextColumn("{task.description}"), BarColumn(), DownloadColumn(),
                  TimeRemainingColumn(), transient=True, console=Console(stderr=True))
        task = bar.add_task("replaying", total=self.total)
        bar.start()

        def advance(size: int) -> None:
            bar.update(task, advance=size, description=self.text())

        self._advance, self._stop = advance, bar.stop
        self._advance(0)

    def _start_tqdm(self) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            return
        bar = tqdm(total=self.total, unit="B", unit_scale=True, leave=False, file=sys.stderr)

        def advance(size: int) -> None:
            bar.set_postfix_str(self.text(), refresh=False)
            bar.update(size)

        self._advance, self._stop = advance, bar.close

    def file_done(self, task: Task, counts: Counts) -> None:
        self.done_files += _files_in(task)
        self.counts.add(counts)
        self._advance(_size(task))

    def close(self) -> None:
        self._stop()


# ---------------------------------------------------------------------------------------------
# Output


# pyarrow's CSV writer puts a space between date and time; the help promises ISO 8601.
CSV_TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"  # %S carries the milliseconds


def _for_csv(table: Any) -> Any:
    """CSV has no lists: the winners column becomes a JSON list; times are ISO 8601 texts."""
    import pyarrow as pa
    import pyarrow.compute as pc

    for i, field in enumerate(table.schema):
        if pa.types.is_timestamp(field.type):
            table = table.set_column(i, field.name, pc.strftime(table.column(i), CSV_TIME_FORMAT))
        elif pa.types.is_list(field.type):
            texts = pa.array([None if v is None else json.dumps(v)
                              for v in table.column(i).to_pylist()], pa.string())
            table = table.set_column(i, field.name, texts)
    return table


class _DictionaryUnifier:
    """Remaps dictionary columns onto one growing dictionary per column.

    The Arrow file format forbids replacing a dictionary between batches but allows extending
    it, and each input file comes with dictionaries of its own.
    """

    def __init__(self) -> None:
        self.known: dict[str, dict[str, int]] = {}

    def apply(self, table: Any) -> Any:
        import pyarrow as pa

        for i, field in enumerate(table.schema):
            if pa.types.is_dictionary(field.type):
                chunks = [self._remap(field.name, c) for c in table.column(i).chunks]
                column = pa.chunked_array(chunks, type=field.type)
                table = table.set_column(i, field, column)
        return table

    def _remap(self, name: str, chunk: Any) -> Any:
        import pyarrow as pa

        known = self.known.setdefault(name, {})
        mapping = [known.setdefault(v, len(known)) for v in chunk.dictionary.to_pylist()]
        indices = pa.array(mapping, pa.int32()).take(chunk.indices)
        dictionary = pa.array(list(known), pa.string())
        return pa.DictionaryArray.from_arrays(indices, dictionary)


class _JoinedParquet:
    """The Parquet output of parts the workers encoded: their row groups are copied in, not
    encoded again."""

    def __init__(self, path: str) -> None:
        from ._parquet_join import ParquetJoin

        self._file = open(path, "wb")
        self._join = ParquetJoin(self._file)

    def write_part(self, part: EncodedPart) -> None:
        from ._parquet_join import DifferentColumns

        try:
            with open(part.path, "rb") as f:
                data = f.read()
        finally:
            os.unlink(part.path)
        try:
            self._join.append(data)
        except DifferentColumns:
            raise InputError("the inputs gave tables of different columns") from None

    def close(self) -> None:
        try:
            self._join.close()
        finally:
            self._file.close()


class Writer:
    """Writes tables one after another into a temporary file beside `path`, renamed into place
    by commit(); the temporary file is made at once, so an unwritable place fails before work."""

    def __init__(self, path: str, form: str) -> None:
        self.path = path
        self.form = form
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise UsageError(f"cannot write {path!r}: folder {folder!r} does not exist")
        try:
            handle, self.temporary = tempfile.mkstemp(
                dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
        except OSError as exc:
            raise UsageError(f"cannot write {path!r}: {exc.strerror}") from None
        self._writer: Any = None
        try:
            os.close(handle)
        except BaseException:  # Ctrl-C can land here, before the caller could clean up
            self.discard()
            raise
        self._unifier = _DictionaryUnifier() if form == "arrow" else None

    def write(self, table: Any) -> None:
        if isinstance(table, EncodedPart):
            if self._writer is None:
                self._writer = _JoinedParquet(self.temporary)
            self._writer.write_part(table)
            return
        if self.form == "csv":
            table = _for_csv(table)
        elif self._unifier is not None:
            table = self._unifier.apply(table)
        if self._writer is None:
            self._writer = self._open(table.schema)
        elif self.form != "arrow" and not table.schema.equals(self._schema):
            raise InputError("the inputs gave tables of different columns")
        self._writer.write_table(table)

    def _open(self, schema: Any) -> Any:
        self._schema = schema
        if self.form == "parquet":
            return parquet_writer(self.temporary, schema)
        if self.form == "csv":
            import pyarrow.csv as csv
            return csv.CSVWriter(self.temporary, schema)
        import pyarrow.ipc as ipc
        options = ipc.IpcWriteOptions(emit_dictionary_deltas=True)
        return ipc.new_file(self.temporary, schema, options=options)

    def commit(self, empty: Callable[[], Any]) -> None:
        if self._writer is None:
            self.write(empty())
        self._writer.close()
        # mkstemp makes the file private; the finished output gets the usual permissions
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.temporary, 0o666 & ~umask)
        os.replace(self.temporary, self.path)

    def discard(self) -> None:
        try:
            if self._writer is not None:
                self._writer.close()
        except Exception:  # the file goes anyway; its writer's state no longer matters
            pass
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


# ---------------------------------------------------------------------------------------------
# Commands


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


def print_info(rows: list[dict[str, Any]], out: Any) -> None:
    header = [title for title, _ in INFO_COLUMNS]
    cells = [[_cell(key, row[key]) for _, key in INFO_COLUMNS] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(header)]
    numeric = {"runners", "books", "matched"}

    def line(values: list[str]) -> str:
        parts = [v.rjust(w) if h in numeric else v.ljust(w)
                 for v, w, h in zip(values, widths, header)]
        return "  ".join(parts).rstrip()

    print(line(header), file=out)
    for row in cells:
        print(line(row), file=out)


# Parts an archive is cut into per worker: enough that the last ones to finish leave little
# for one worker alone.
PARTS_PER_JOB = 4


def _run(args: argparse.Namespace, table: str, options: dict[str, Any],
         consume: Callable[[Any], None], output: str | None = None) -> tuple[list[str], str]:
    """Builds `table` for every input, handing each result to `consume` in input order; gives
    the messages of what was skipped, and a line that sums up what was read."""
    work = expand(args.sources, PARTS_PER_JOB * args.jobs)
    selection = {"markets": args.markets, "market_types": args.market_types}
    progress = Progress(work, enabled=not args.quiet)
    form = _output_format(output) if output is not None else None
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
    summary = ", ".join(_counted(n, what) for n, what in [
        (progress.done_files, "file"), (done.markets, "market"), (done.books, "book"),
        (done.rows, "row")]) + f" in {time.monotonic() - started:.1f}s"
    return skipped, summary


def command_info(args: argparse.Namespace) -> tuple[list[str], str]:
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
        print_info(rows, sys.stdout)
    sys.stdout.flush()
    return outcome


def command_export(args: argparse.Namespace) -> tuple[list[str], str]:
    options = _table_options(args)
    form = _output_format(args.output)
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
    command = command_info if args.command == "info" else command_export
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: signals are not ours to take
        previous = None
    try:
        skipped, summary = command(args)
    except UsageError as exc:
        args.subparser.print_usage(sys.stderr)
        return _fail(str(exc), USAGE_ERROR)
    except MissingPackage as exc:
        return _fail(str(exc), USAGE_ERROR)
    except InputError as exc:
        return _fail(str(exc), INPUT_ERROR)
    except Terminated:
        return _fail("terminated", TERMINATED)
    except KeyboardInterrupt:
        return _fail("interrupted", INTERRUPTED)
    except BrokenPipeError:
        # The reader went away (`vantrel info ... | head`): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    if skipped:
        print(f"{PROG}: skipped {len(skipped)} unreadable recording(s):", file=sys.stderr)
        for message in skipped:
            print(f"  {message.removeprefix('skipped ')}", file=sys.stderr)
    if not args.quiet:
        print(f"{PROG}: {summary}", file=sys.stderr)
    return INPUT_ERROR if skipped and args.strict else 0
