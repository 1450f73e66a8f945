"""A small replay that goes down every path that allocates, for a run under valgrind.

Generates its own files (a short race, plain and gzip, and a few broken ones) in a temporary
directory, then loads, replays and exports them the ways callers do: to the end, abandoned
half-way, with snapshots kept or dropped, with to_dict(), and through load errors.
"""

import gzip
import os
import sys
import tempfile
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import gen_stream  # noqa: E402
import vantrel  # noqa: E402


def replay_all(path, export):
    kept = []
    for i, book in enumerate(vantrel.iter_prices_file(path)):
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


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    with tempfile.TemporaryDirectory(prefix="vantrel-memcheck-") as tmp:
        plain = os.path.join(tmp, "1.100000001")
        packed = os.path.join(tmp, "1.100000001.gz")
        gen_stream.generate(plain, "sample", messages=300)
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
            replay_all(path, export=True)
            replay_all(path, export=False)
            abandon(path)
        for name in broken:
            try:
                replay_all(os.path.join(tmp, name), export=False)
            except ValueError:
                pass
            else:
                raise SystemExit(f"{name} loaded without error")
        try:
            vantrel.iter_prices_file(tmp)
        except ValueError:
            pass
    print("memcheck workload done")


if __name__ == "__main__":
    main()
