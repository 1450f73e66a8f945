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
from .._sources import (
    TYPE_CHECKING,
    MemberGroup,
    has_magic,
    is_url,
    member_groups,
    walk_directory,
    with_event_folders,
)
from .errors import InputError, MissingPackage, OutputIsInput, Terminated, UsageError, cannot_write
from .orphans import parts_prefix, start_worker

# The warnings of errors="skip" that a run lists at its end.
REPORTED = (SkippedRecordingWarning, TrailingBytesWarning)

if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from typing import Any, TypeAlias

    Task: TypeAlias = "str | tuple[str, ...] | MemberGroup | CataloguePart"


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


def _named_sources(rows: Any) -> list[str]:
    """The files and URLs a catalogue's rows name, each once (what is not text is left to the
    catalogue's own checks)."""
    return [s for s in rows.column("source").unique().to_pylist() if isinstance(s, str) and s]


def catalogue_parts(path: str, parts: int) -> list[Task]:
    """The catalogue of `path` cut into about `parts` tasks, checked before any is run."""
    from .._catalogue_source import split

    table = read_catalogue(path)
    if "source" in table.column_names:
        check_storage(_named_sources(table))
    try:
        pieces = split(table, parts)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{path}: {exc}") from None
    return [CataloguePart(rows, count, size) for rows, count, size in pieces]


def _protocols(url: str) -> list[str]:
    """The protocols of a URL, each of a chain ("simplecache::s3://bucket/key") among them."""
    links = url.split("::")
    return [link.partition("://")[0] if "://" in link else link if i < len(links) - 1 else "file"
            for i, link in enumerate(links)]


def _package(exc: ImportError) -> str:
    """What to install for a storage fsspec could not load: the module that failed to import,
    else fsspec's own words, which name a package."""
    missing = getattr(exc.__cause__, "name", None) or exc.name
    if not missing:
        return str(exc)
    package = missing.partition(".")[0]
    return f"{package}: pip install {package}"


def check_storage(sources: list[str]) -> None:
    """Every URL among `sources` with its storage's package installed, before any work, so that
    a missing one is a line naming it rather than a traceback from a worker."""
    urls = [source for source in sources if is_url(source)]
    if not urls:
        return
    try:
        import fsspec
    except ImportError:
        raise MissingPackage(f"{urls[0]}: reading a URL needs fsspec: pip install fsspec") from None
    for url in urls:
        for protocol in _protocols(url):
            try:
                fsspec.get_filesystem_class(protocol)
            except ImportError as exc:
                raise MissingPackage(f"{url}: reading {protocol}:// needs {_package(exc)}") \
                    from None
            except ValueError as exc:  # a protocol fsspec does not know
                raise InputError(f"{url}: {exc}") from None


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
        for path in with_event_folders(paths):
            groups = member_groups(path, parts) if parts and isinstance(path, str) else None
            tasks.extend(groups if groups else [path])
    return tasks


def _sources_of(task: Task) -> list[str]:
    """The local files a task reads: a glob's matches (folders among them walked), as the
    replay will expand it; a catalogue's recordings."""
    if isinstance(task, CataloguePart):
        return [source for source in _named_sources(task.rows) if not is_url(source)]
    if isinstance(task, MemberGroup):
        return [task.path]
    if isinstance(task, tuple):
        return list(task)
    if is_url(task):
        return []
    if has_magic(task) and not os.path.exists(task):
        import glob

        matches = glob.glob(task, recursive=True)
        return [f for m in matches for f in (walk_directory(m) if os.path.isdir(m) else [m])]
    return [task]


def refuse_writing_over_inputs(output: str, work: list[Task], catalogue: str | None) -> None:
    """OutputIsInput when `output` is one of the files the run reads (by identity, so a link
    to one counts too), before anything is written: replacing it would lose the input, and a
    catalogue is a list the user picked by hand."""
    try:
        target = os.stat(output)
    except OSError:  # nothing there yet, so nothing read there either
        return
    read = itertools.chain([catalogue] if catalogue is not None else [],
                           (path for task in work for path in _sources_of(task)))
    for path in dict.fromkeys(read):
        try:
            found = os.stat(path)
        except OSError:
            continue
        if (found.st_dev, found.st_ino) == (target.st_dev, target.st_ino):
            what = "the catalogue read" if path == catalogue else "an input"
            raise OutputIsInput(f"will not write {output!r}: it is {what} ({path!r}); name "
                                "another output")


def task_size(task: Task) -> int:
    if isinstance(task, CataloguePart):
        return task.stored_bytes
    try:
        if isinstance(task, tuple):
            return sum(os.path.getsize(path) for path in task)
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
            source = task.rows if isinstance(task, CataloguePart) else (
                list(task) if isinstance(task, tuple) else task)
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
    path = os.path.join(folder, f"{index}.parquet" if form == "parquet" else f"{index}.arrows")
    try:
        if form == "parquet":
            writer = parquet_writer(path, result.schema)
            writer.write_table(result)
            writer.close()
            return EncodedPart(path), skipped, counts
        with pa.OSFile(path, "wb") as sink, pa.ipc.new_stream(sink, result.schema) as stream:
            stream.write_table(result)
    except OSError as exc:  # shared memory full, say: the parent removes the folder
        raise cannot_write(path, exc) from None
    return path, skipped, counts


def load_part(path: str) -> Any:
    """A worker's table, mapped rather than read; its file goes at once (the mapping stays while
    the table does)."""
    import pyarrow as pa

    try:
        return pa.ipc.open_stream(pa.memory_map(path)).read_all()
    finally:
        os.unlink(path)


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


def scratch_places(output: str | None) -> list[str]:
    """Every place scratch_place may choose, where earlier runs may have left their folders."""
    places = [SHARED_MEMORY, tempfile.gettempdir()]
    return places + ([os.path.dirname(os.path.abspath(output))] if output is not None else [])


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
        # The workers watch its other end: held by this process alone, it closes when it ends.
        self.lifeline: Connection | None = None

    def run(self, tasks: list[Task], *args: Any) -> Iterator[tuple[Task, Any]]:
        if not tasks:
            return
        if self.jobs == 1 or len(tasks) == 1:
            for task in tasks:
                yield task, build_one(args[0], task, *args[1:])
            return
        try:
            folder = self.folder = tempfile.mkdtemp(dir=self.scratch, prefix=parts_prefix())
        except OSError as exc:
            raise cannot_write(self.scratch, exc) from None
        context = multiprocessing.get_context("spawn")
        watched, self.lifeline = context.Pipe(duplex=False)
        self.pool = concurrent.futures.ProcessPoolExecutor(
            max_workers=min(self.jobs, len(tasks)), initializer=start_worker,
            initargs=(watched, os.getpid()), mp_context=context)
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
        if self.lifeline is not None:
            self.lifeline.close()
            self.lifeline = None
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
