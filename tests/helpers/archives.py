"""Damaged and unusual archives for the tests; the archives themselves come from the
generator (tools/recordings/archives.py)."""

import io
import struct
import tarfile


def pieces(data, count):
    """`data` cut into `count` parts at even offsets, so the cuts fall inside lines."""
    step = -(-len(data) // count)
    return [data[i:i + step] for i in range(0, len(data), step)]


def zstd_skippable_frame(payload):
    return struct.pack("<II", 0x184D2A50, len(payload)) + payload


def regular_header_offset(data, index):
    """Offset of the header block of the index-th regular member of the tar `data`."""
    return [m for m in tarfile.open(fileobj=io.BytesIO(data)) if m.isreg()][index].offset_data - 512


def with_header(data, offset, change):
    """`data` with the header block at `offset` changed by `change(bytearray)`, its checksum
    made right again, so that only what `change` did is wrong with it."""
    block = bytearray(data[offset:offset + 512])
    change(block)
    block[148:156] = b" " * 8
    block[148:155] = b"%06o\0" % sum(block)
    return data[:offset] + bytes(block) + data[offset + 512:]


def v7_header(data, index):
    """The index-th member's header made an old V7 one: no magic, version, owner names or
    prefix. GNU tar and tarfile read it."""
    def change(block):
        block[257:500] = bytes(243)
    return with_header(data, regular_header_offset(data, index), change)


def huge_base256_size(data, index=2):
    """The index-th member's size in base-256, near 2**63."""
    def change(block):
        block[124:136] = b"\x80" + b"\x00" * 3 + b"\x7f" + b"\xff" * 7
    return with_header(data, regular_header_offset(data, index), change)


def long_name_of_32_tib(data, index=2):
    """A GNU long-name entry claiming 32 TiB of name, in front of the index-th member."""
    offset = regular_header_offset(data, index)
    entry = bytearray(tarfile.TarInfo("././@LongLink").tobuf(tarfile.GNU_FORMAT)[:512])
    entry[156:157] = b"L"
    entry[124:136] = b"\x80" + b"\x00" * 6 + b"\x20" + b"\x00" * 4
    return with_header(data[:offset] + bytes(entry) + data[offset:], offset, lambda block: None)
