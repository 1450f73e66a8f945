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
