"""What a source argument may be, and the (label, payload) pairs the engine reads from it."""

from __future__ import annotations

import errno
import os
from collections.abc import Iterable, Iterator

# Importing typing would cost half the package's import time; only type checkers need it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from ._options import Source

MEMORY_LABEL = "<bytes>"


def usable_cpus() -> int:
    """The CPUs this process may run on (a container's or taskset's share), not the machine's."""
    process_cpu_count = getattr(os, "process_cpu_count", None)  # Python 3.13
    if process_cpu_count is not None:
        return process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _is_file_object(obj: object) -> bool:
    return callable(getattr(obj, "read", None))


def _is_single(obj: object) -> bool:
    return (isinstance(obj, (str, os.PathLike, bytes, bytearray, memoryview, MemberGroup))
            or _is_file_object(obj))


def is_url(source: str) -> bool:
    """Whether a str names remote storage for fsspec ("s3://...", "https://...")."""
    return "://" in source or "::" in source


def _fsspec() -> Any:
    try:
        import fsspec
    except ImportError:
        raise ImportError("reading a URL needs fsspec (and the package of its storage, such as "
                          "s3fs for s3://): pip install fsspec") from None
    return fsspec


def check_source(source: object) -> Any:
    """The source with every iterable of sources made a list, or TypeError for anything that is
    no source, before any work is done (ImportError for a URL without fsspec installed). A table
    is taken as a catalogue, and checked as one."""
    from ._catalogue_source import CatalogueSource, is_table

    if is_table(source):
        return CatalogueSource(source)
    if _is_single(source):
        if isinstance(source, str) and is_url(source):
            _fsspec()
        return source
    # A set's order is no order to replay in.
    if isinstance(source, Iterable) and not isinstance(source, (set, frozenset)):
        items = list(source)
        for item in items:
            if is_table(item):
                raise TypeError("a catalogue table is a source of its own, not an item of a list")
            if not _is_single(item) and isinstance(item, Iterable):
                raise TypeError("a source list holds paths, bytes or file objects, not lists")
            check_source(item)
        return items
    hint = ": sort it first" if isinstance(source, (set, frozenset)) else ""
    raise TypeError(
        "source must be a path, bytes, a binary file object or an iterable of these, "
        f"not {type(source).__name__}{hint}")


def _hidden(name: str) -> bool:
    return name.startswith(".")


def walk_directory(root: str) -> list[str]:
    """Every regular file under `root`, hidden files and folders skipped, in sorted path order."""
    found: list[tuple[tuple[str, ...], str]] = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not _hidden(d)]
        rel = os.path.relpath(folder, root)
        parts = () if rel == "." else tuple(rel.split(os.sep))
        for name in files:
            path = os.path.join(folder, name)
            if not _hidden(name) and os.path.isfile(path):
                found.append((parts + (name,), path))
    found.sort()
    return [path for _, path in found]


def names_event(name: str) -> bool:
    """Whether `name` is named as the exchange names an event's own file (the engine's rule)."""
    from . import _engine

    return _engine.names_event(name)


def _folder(name: str) -> str:
    return name.replace("\\", "/").rpartition("/")[0]


def with_event_folders(paths: list[str]) -> list[str | tuple[str, ...]]:
    """`paths` in order, the files of a folder that holds an event file taken together: the
    engine reads each market of such a folder once (see the event_files option), which it can
    only do for the files of one run."""
    out: list[str | tuple[str, ...]] = []
    event_folders = {_folder(p) for p in paths if names_event(p)}
    for path in paths:
        folder = _folder(path)
        last = out[-1] if out else None
        if folder not in event_folders:
            out.append(path)
        elif isinstance(last, tuple) and _folder(last[0]) == folder:
            out[-1] = (*last, path)
        else:
            out.append((path,))
    return out


