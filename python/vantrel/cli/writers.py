"""The output: tables written one after another into a temporary file beside the output, renamed into place when complete."""

from __future__ import annotations

import errno
import json
import os
from collections.abc import Callable

from .._sources import TYPE_CHECKING
from .errors import InputError, OutputError, cannot_write
from .orphans import output_part_name
from .tasks import EncodedPart, parquet_writer

if TYPE_CHECKING:
    from typing import Any


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
        # A dictionary first written empty (a column all null so far, such as the venue of a
        # football market) cannot be extended by a delta: the file would have to replace it.
        # An entry nothing points to keeps it growable.
        if not known:
            known[""] = 0
        indices = pa.array(mapping, pa.int32()).take(chunk.indices)
        dictionary = pa.array(list(known), pa.string())
        return pa.DictionaryArray.from_arrays(indices, dictionary)


class _JoinedParquet:
    """The Parquet output of parts the workers encoded: their row groups are copied in, not
    encoded again."""

    def __init__(self, path: str) -> None:
        from .._parquet_join import ParquetJoin

        self._file = open(path, "wb")
        self._join = ParquetJoin(self._file)

    def write_part(self, part: EncodedPart) -> None:
        from .._parquet_join import DifferentColumns

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


def _new_part(folder: str, name: str) -> tuple[int, str]:
    """A new file for the output's bytes under a name of its own beside the output. Made as any
    new file is (the process umask applies, as to the finished output it becomes), not private
    as mkstemp makes it, so that renaming it into place needs no change of mode."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    for _ in range(100):
        candidate = os.path.join(folder, output_part_name(name))
        try:
            return os.open(candidate, flags, 0o666), candidate
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free name for the output's temporary file")


class Writer:
    """Writes tables one after another into a temporary file beside `path`, renamed into place
    by commit(); the temporary file is made at once, so an unwritable place fails before work."""

    def __init__(self, path: str, form: str) -> None:
        self.path = path
        self.form = form
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise OutputError(f"cannot write {path!r}: folder {folder!r} does not exist")
        try:
            handle, self.temporary = _new_part(folder, os.path.basename(path))
        except OSError as exc:
            raise cannot_write(path, exc) from None
        self._writer: Any = None
        try:
            os.close(handle)
        except BaseException:  # Ctrl-C can land here, before the caller could clean up
            self.discard()
            raise
        self._unifier = _DictionaryUnifier() if form == "arrow" else None

    def write(self, table: Any) -> None:
        try:
            self._write(table)
        except OSError as exc:  # a full disk among them: what is written so far goes in discard()
            raise cannot_write(self.path, exc) from None

    def _write(self, table: Any) -> None:
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
        try:
            self._writer.close()
            os.replace(self.temporary, self.path)
        except OSError as exc:
            raise cannot_write(self.path, exc) from None

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
