"""A small replay that goes down every path that allocates, for a run under valgrind.

Generates its own files (a short race, plain and gzip, and a few broken ones) in a temporary
directory, then loads, replays and exports them the ways callers do: to the end, abandoned
half-way, with snapshots kept or dropped, with to_dict(), and through load errors. Then
vantrel.replay reads the race out of every compressed format and archive, damaged ones too.
"""

import gzip
import io
import os
import sys
import tempfile
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

import vantrel  # noqa: E402
from helpers.archives import pieces  # noqa: E402
from tools import recordings  # noqa: E402
from tools.recordings.archives import (COMPRESSORS, ZIP_METHODS,  # noqa: E402
                                       compress, tar_bytes, zip_bytes)
from vantrel import _engine, _replay, _sources  # noqa: E402


def replay_all(books, export):
    kept = []
    for i, book in enumerate(books):
        if export:
            book.to_dict()
        if i % 50 == 0:
            kept.append(book)
    return len(kept)


def abandon(path):
    it = vantrel.iter_prices_file(path)
    for i, book in enumerate(it):
        if i == len(it) // 2:
            return book.runners


def replay_sources(tmp, race):
    """Every source kind and format once, kept whole, dropped half-way or failing."""
    members = [("a.json", race), ("b.gz", compress("gzip", race))]
    sources = [compress(kind, race) for kind in COMPRESSORS]
    sources += [b"".join(compress(kind, part) for part in pieces(race, 2)) for kind in COMPRESSORS]
    sources += [tar_bytes(members, kind) for kind in ("plain", *COMPRESSORS)]
    sources += [zip_bytes(members, method) for method in ZIP_METHODS]
    walk = Path(tmp, "walk")
    (walk / "nested").mkdir(parents=True)
    (walk / "nested" / "1.tar").write_bytes(tar_bytes(members))
    (walk / "2.bz2").write_bytes(compress("bzip2", race))
    sources += [io.BytesIO(sources[0]), bytearray(sources[1]), memoryview(sources[2]), walk]
    for i, source in enumerate(sources):
        if not replay_all(vantrel.replay(source), export=i % 2 == 0):
            raise SystemExit(f"source {i} replayed nothing")
    for book in vantrel.replay(tar_bytes(members, "xz"), markets=["none"]):
        raise SystemExit("the market filter let a book through")
    half = vantrel.replay(zip_bytes(members, "lzma"))
    for _ in range(len(race.splitlines()) + 5):
        next(half)
    del half

    zipped = zip_bytes(members, "bzip2")
    broken = [
        compress("xz", race)[:-40],
        tar_bytes(members, "zstd")[:-600],
        zipped[: zipped.index(b"PK\1\2") - 50] + zipped[zipped.index(b"PK\1\2"):],
        zip_bytes(members, change=lambda infos: setattr(infos[0], "flag_bits", 1)),
        tar_bytes([("inner.zip", zipped), *members]),
        io.BytesIO(b"not a recording"),
    ]
    with warnings.catch_warnings(record=True) as skipped:
        warnings.simplefilter("always")
        list(vantrel.replay(broken, errors="skip"))
    if len(skipped) != len(broken):
        raise SystemExit(f"{len(skipped)} warnings for {len(broken)} broken sources")
    for source in broken[:3]:
        try:
            list(vantrel.replay(source))
        except vantrel.ReplayError:
            pass
        else:
            raise SystemExit("a broken source replayed without error")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        capped = _engine.replay(_sources.inputs(tar_bytes(members)), _replay._warn,
                                max_recording_bytes=len(race) // 2)
        if list(capped):
            raise SystemExit("a recording over the cap replayed")


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    with tempfile.TemporaryDirectory(prefix="vantrel-memcheck-") as tmp:
        plain = os.path.join(tmp, "1.100000001")
        packed = os.path.join(tmp, "1.100000001.gz")
        recordings.generate(plain, "sample", messages=300)
        with open(plain, "rb") as src, gzip.open(packed, "wb") as dst:
            dst.write(src.read())
        broken = {
            "cut.gz": Path(packed).read_bytes()[:-20],
            "bad.json": b'{"op":"mcm","pt":1,"mc":[]}\n{"op":\n',
            "utf8.json": b'{"op":"mcm","pt":1,"mc":[]}\n\xff\n',
        }
        for name, data in broken.items():
            Path(tmp, name).write_bytes(data)

        for path in (plain, packed):
            replay_all(vantrel.iter_prices_file(path), export=True)
            replay_all(vantrel.iter_prices_file(path), export=False)
            abandon(path)
        for name in broken:
            try:
                replay_all(vantrel.iter_prices_file(os.path.join(tmp, name)), export=False)
            except ValueError:
                pass
            else:
                raise SystemExit(f"{name} loaded without error")
        try:
            vantrel.iter_prices_file(tmp)
        except ValueError:
            pass
        replay_sources(tmp, Path(plain).read_bytes())
    print("memcheck workload done")


if __name__ == "__main__":
    main()