class MemberGroup:
    """Consecutive members of a plain tar, read as a tar of their own: the archive's bytes from
    where the engine's walk to the first one begins up to where the next group's does (the last group runs to the end of the file,
    so damage there is met as in the whole archive). Members keep their names, and the archive
    its path as their label, so a table says the same of them as of the whole archive."""

    __slots__ = ("path", "start", "end", "members")

    def __init__(self, path: str, start: int, end: int | None, members: tuple[str, ...]) -> None:
        self.path = path
        self.start = start
        self.end = end
        self.members = members

    def __repr__(self) -> str:
        return f"MemberGroup({self.path!r}, {self.start}, {self.end}, {len(self.members)} members)"

    def __getstate__(self) -> tuple[str, int, int | None, tuple[str, ...]]:
        return self.path, self.start, self.end, self.members

    def __setstate__(self, state: tuple[str, int, int | None, tuple[str, ...]]) -> None:
        self.path, self.start, self.end, self.members = state

    def size(self) -> int:
        """Bytes of the archive the group spans."""
        end = self.end if self.end is not None else os.path.getsize(self.path)
        return end - self.start

    def read(self) -> bytes:
        with open(self.path, "rb") as f:
            f.seek(self.start)
            return f.read(-1 if self.end is None else self.end - self.start)


def _tar_entries(path: str) -> list[tuple[int, int, str, bool]] | None:
    """(walk start, data size, name, whether a group may begin there) of every regular file of
    a plain tar, as the engine's own tar reader walks it; None when it is no plain tar or the
    walk met damage (the archive is then read whole, and the damage named there)."""
    from . import _engine

    try:
        entries = _engine.tar_members(path)
    except OSError:
        return None
    if entries is None:
        return None
    return [(start, size, member_name(name), starts) for start, size, name, starts in entries]


def member_name(stored: bytes) -> str:
    """An archive member's name as the engine shows it: UTF-8, or, when it is not, Latin-1 (as
    old tools wrote names), which reads and maps back to the stored bytes exactly."""
    try:
        return stored.decode("utf-8")
    except UnicodeDecodeError:
        return stored.decode("latin-1")


# A group's archive bytes beyond which it is cut even when few groups result, unless one member
# is larger. Small: a worker holds its group's table whole, and smaller groups measured no
# slower, down to a few hundred kB of bzip2 each.
GROUP_FLOOR = 1 << 20


