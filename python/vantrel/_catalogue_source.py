"""A catalogue table as a source: the members its rows name, each read with one seek to where
the catalogue puts it, once its archive's header there is found to still say what the
catalogue said.

Rows come from vantrel.catalogue, kept or dropped however the caller liked, as a pyarrow Table,
a pandas or polars DataFrame, or any table that pyarrow can take. A member is read where its
first row is, once however many rows name it (an event-level file names many markets), and
only the markets the rows name are kept. A row without an offset (a member of a compressed tar,
a recording read from memory or a URL) has no place to seek to: its source is read whole, where
its first such row is, keeping the markets those rows name.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterator

from ._sources import TYPE_CHECKING, _os_failure, inputs, member_name

if TYPE_CHECKING:
    import zipfile
    from collections.abc import Callable
    from typing import Any, BinaryIO

    from ._filter import EngineFilter

COLUMNS = ("source", "member", "offset", "size", "market_id")
_TEXTS = ("source", "member", "market_id")
_NULLABLE = ("member", "offset", "size")

# What the engine would take of one recording at most (its default limit): a zip member that
# declares more is not decompressed here either.
MAX_RECORDING_BYTES = 4 << 30

TAR_BLOCK = 512
ZIP_LOCAL_HEADER = struct.Struct("<4s5H3L2H")
ZIP_LOCAL_MAGIC = b"PK\x03\x04"


def is_table(obj: object) -> bool:
    """Whether `obj` is a table rather than a source: what pyarrow, pandas and polars make, or
    anything offering Arrow's stream or the dataframe interchange protocol."""
    # pyarrow's own file objects are sources, read as any file object is
    if isinstance(obj, (str, bytes, bytearray, memoryview, os.PathLike)) or callable(
            getattr(obj, "read", None)):
        return False
    return hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__dataframe__")


def _arrow_table(pa: Any, table: Any) -> Any:
    if isinstance(table, pa.Table):
        return table
    if isinstance(table, pa.RecordBatch):
        return pa.Table.from_batches([table])
    if type(table).__module__.partition(".")[0] == "pandas":
        return pa.Table.from_pandas(table, preserve_index=False)
    to_arrow = getattr(table, "to_arrow", None)  # polars
    if callable(to_arrow):
        return to_arrow()
    if hasattr(table, "__arrow_c_stream__"):
        return pa.table(table)
    if hasattr(table, "__dataframe__"):
        from pyarrow.interchange import from_dataframe

        return from_dataframe(table)
    raise TypeError(f"a catalogue must be a table, not {type(table).__name__}")


def _column(pa: Any, table: Any, name: str) -> list[Any]:
    """A column's values, checked for the type the catalogue gives it (or one that stands for
    it: a dictionary of strings, floats that are whole numbers as pandas makes of ints with
    nulls), before any work."""
    if name not in table.column_names:
        raise ValueError(f"the catalogue has no {name!r} column: it needs "
                         + ", ".join(repr(c) for c in COLUMNS))
    column = table.column(name)
    kind = column.type
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
        column = column.cast(kind)
    # pandas makes an all-None column, or an empty one, of Arrow's null type
    if pa.types.is_null(kind) and (name in _NULLABLE or len(column) == 0):
        return [None] * len(column)
    if name in _TEXTS:
        if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)
                or getattr(pa.types, "is_string_view", lambda t: False)(kind)):
            raise TypeError(f"the catalogue's {name!r} column must hold strings, not {kind}")
    elif pa.types.is_integer(kind) or pa.types.is_floating(kind):
        try:
            column = column.cast(pa.int64())  # safe: a fraction or an overflow fails
        except (pa.ArrowInvalid, OverflowError):
            raise ValueError(f"the catalogue's {name!r} column must hold whole numbers") from None
    else:
        raise TypeError(f"the catalogue's {name!r} column must hold integers, not {kind}")
    if name not in _NULLABLE and column.null_count:
        raise ValueError(f"the catalogue's {name!r} column has nulls")
    values: list[Any] = column.to_pylist()
    if name in ("offset", "size") and any(v is not None and v < 0 for v in values):
        raise ValueError(f"the catalogue's {name!r} column has negative values")
    return values


def _places(arrow: Any, pa: Any) -> tuple[list[tuple[Any, ...]], list[str]]:
    """The place each row names, (source, member, offset, size), with None for the member,
    offset and size of a source to read whole; and each row's market id."""
    sources, members, offsets, sizes, markets = (_column(pa, arrow, c) for c in COLUMNS)
    places = []
    for source, member, offset, size in zip(sources, members, offsets, sizes):
        if (offset is None) != (size is None):
            raise ValueError(f"the catalogue gives {source!r} (member {member!r}) an "
                             "offset without a size or a size without an offset")
        places.append((source, None if offset is None else member, offset, size))
    return places, markets


