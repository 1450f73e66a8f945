"""Parquet files written apart, joined into one without decoding a value.

Each worker of `vantrel export` encodes its own part, so the encoding is spread over the
workers too; the parent copies the parts' row groups one after another and writes one footer
listing them all, each moved to where its bytes now are. pyarrow writes row groups from Arrow
data only: joining through it would encode every value a second time in the parent.

The footer is Thrift's compact protocol (the Parquet format's `FileMetaData`). Only the file
positions in it change, so every other field is copied byte for byte, whatever fields a
writer's version adds.
"""

from __future__ import annotations

import struct
from typing import BinaryIO

MAGIC = b"PAR1"
_TAIL = 8  # footer length (little-endian u32) and the magic

# Compact protocol field types
_STOP, _TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY = range(9)
_LIST, _SET, _MAP, _STRUCT, _UUID = 9, 10, 11, 12, 13
_FIXED = {_TRUE: 0, _FALSE: 0, _BYTE: 1, _DOUBLE: 8, _UUID: 16}

# Field ids of the format's structs that hold file positions
_FILE_NUM_ROWS, _FILE_ROW_GROUPS = 3, 4
_GROUP_COLUMNS, _GROUP_FILE_OFFSET, _GROUP_ORDINAL = 1, 5, 7
_CHUNK_FILE_OFFSET, _CHUNK_META, _CHUNK_OFFSET_INDEX, _CHUNK_COLUMN_INDEX = 2, 3, 4, 6
# data page, index page, dictionary page and bloom filter offsets of ColumnMetaData
_META_OFFSETS = frozenset((9, 10, 11, 14))


class ParquetJoinError(ValueError):
    """A part is not a Parquet file this module can join."""


class DifferentColumns(ParquetJoinError):
    """A part's columns are not the first part's."""


def _zigzag(value: int) -> int:
    return (value << 1) ^ (value >> 63)