def member_groups(path: str, parts: int, floor: int = GROUP_FLOOR) -> list[MemberGroup] | None:
    """A plain tar cut into groups of consecutive members, or None when it is no plain tar or
    would make one group.

    A group spans about the archive's size over `parts`, but at most `floor` bytes, and never
    less than the largest member: so there is work to spread, while no group holds much more
    than the largest member would alone.
    """
    entries = _tar_entries(path)
    if not entries or len(entries) < 2:
        return None
    total = os.path.getsize(path)
    event_folders = {_folder(name) for _, _, name, _ in entries if names_event(name)}
    largest = max(size for _, size, _, _ in entries)
    target = max(largest, min(floor, -(-total // max(parts, 1))))
    groups: list[MemberGroup] = []
    start, names, size = 0, [entries[0][2]], entries[0][1]
    for offset, length, name, starts_tar in entries[1:]:
        # A group is told as a tar by its first block: it begins only where that block says so;
        # and the members of a folder holding an event file stay together (see
        # with_event_folders).
        together = _folder(name) in event_folders and _folder(name) == _folder(names[-1])
        if size + length > target and starts_tar and not together:
            groups.append(MemberGroup(path, start, offset, tuple(names)))
            start, names, size = offset, [], 0
        names.append(name)
        size += length
    groups.append(MemberGroup(path, start, None, tuple(names)))
    return groups if len(groups) > 1 else None


def _contiguous(data: bytes | bytearray | memoryview) -> bytes | bytearray | memoryview:
    """The engine reads a payload in place, which a strided view cannot offer: it is copied."""
    if isinstance(data, memoryview) and not data.c_contiguous:
        return data.tobytes()
    return data


def _label_of(file_object: object) -> str:
    name = getattr(file_object, "name", None)
    if isinstance(name, (str, bytes, os.PathLike)):
        return os.fsdecode(name)
    # fsspec's file objects name their path here
    path = getattr(file_object, "path", None)
    return str(path) if isinstance(path, str) else f"<{type(file_object).__name__}>"


def _os_failure(exc: OSError) -> Exception:
    """An OSError the engine reports as it reports its own: "text (os error N)"."""
    if exc.errno is None:
        return exc
    return OSError(f"{exc.strerror or os.strerror(exc.errno)} (os error {exc.errno})")


def has_magic(path: str) -> bool:
    """glob.has_magic, without importing glob (and re) for every path."""
    return "*" in path or "?" in path or "[" in path


def _paths(pattern: str) -> Iterator[tuple[str, object]]:
    """A path, a directory's files, or every match of a glob (sorted, "**" recursive, hidden
    names skipped as the standard library does), as `vantrel.dask` expands them. A name with
    glob characters that exists is taken as it is."""
    if has_magic(pattern) and not os.path.exists(pattern):
        import glob

        matches = sorted(glob.glob(pattern, recursive=True))
        if not matches:
            missing = OSError(errno.ENOENT, "no file matches this pattern")
            yield pattern, _os_failure(missing)
    else:
        matches = [pattern]
    for path in matches:
        if os.path.isdir(path):
            for file in walk_directory(path):
                yield file, file
        else:
            yield path, path


def _hidden_under(path: str, root: str) -> bool:
    rel = path[len(root):].lstrip("/")
    return any(part.startswith(".") for part in rel.split("/"))


def _fixed_prefix(pattern: str) -> str:
    parts = pattern.split("/")
    fixed = next(i for i, part in enumerate(parts) if has_magic(part))
    return "/".join(parts[:fixed])


def remote_files(url: str, storage_options: dict[str, Any]) -> list[Any]:
    """fsspec OpenFiles of a URL: one file, a folder's files or a glob's matches, sorted, hidden
    names skipped as for local paths."""
    fs, path = _fsspec().core.url_to_fs(url, **storage_options)
    matches = [path]
    if has_magic(path):
        # fsspec's globs match hidden names, the standard library's do not: skip them alike.
        root = _fixed_prefix(path)
        matches = sorted(p for p in fs.glob(path) if not _hidden_under(p, root))
    files: list[str] = []
    for match in matches:
        if fs.isdir(match):
            found = sorted(fs.find(match))
            files.extend(p for p in found if not _hidden_under(p, match))
        else:
            files.append(match)
    return [_fsspec().core.OpenFile(fs, p, mode="rb") for p in files]


def _remote(url: str, storage_options: dict[str, Any]) -> Iterator[tuple[str, object]]:
    try:
        files = remote_files(url, storage_options)
    except OSError as exc:
        yield url, _os_failure(exc)
        return
    if not files:
        yield url, _os_failure(OSError(errno.ENOENT, "no file matches this URL"))
    for file in files:
        label = file.fs.unstrip_protocol(file.path)
        try:
            with file as f:
                data = f.read()
        except OSError as exc:
            yield label, _os_failure(exc)
            continue
        yield label, data


def inputs(source: object, storage_options: dict[str, Any] | None = None
           ) -> Iterator[tuple[Any, ...]]:
    """(label, payload) pairs in replay order; a payload is a path, bytes read whole, or the
    exception that stopped the reading (reported by the engine in its place in the order).
    Bytes cut from a file may come with two more items: the archive member they are (or None)
    and where they begin in the label's file, which the recordings' offsets count from.

    Directories and globs are walked, and file objects and URLs read, only when the replay gets
    near them, so a long list costs nothing up front and holds a file's bytes only while it is
    replayed.
    """
    from ._catalogue_source import CatalogueSource

    if isinstance(source, CatalogueSource):
        yield from source.inputs(storage_options)
        return
    if isinstance(source, (list, tuple)):  # check_source made every other iterable a list
        for item in source:
            yield from inputs(item, storage_options)
        return
    if isinstance(source, str) and is_url(source):
        yield from _remote(source, storage_options or {})
        return
    if isinstance(source, (str, os.PathLike)):
        yield from _paths(os.fsdecode(os.fspath(source)))
        return
    if isinstance(source, (bytes, bytearray, memoryview)):
        yield MEMORY_LABEL, _contiguous(source)
        return
    if isinstance(source, MemberGroup):
        try:
            # the group's start in its archive: a member's offsets count from the archive's
            yield source.path, source.read(), None, source.start
        except OSError as exc:
            yield source.path, _os_failure(exc)
        return
    label = _label_of(source)
    file_object: Any = source  # what check_source let through: it has a read()
    try:
        data = file_object.read()
    except Exception as exc:  # the stream's own failure, whatever its kind
        yield label, OSError(f"reading failed: {type(exc).__name__}: {exc}")
        return
    if isinstance(data, str):
        yield label, TypeError("file object must be opened in binary mode ('rb')")
        return
    # A non-blocking stream with nothing ready gives None; other oddities are its file's fault.
    if not isinstance(data, (bytes, bytearray, memoryview)):
        yield label, TypeError(f"read() gave {type(data).__name__}, not bytes")
        return
    yield label, _contiguous(data)