class CatalogueSource:
    """The recordings a catalogue's rows name, in the rows' order, each once, and the markets
    they name, all together and by recording."""

    __slots__ = ("places", "markets")

    def __init__(self, table: object) -> None:
        from ._tables import _pyarrow

        pa = _pyarrow()
        places, markets = _places(_arrow_table(pa, table), pa)
        self.places: dict[tuple[Any, ...], list[str]] = {}
        for place, market in zip(places, markets):
            named = self.places.setdefault(place, [])
            if market not in named:
                named.append(market)
        self.markets = list(dict.fromkeys(markets))

    def narrow(self, given: EngineFilter) -> EngineFilter:
        """The caller's filter, keeping only the markets the rows name."""
        ids = self.markets
        if "markets" in given:
            asked = set(given["markets"])  # type: ignore[arg-type]
            ids = [market for market in ids if market in asked]
        return {**given, "markets": ids}

    def inputs(self, storage_options: dict[str, Any] | None) -> Iterator[tuple[Any, ...]]:
        # A recording read at its place must still hold the markets its rows name: a member
        # overwritten with another's bytes may keep its header, and even its size.
        with _Archives() as archives:
            for (source, member, offset, size), markets in self.places.items():
                if offset is None:
                    yield from inputs(source, storage_options)
                elif member is None:
                    yield _holding(_lone_file(source, offset, size), markets)
                else:
                    yield _holding(archives.member(source, member, offset, size), markets)