def _varint(value: int) -> bytes:
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            raise ParquetJoinError("Parquet footer ends too early")
        value = self.data[self.pos]
        self.pos += 1
        return value

    def varint(self) -> int:
        value = shift = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if b < 0x80:
                return value
            shift += 7

    def signed(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def field(self, last: int) -> tuple[int, int]:
        """(type, id) of the next field of a struct; type _STOP at its end."""
        b = self.byte()
        kind, delta = b & 0x0F, b >> 4
        if kind == _STOP:
            return _STOP, 0
        return kind, last + delta if delta else self.signed()

    def list_header(self) -> tuple[int, int]:
        b = self.byte()
        size = b >> 4
        return b & 0x0F, self.varint() if size == 15 else size

    def skip(self, kind: int) -> None:
        if kind in _FIXED:
            self.pos += _FIXED[kind]
        elif kind in (_I16, _I32, _I64):
            self.varint()
        elif kind == _BINARY:
            length = self.varint()  # read before pos is: reading moves it
            self.pos += length
        elif kind in (_LIST, _SET):
            element, size = self.list_header()
            for _ in range(size):
                # booleans in a list take a byte each
                self.skip(_BYTE if element in (_TRUE, _FALSE) else element)
        elif kind == _MAP:
            size = self.varint()
            if size:
                kinds = self.byte()
                for _ in range(size):
                    self.skip(kinds >> 4)
                    self.skip(kinds & 0x0F)
        elif kind == _STRUCT:
            last = 0
            while True:
                inner, last = self.field(last)
                if inner == _STOP:
                    return
                self.skip(inner)
        else:
            raise ParquetJoinError(f"unknown Thrift type {kind} in a Parquet footer")
        if self.pos > len(self.data):
            raise ParquetJoinError("Parquet footer ends too early")


def _moved_struct(r: _Reader, out: bytearray, delta: int, positions: frozenset[int],
                  nested: dict[int, object], replaced: dict[int, bytes] | None = None) -> None:
    """Copies a struct, adding `delta` to its i64 fields in `positions`; fields in `nested`
    are structs (or lists of them) rewritten by the function given, and the values of fields
    in `replaced` become the bytes given."""
    last = 0
    while True:
        start = r.pos
        kind, field = r.field(last)
        out += r.data[start:r.pos]
        if kind == _STOP:
            return
        last = field
        value_start = r.pos
        if field in positions and kind == _I64:
            # 0 is no position (the magic is there): writers leave the old file_offset so
            position = r.signed()
            out += _varint(_zigzag(position + delta if position else 0))
        elif field in nested and kind in (_STRUCT, _LIST):
            rewrite = nested[field]
            if kind == _STRUCT:
                rewrite(r, out, delta)  # type: ignore[operator]
            else:
                header = r.pos
                element, size = r.list_header()
                out += r.data[header:r.pos]
                for _ in range(size):
                    rewrite(r, out, delta)  # type: ignore[operator]
        else:
            r.skip(kind)
            out += replaced[field] if replaced and field in replaced else \
                r.data[value_start:r.pos]


def _column_meta(r: _Reader, out: bytearray, delta: int) -> None:
    _moved_struct(r, out, delta, _META_OFFSETS, {})


def _column_chunk(r: _Reader, out: bytearray, delta: int) -> None:
    start = len(out)
    _moved_struct(r, out, delta, frozenset((_CHUNK_FILE_OFFSET,)), {_CHUNK_META: _column_meta})
    if _has_field(bytes(out[start:]), (_CHUNK_OFFSET_INDEX, _CHUNK_COLUMN_INDEX)):
        # Page indexes hold the file positions of every page, outside the footer.
        raise ParquetJoinError("parts with page indexes cannot be joined")


def _has_field(struct_bytes: bytes, fields: tuple[int, ...]) -> bool:
    r = _Reader(struct_bytes)
    last = 0
    while True:
        kind, last = r.field(last)
        if kind == _STOP:
            return False
        if last in fields:
            return True
        r.skip(kind)


def _row_group(r: _Reader, out: bytearray, delta: int) -> None:
    _moved_struct(r, out, delta, frozenset((_GROUP_FILE_OFFSET,)),
                  {_GROUP_COLUMNS: _column_chunk})


class _Footer:
    """A part's FileMetaData: its fields' bytes as written, its row count, and its row groups
    rewritten for `delta` bytes further into the joined file."""

    def __init__(self, data: bytes, delta: int) -> None:
        r = _Reader(data)
        self.fields: list[tuple[int, bytes, bytes]] = []  # (id, header, value) in order
        self.rows = 0
        self.row_groups: list[bytearray] = []
        last = 0
        while True:
            start = r.pos
            kind, field = r.field(last)
            if kind == _STOP:
                break
            last = field
            header_end = r.pos
            if field == _FILE_NUM_ROWS and kind == _I64:
                self.rows = r.signed()
            elif field == _FILE_ROW_GROUPS and kind == _LIST:
                element, size = r.list_header()
                for _ in range(size):
                    group = bytearray()
                    _row_group(r, group, delta)
                    self.row_groups.append(group)
            else:
                r.skip(kind)
            self.fields.append((field, data[start:header_end], data[header_end:r.pos]))
        if r.pos != len(data):
            raise ParquetJoinError("Parquet footer has bytes after its end")

    def same_columns(self, other: _Footer) -> bool:
        """Whether the two describe the same columns: every field but the rows and row groups
        (schema, key-value metadata with Arrow's schema, writer, column orders) alike."""
        def rest(f: _Footer) -> list[tuple[int, bytes, bytes]]:
            return [x for x in f.fields if x[0] not in (_FILE_NUM_ROWS, _FILE_ROW_GROUPS)]
        return rest(self) == rest(other)


def _ordinal(index: int) -> bytes:
    # The format keeps ordinals in an i16; past it they wrap, as a C++ cast would.
    wrapped = (index + 0x8000) % 0x10000 - 0x8000
    return _varint(_zigzag(wrapped))


def _renumbered(group: bytearray, index: int) -> bytes:
    """A rewritten RowGroup with its ordinal set to its place in the joined file."""
    out = bytearray()
    _moved_struct(_Reader(bytes(group)), out, 0, frozenset(), {}, {_GROUP_ORDINAL: _ordinal(index)})
    return bytes(out)


def _list_header(size: int, element: int) -> bytes:
    return bytes([size << 4 | element]) if size < 15 else bytes([0xF0 | element]) + _varint(size)


class ParquetJoin:
    """Appends whole Parquet files' row groups to `sink`, written from its current position
    on (a new file), and on close() one footer for them all."""

    def __init__(self, sink: BinaryIO) -> None:
        self.sink = sink
        self.first: _Footer | None = None
        self.rows = 0
        self.row_groups: list[bytes] = []
        self.position = 0

    def append(self, data: bytes) -> None:
        """Adds the row groups of the Parquet file `data`; ParquetJoinError if it is not one,
        DifferentColumns if its columns are not the first part's."""
        if len(data) < len(MAGIC) + _TAIL or data[:4] != MAGIC or data[-4:] != MAGIC:
            raise ParquetJoinError("not a Parquet file")
        (length,) = struct.unpack_from("<I", data, len(data) - _TAIL)
        body_end = len(data) - _TAIL - length
        if body_end < len(MAGIC):
            raise ParquetJoinError("Parquet footer longer than its file")
        if self.position == 0:
            self.sink.write(MAGIC)
            self.position = len(MAGIC)
        # The part's bytes after its magic land at self.position instead of at 4.
        footer = _Footer(data[body_end:len(data) - _TAIL], self.position - len(MAGIC))
        if self.first is None:
            self.first = footer
        elif not footer.same_columns(self.first):
            raise DifferentColumns("the parts have different columns")
        self.sink.write(memoryview(data)[len(MAGIC):body_end])
        self.position += body_end - len(MAGIC)
        self.rows += footer.rows
        self.row_groups += [_renumbered(g, len(self.row_groups) + i)
                            for i, g in enumerate(footer.row_groups)]

    def close(self) -> None:
        """Writes the footer; nothing may be appended after it."""
        if self.first is None:
            raise ParquetJoinError("no part to join")
        out = bytearray()
        for field, header, value in self.first.fields:
            out += header
            if field == _FILE_NUM_ROWS:
                out += _varint(_zigzag(self.rows))
            elif field == _FILE_ROW_GROUPS:
                out += _list_header(len(self.row_groups), _STRUCT)
                out += b"".join(self.row_groups)
            else:
                out += value
        out.append(_STOP)
        self.sink.write(bytes(out))
        self.sink.write(struct.pack("<I", len(out)) + MAGIC)

