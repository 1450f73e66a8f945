"""Inputs and the work on each: every input file, or group of a plain tar's members, is one task, whose table a worker process builds and leaves in a file."""

from __future__ import annotations

import concurrent.futures
import itertools
import multiprocessing
import os
import shutil
import signal
import tempfile
import warnings
from collections import deque
from collections.abc import Callable, Iterator

from .._replay import SkippedRecordingWarning, TrailingBytesWarning
from .._sources import TYPE_CHECKING, MemberGroup, member_groups, walk_directory
from .errors import InputError, Terminated, UsageError

# The warnings of errors="skip" that a run lists at its end.
REPORTED = (SkippedRecordingWarning, TrailingBytesWarning)

if TYPE_CHECKING:
    from typing import Any, TypeAlias

    Task: TypeAlias = "str | MemberGroup | CataloguePart"


class CataloguePart:
    """Rows of a catalogue naming consecutive recordings: one task, read as a catalogue."""

    __slots__ = ("rows", "recordings", "stored_bytes")

    def __init__(self, rows: Any, recordings: int, stored_bytes: int) -> None:
        self.rows = rows
        self.recordings = recordings
        self.stored_bytes = stored_bytes


def read_catalogue(path: str) -> Any:
    """A catalogue file as `vantrel catalogue -o` writes it, told by its name; in CSV, the
    columns it is read by are given their types, lest market ids be taken for numbers."""
    import pyarrow as pa

    from .errors import FORMATS

    form = FORMATS.get(os.path.splitext(path)[1].lower())
    try:
        # the system's own words for a file that is not there (pyarrow's name only the path)
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise InputError(f"{path}: {exc.strerror or exc}") from None
    try:
        if form == "parquet":
            import pyarrow.parquet as pq

            return pq.read_table(path)
        if form == "arrow":
            with pa.memory_map(path) as source:
                return pa.ipc.open_file(source).read_all()
        if form == "csv":
            from pyarrow import csv

            texts = {name: pa.string() for name in ("source", "member", "market_id")}
            sizes = {name: pa.int64() for name in ("offset", "size")}
            options = csv.ConvertOptions(column_types={**texts, **sizes}, strings_can_be_null=True)
            return csv.read_csv(path, convert_options=options)
    except (OSError, pa.ArrowInvalid) as exc:
        raise InputError(f"{path}: {exc}") from None
    known = ", ".join(FORMATS)
    raise UsageError(f"cannot tell the format of the catalogue {path!r}: its name must end in "
                     f"{known}")


def catalogue_parts(path: str, parts: int) -> list[Task]:
    """The catalogue of `path` cut into about `parts` tasks, checked before any is run."""
    from .._catalogue_source import split

    table = read_catalogue(path)
    try:
        pieces = split(table, parts)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{path}: {exc}") from None
    return [CataloguePart(rows, count, size) for rows, count, size in pieces]


def expand(sources: list[str], parts: int) -> list[Task]:
    """Folders become their files, in the order a replay would take them, and plain tars groups
    of their members (about `parts` of them, none when `parts` is 0), so that one archive is
    spread over the workers and no worker holds the table of a whole archive; others stay as
    given."""
    tasks: list[Task] = []
    for source in sources:
        paths = walk_directory(source) if os.path.isdir(source) else [source]
        if not paths:
            raise InputError(f"{source}: the folder holds no files (hidden ones are skipped)")
        for path in paths:
            groups = member_groups(path, parts) if parts else None
            tasks.extend(groups if groups else [path])
    return tasks


def task_size(task: Task) -> int:
    if isinstance(task, CataloguePart):
        return task.stored_bytes
    try:
        return task.size() if isinstance(task, MemberGroup) else os.path.getsize(task)
    except OSError:
        return 0


def table_function(table: str) -> Callable[..., Any]:
    import vantrel

    return {"prices": vantrel.prices_table, "trades": vantrel.trades_table,
            "markets": vantrel.market_summaries, "runners": vantrel.runner_summaries,
            "catalogue": vantrel.catalogue}[table]


def build_one(table: str, task: Task, selection: dict[str, Any], errors: str,
              options: dict[str, Any]) -> tuple[Any, list[str], Counts]:
    """The table of one input, the messages of what was skipped or read only in part in it,
    and what it held."""
    import vantrel

    from .. import _tables
    from .._filter import collecting_unmatched

    function = table_function(table)
    # A task is a part of the run: whether a filter key met no market at all is for the whole
    # run to tell, from every task's keys.
    with warnings.catch_warnings(record=True) as caught, collecting_unmatched() as unmatched:
        for category in REPORTED:
            warnings.simplefilter("always", category)
        try:
            source = task.rows if isinstance(task, CataloguePart) else task
            result = function(source, errors=errors, **selection, **options)
        except vantrel.ReplayError as exc:
            raise InputError(str(exc)) from None
    skipped = [str(w.message) for w in caught if issubclass(w.category, REPORTED)]
    books, markets = _tables.last_counts
    return result, skipped, Counts(markets, books, result.num_rows,
                                   [found.key for found in unmatched])


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
                # The pool has no public way to stop a running task; its workers, this
                # process's only children, hold nothing worth keeping and are ended outright.
                for process in multiprocessing.active_children():
                    process.terminate()
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None
        # After the workers are gone, so none can write there again.
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None


class Counts:
    """What an input held: markets, books replayed and rows of its table, and the market filter
    keys that none of its markets met (of several inputs: none of theirs)."""

    __slots__ = ("markets", "books", "rows", "unmatched")

    def __init__(self, markets: int = 0, books: int = 0, rows: int = 0,
                 unmatched: list[str] | None = None) -> None:
        self.markets = markets
        self.books = books
        self.rows = rows
        # None before any input is counted: nothing is known to be unmatched yet
        self.unmatched = unmatched

    def add(self, other: Counts) -> None:
        self.markets += other.markets
        self.books += other.books
        self.rows += other.rows
        theirs = other.unmatched or []
        self.unmatched = (list(theirs) if self.unmatched is None
                          else [key for key in self.unmatched if key in theirs])