def split(table: object, parts: int) -> list[tuple[Any, int, int]]:
    """The catalogue cut into about `parts` pieces of consecutive recordings, each as (its
    rows, the recordings they name, their stored bytes), in the order the whole would read
    them: every row of a recording goes with its first, so that none is read twice."""
    from ._tables import _pyarrow

    pa = _pyarrow()
    arrow = _arrow_table(pa, table)
    places, _ = _places(arrow, pa)
    first: dict[tuple[Any, ...], int] = {}
    numbers = [first.setdefault(place, len(first)) for place in places]
    sizes = [0] * len(first)
    for place, number in zip(places, numbers):
        sizes[number] = place[3] or 0
    order = sorted(range(len(places)), key=numbers.__getitem__)
    per = max(1, -(-len(first) // max(parts, 1)))
    pieces, start = [], 0
    for low in range(0, len(first), per):
        end = start
        while end < len(order) and numbers[order[end]] < low + per:
            end += 1
        count = min(per, len(first) - low)
        pieces.append((arrow.take(order[start:end]), count, sum(sizes[low:low + count])))
        start = end
    return pieces


def _holding(item: tuple[Any, ...], markets: list[str]) -> tuple[Any, ...]:
    """An input, with the markets its recording must hold as its fifth item."""
    return item + (None,) * (4 - len(item)) + (markets,)


def _changed(source: str, member: str | None, why: str) -> tuple[Any, ...]:
    return source, ValueError(f"{why}: the file changed since it was catalogued"), member


def _lone_file(path: str, offset: int, size: int) -> tuple[Any, ...]:
    try:
        actual = os.path.getsize(path)
    except OSError as exc:
        return path, _os_failure(exc)
    if offset != 0 or actual != size:
        return _changed(path, None, f"the catalogue has it as {size} bytes from {offset}, "
                                    f"the file holds {actual}")
    return path, path


class _Archives:
    """The archive being read, kept open while consecutive rows name its members."""

    def __init__(self) -> None:
        self.path: str | None = None
        self.file: BinaryIO | None = None
        self.zip: Any = None  # the archive's zipfile.ZipFile, once a member is read as a zip's
        self.zip_members: dict[str, zipfile.ZipInfo] = {}

    def __enter__(self) -> _Archives:
        return self

    def __exit__(self, *exc: object) -> None:
        self._close()

    def _close(self) -> None:
        if self.zip is not None:
            self.zip.close()
        if self.file is not None:
            self.file.close()
        self.path = self.file = self.zip = None
        self.zip_members = {}

    def _open(self, path: str) -> BinaryIO:
        if self.path != path or self.file is None:
            self._close()
            self.file = open(path, "rb")
            self.path = path
        return self.file

    def member(self, path: str, member: str, offset: int, size: int) -> tuple[Any, ...]:
        try:
            file = self._open(path)
            length = os.fstat(file.fileno()).st_size
            if offset + size > length:
                return _changed(path, member, f"the catalogue has this member at bytes {offset} "
                                              f"to {offset + size}, the file holds {length}")
            if _tar_header_names(file, offset, member, size):
                file.seek(offset)
                return path, file.read(size), member, offset
            return self._zip_member(path, member, offset, size)
        except OSError as exc:
            return path, _os_failure(exc), member

    def _zip_member(self, path: str, member: str, offset: int, size: int) -> tuple[Any, ...]:
        import zipfile

        assert self.file is not None
        if self.zip is None:
            try:
                self.zip = zipfile.ZipFile(self.file)
            except zipfile.BadZipFile:
                return _changed(path, member, f"no tar header of this member before byte "
                                              f"{offset}, and the file is no zip")
            self.zip_members = {member_name(_zip_stored_name(info)): info
                                for info in reversed(self.zip.infolist())}
        info = self.zip_members.get(member)
        if info is None:
            return _changed(path, member, "the zip has no such member")
        where = _zip_data_offset(self.file, info)
        if where != offset or info.compress_size != size:
            return _changed(path, member, f"the catalogue has this member's {size} bytes at "
                                          f"{offset}, the zip its {info.compress_size} at {where}")
        if info.file_size > MAX_RECORDING_BYTES:
            return path, ValueError(f"the member declares {info.file_size} bytes, more than "
                                    f"{MAX_RECORDING_BYTES} a recording may take"), member
        try:
            with self.zip.open(info) as opened:
                data = opened.read()
        except (zipfile.BadZipFile, NotImplementedError, EOFError, ValueError) as exc:
            return path, ValueError(f"the zip member cannot be read: {exc}"), member
        return path, data, member, None


def _zip_stored_name(info: zipfile.ZipInfo) -> bytes:
    """The name's bytes as the zip stores them: zipfile decodes those without the UTF-8 flag
    as cp437."""
    return info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def _zip_data_offset(file: BinaryIO, info: zipfile.ZipInfo) -> int | None:
    """Where the member's data begins after its local header, or None when no local header
    naming it stands where the central directory says."""
    file.seek(info.header_offset)
    header = file.read(ZIP_LOCAL_HEADER.size)
    if len(header) < ZIP_LOCAL_HEADER.size:
        return None
    fields = ZIP_LOCAL_HEADER.unpack(header)
    magic, name_length, extra_length = fields[0], int(fields[9]), int(fields[10])
    if magic != ZIP_LOCAL_MAGIC or file.read(name_length) != _zip_stored_name(info):
        return None
    return info.header_offset + ZIP_LOCAL_HEADER.size + name_length + extra_length


def _tar_number(field: bytes) -> int | None:
    if field[:1] and field[0] & 0x80:  # base-256, for sizes past octal's 8 GiB
        return int.from_bytes(field[1:], "big")
    text = field.split(b"\0", 1)[0].strip()
    try:
        return int(text, 8) if text else 0
    except ValueError:
        return None


def _tar_header_names(file: BinaryIO, offset: int, member: str, size: int) -> bool:
    """Whether the tar header right before `offset` is a sound one of a regular file of
    `size` bytes named `member`. A name too long for the header's fields (carried in an
    extended header before it) need only begin with what they hold."""
    if offset < TAR_BLOCK:
        return False
    file.seek(offset - TAR_BLOCK)
    header = file.read(TAR_BLOCK)
    if len(header) < TAR_BLOCK:
        return False
    checksum = _tar_number(header[148:156])
    if checksum is None or checksum != sum(header[:148]) + 8 * 32 + sum(header[156:]):
        return False
    if header[156:157] not in (b"0", b"\0", b"7") or _tar_number(header[124:136]) != size:
        return False
    name = header[:100].split(b"\0", 1)[0]
    prefix = header[345:500].split(b"\0", 1)[0] if header[257:263] == b"ustar\0" else b""
    stored = prefix + b"/" + name if prefix else name
    shown = member_name(stored)
    return shown == member or (len(name) >= 99 and member.startswith(shown))


def narrowed(source: object, given: EngineFilter, stacklevel: int
             ) -> tuple[EngineFilter, Callable[[list[str]], None] | None]:
    """The filter the engine is given for `source`, and the reporter of the keys no market met
    (see _filter.reporter): for a catalogue, only the markets its rows name are kept, and
    nothing is said of them."""
    from ._filter import reporter

    if not isinstance(source, CatalogueSource):
        return given, reporter(given, stacklevel)
    report = reporter(given, stacklevel + 1)  # from within the lambda below
    if report is None:
        return source.narrow(given), None
    return source.narrow(given), lambda names: report([n for n in names if n in given])
