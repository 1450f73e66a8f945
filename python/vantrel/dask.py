"""The research tables as Dask DataFrames: many recordings, read on a Dask cluster.

Each function takes what its namesake in `vantrel` takes, for many sources at once: paths,
globs, directories and remote URLs (through fsspec, `storage_options` passed on). The frame has
one partition per file, or per group of members of a local plain tar (such as the exchange's
monthly archives), built on a worker by the engine, and its columns are known before anything
is read, so `ddf.dtypes` and `ddf.columns` cost nothing. A catalogue table (what
`vantrel.catalogue` or `vantrel.dask.catalogue(...).compute()` gives, its rows picked as you
like) is a source too: its rows are cut into partitions of about 16 recordings each, read in the
rows' order, as `vantrel.replay` reads a catalogue.

Columns are converted to the same pandas dtypes in every partition, whether or not a file has
nulls in them. With `dtype_backend="numpy_nullable"` (the default) strings are categoricals,
int64 columns pandas' nullable `Int64`, bool columns `boolean`, times `datetime64[ms, UTC]`, and
`winners` an Arrow list of int64. With `dtype_backend="pyarrow"` every column is a
`pd.ArrowDtype` over the table's Arrow buffers, strings decoded to `string[pyarrow]`: the
cheapest to build and to write back to Parquet.

The market filter keys (`markets`, `market_types`, `venues`, ...) are checked on the client
and judged on the workers as `vantrel.replay` judges them. No partition warns of a key that no
market of its own file met: a file that holds none of a filter's markets is the common case
over many files, a warning raised on a worker goes to that worker's log rather than to the
caller, and the frame is lazy, so there is no end of a whole run to judge at. `len(frame)` or
`frame.market_id.unique()` tells what the filter kept.

Each partition is built with `threads=1` unless `threads` is given: Dask already runs one task
per core, and a task that loaded recordings on every core besides would only crowd them.

Importing this module imports dask; importing `vantrel` alone does not.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Callable
from typing import Any

try:
    import dask.dataframe as dd
    import fsspec
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "vantrel.dask needs dask: install it with pip install 'vantrel[dask]'") from exc

from . import _options, _tables
from ._filter import collecting_unmatched
from ._options import DtypeBackend
from ._replay import _choice
from ._catalogue_source import CatalogueSource, is_table, split
from ._sources import (MemberGroup, is_url, member_groups, remote_files, walk_directory,
                       with_event_folders)

__all__ = ["DTYPE_BACKENDS", "catalogue", "market_summaries", "prices_table", "runner_summaries",
           "to_pandas", "trades_table"]


DTYPE_BACKENDS = _options.DTYPE_BACKENDS


def _nullable_types(pa: Any) -> Callable[[Any], Any]:
    # A file's int and bool columns with no nulls would come out int64/bool and those with
    # nulls float64/object: the nullable dtypes keep every partition on the schema of the meta.
    # Lists stay Arrow lists: as objects, dask would take them for strings and convert them.
    mapping = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype(),
               pa.list_(pa.int64()): pd.ArrowDtype(pa.list_(pa.int64()))}
    return mapping.get


def _decoded(pa: Any, table: Any) -> Any:
    """The table with its dictionary columns as plain strings.

    Dictionaries as `pd.ArrowDtype` cannot be sorted or used with `.str`, and pandas cannot
    name their dtype back from a Parquet file's metadata (`pd.read_parquet` then fails): plain
    strings have neither problem, and decoding them costs a fraction of a conversion."""
    columns = [pa.chunked_array([chunk.dictionary_decode() for chunk in column.chunks],
                                column.type.value_type)
               if pa.types.is_dictionary(column.type) else column
               for column in table.columns]
    return pa.Table.from_arrays(columns, names=table.column_names)


def to_pandas(table: Any, dtype_backend: DtypeBackend = "numpy_nullable") -> pd.DataFrame:
    """A table of `vantrel` as a pandas DataFrame, with the dtypes of this module's frames for
    `dtype_backend`."""
    _choice(dtype_backend, "dtype_backend", DTYPE_BACKENDS)
    pa = _tables._pyarrow()
    # pyarrow's threaded conversion spent half as much CPU again as a serial one on these
    # tables, and a Dask worker has other partitions to keep the cores busy with.
    if dtype_backend == "pyarrow":
        return _decoded(pa, table).to_pandas(types_mapper=pd.ArrowDtype, use_threads=False)
    frame = table.to_pandas(types_mapper=_nullable_types(pa), use_threads=False)
    _string_categories(pa, table, frame)
    return frame


def _string_categories(pa: Any, table: Any, frame: pd.DataFrame) -> None:
    """Gives the categories of a column whose dictionary is empty (all null in this file, such
    as a football market's venue) the dtype that texts get, which pandas would otherwise make
    object: partitions must agree on it, or dask refuses to concatenate them."""
    for i, field in enumerate(table.schema):
        if not pa.types.is_dictionary(field.type):
            continue
        column = frame[field.name]
        if len(column.cat.categories) == 0:
            categories = pd.Index([], dtype=_text_categories_dtype(pa))
            frame[field.name] = column.cat.set_categories(categories)


def _text_categories_dtype(pa: Any) -> Any:
    return pa.array(["x"]).dictionary_encode().to_pandas().cat.categories.dtype


def _local_files(pattern: str) -> list[str | tuple[str, ...] | MemberGroup]:
    matches = sorted(glob.glob(pattern, recursive=True)) if glob.has_magic(pattern) else [pattern]
    files: list[str] = []
    for match in matches:
        files.extend(walk_directory(match) if os.path.isdir(match) else [match])
    # A worker's working directory need not be ours, on another machine least of all.
    return _split_archives([os.path.abspath(f) for f in files])


# Partitions a plain tar is cut into at the least; large archives get more, as groups are kept
# near the size of their largest member (see member_groups).
ARCHIVE_PARTS = 8


def _split_archives(files: list[str]) -> list[str | tuple[str, ...] | MemberGroup]:
    """A local plain tar becomes groups of its members, one partition each: one archive is
    then spread over the cluster, and no worker holds the table of a whole archive. The files
    of a folder holding an event file make one partition, each market read once."""
    parts: list[str | tuple[str, ...] | MemberGroup] = []
    for file in with_event_folders(files):
        groups = member_groups(file, ARCHIVE_PARTS) if isinstance(file, str) else None
        parts.extend(groups if groups else [file])
    return parts


# Recordings a partition of a catalogue's rows reads: about what a member group of the
# exchange's tar holds (see GROUP_FLOOR).
RECORDINGS_PER_PART = 16


def _catalogue_parts(table: Any) -> list[Any]:
    """A catalogue's rows cut into partitions of consecutive recordings, each read by a worker as
    the whole would read it: every row of a recording goes with its first."""
    recordings = len(CatalogueSource(table).places)
    return [rows for rows, _, _ in split(table, -(-recordings // RECORDINGS_PER_PART))]


def _files(sources: Any, storage_options: dict[str, Any]) -> list[Any]:
    """Local paths as strings and groups of a tar's members (the engine opens them itself),
    remote files as fsspec OpenFiles (picklable: the worker opens them), a catalogue's rows as
    pyarrow Tables."""
    if is_table(sources):
        return _catalogue_parts(sources)
    items = [sources] if isinstance(sources, (str, os.PathLike)) else list(sources)
    files: list[Any] = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"sources are paths, globs or URLs, not {type(item).__name__}")
        source = os.fsdecode(os.fspath(item))
        found = (remote_files(source, storage_options) if is_url(source)
                 else _local_files(source))
        if not found:
            raise FileNotFoundError(f"no recordings found at {source!r}")
        files.extend(found)
    return files


class _Partition:
    """Builds one file's or member group's frame on a worker; carries the table function, its
    options and the backend."""

    def __init__(self, build: Callable[..., Any], options: dict[str, Any],
                 dtype_backend: DtypeBackend) -> None:
        self.build = build
        self.options = options
        self.dtype_backend = dtype_backend

    def __call__(self, file: Any) -> pd.DataFrame:
        with collecting_unmatched():  # a file is a part of the run (see the module's note)
            if isinstance(file, (str, tuple, MemberGroup)) or is_table(file):
                return to_pandas(self.build(file, **self.options), self.dtype_backend)
            with file as opened:
                return to_pandas(self.build(opened, **self.options), self.dtype_backend)


def _frame(build: Callable[..., Any], name: str, sources: Any,
           storage_options: dict[str, Any] | None, dtype_backend: DtypeBackend,
           options: dict[str, Any]) -> dd.DataFrame:
    options = {"threads": 1, **options}  # Dask spreads the tasks over the cores already
    # An empty recording gives the table's columns for these options with no rows; building it
    # here also checks every option and the backend before the cluster sees any.
    with collecting_unmatched():  # the recording of nothing meets no filter, of course
        empty = to_pandas(build(b"", **options), dtype_backend)
    # Each file has categories of its own: the meta must not claim to know them.
    meta = dd.utils.clear_known_categories(empty)  # type: ignore[no-untyped-call]
    files = _files(sources, storage_options or {})
    # to_pandas fixes every partition's dtypes already; checking them again costs a pass.
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _Partition(build, options, dtype_backend), files, meta=meta, label=f"vantrel-{name}",
        enforce_metadata=False)
    return frame


def catalogue(sources: Any, *, storage_options: dict[str, Any] | None = None,
              dtype_backend: DtypeBackend = "numpy_nullable", **options: Any) -> dd.DataFrame:
    """`vantrel.catalogue` of every file of `sources`, one partition per file or group of a
    plain tar's members: a member's `offset` is its place in the archive on disk, as
    `vantrel.catalogue` of the whole archive gives it."""
    return _frame(_tables.catalogue, "catalogue", sources, storage_options, dtype_backend,
                  options)


def prices_table(sources: Any, *, storage_options: dict[str, Any] | None = None,
                 dtype_backend: DtypeBackend = "numpy_nullable", **options: Any) -> dd.DataFrame:
    """`vantrel.prices_table` of every file of `sources`, one partition per file or group of a
    plain tar's members."""
    return _frame(_tables.prices_table, "prices", sources, storage_options, dtype_backend,
                  options)


def trades_table(sources: Any, *, storage_options: dict[str, Any] | None = None,
                 dtype_backend: DtypeBackend = "numpy_nullable", **options: Any) -> dd.DataFrame:
    """`vantrel.trades_table` of every file of `sources`, one partition per file or group of a
    plain tar's members."""
    return _frame(_tables.trades_table, "trades", sources, storage_options, dtype_backend,
                  options)


def market_summaries(sources: Any, *, storage_options: dict[str, Any] | None = None,
                     dtype_backend: DtypeBackend = "numpy_nullable", **options: Any) -> dd.DataFrame:
    """`vantrel.market_summaries` of every file of `sources`, one partition per file or group of a
    plain tar's members."""
    return _frame(_tables.market_summaries, "markets", sources, storage_options, dtype_backend,
                  options)


def runner_summaries(sources: Any, *, storage_options: dict[str, Any] | None = None,
                     dtype_backend: DtypeBackend = "numpy_nullable", **options: Any) -> dd.DataFrame:
    """`vantrel.runner_summaries` of every file of `sources`, one partition per file or group of a
    plain tar's members."""
    return _frame(_tables.runner_summaries, "runners", sources, storage_options, dtype_backend,
                  options)
