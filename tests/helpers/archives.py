"""Compressed files and tar and zip archives, built in memory the way common tools write them."""

import bz2
import gzip
import io
import lzma
import struct
import tarfile
import zipfile

import zstandard

COMPRESSORS = {
    "gzip": lambda data: gzip.compress(data, mtime=0),
    "bzip2": bz2.compress,
    # The zstd tool writes a checksum by default; without one, damage can pass unseen.
    "zstd": lambda data: zstandard.ZstdCompressor(write_checksum=True).compress(data),
    "xz": lambda data: lzma.compress(data, format=lzma.FORMAT_XZ),
}

ZIP_METHODS = {
    "stored": zipfile.ZIP_STORED,
    "deflate": zipfile.ZIP_DEFLATED,
    "bzip2": zipfile.ZIP_BZIP2,
    "lzma": zipfile.ZIP_LZMA,
}


def compress(kind, data):
    """`data` compressed as `kind` ("plain" leaves it as it is)."""
    return data if kind == "plain" else COMPRESSORS[kind](data)


def pieces(data, count):
    """`data` cut into `count` parts at even offsets, so the cuts fall inside lines."""
    step = -(-len(data) // count)
    return [data[i:i + step] for i in range(0, len(data), step)]


def zstd_skippable_frame(payload):
    return struct.pack("<II", 0x184D2A50, len(payload)) + payload


def tar_bytes(members, compression="plain"):
    """A tar of `members`: (name, bytes) pairs for files, TarInfo for entries without data."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for member in members:
            if isinstance(member, tarfile.TarInfo):
                tar.addfile(member)
                continue
            name, data = member
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return compress(compression, out.getvalue())


def tar_entry(name, kind, **fields):
    """A tar entry of a kind other than a regular file (tarfile.SYMTYPE, DIRTYPE, ...)."""
    info = tarfile.TarInfo(name)
    info.type = kind
    for key, value in fields.items():
        setattr(info, key, value)
    return info


def zip_bytes(members, method="deflate", *, change=None):
    """A zip of (name, bytes) members. `change(infos)` may alter the central directory's
    records before they are written, for archives that lie about their members."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression=ZIP_METHODS[method]) as archive:
        for name, data in members:
            archive.writestr(name, data)
        if change is not None:
            change(archive.filelist)
    return out.getvalue()


def exchange_tar(path, recordings, tar_format=tarfile.GNU_FORMAT, extra=()):
    """A plain tar as the exchange ships its data: folders entered before what they hold, one
    bzip2 file per recording under PRO/<year>/<month>/<day>/<event>/. `recordings` are
    (relative name, bytes) pairs; `extra` entries (TarInfo) go after the first member."""
    with tarfile.open(path, "w", format=tar_format) as tar:
        folders = set()
        for index, (name, data) in enumerate(recordings):
            parts = name.split("/")[:-1]
            for depth in range(1, len(parts) + 1):
                folder = "/".join(parts[:depth])
                if folder not in folders:
                    folders.add(folder)
                    tar.addfile(tar_entry(folder, tarfile.DIRTYPE, mode=0o755))
            packed = bz2.compress(data)
            info = tarfile.TarInfo(name + ".bz2")
            info.size = len(packed)
            tar.addfile(info, io.BytesIO(packed))
            if index == 0:
                for entry in extra:
                    tar.addfile(entry)
    return str(path)


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
