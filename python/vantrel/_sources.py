"""What a source argument may be, and the (label, payload) pairs the engine reads from it."""

from __future__ import annotations

import os
from collections.abc import Iterator
# Importing typing would cost half the package's import time; only type checkers need it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TypeAlias

    Source: TypeAlias = "str | os.PathLike[str] | bytes | bytearray | memoryview | Any"

MEMORY_LABEL = "<bytes>"


def _is_file_object(obj: object) -> bool:
    return callable(getattr(obj, "read", None))


def check_source(source: object) -> None:
    """Raises TypeError for anything that is not a source, before any work is done."""
    if isinstance(source, (list, tuple)):
        for item in source:
            if isinstance(item, (list, tuple)):
                raise TypeError("a source list holds paths, bytes or file objects, not lists")
            check_source(item)
        return
    if isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview)):
        return
    if _is_file_object(source):
        return
    raise TypeError(
        "source must be a path, bytes, a binary file object or a list of these, "
        f"not {type(source).__name__}")


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


def inputs(source: Source) -> Iterator[tuple[str, object]]:
    """(label, payload) pairs in replay order; a payload is a path, bytes read whole, or the
    exception that stopped the reading (reported by the engine in its place in the order).

    Directories are walked and file objects read only when the replay gets near them, so a long
    list costs nothing up front and holds a file's bytes only while it is replayed.
    """
    if isinstance(source, (list, tuple)):
        for item in source:
            yield from inputs(item)
        return
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        if os.path.isdir(path):
            for file in walk_directory(path):
                yield file, file
        else:
            yield path, path
        return
    if isinstance(source, (bytes, bytearray, memoryview)):
        yield MEMORY_LABEL, _contiguous(source)
        return
    label = _label_of(source)
    try:
        data = source.read()
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
