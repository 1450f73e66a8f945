#!/usr/bin/env python3
"""Our bzip2 decoder against libbz2, and the package on bzip2 archives against Python's bz2.

    .venv/bin/python bench/bench_bzip2.py [--quick] [--repeat N]

Inputs, generated once into bench/data/bzip2/ (bzip2 level 9, as the exchange writes): single
market recordings in the exchange's layout from 100 KB to 30 MB of text (race markets shaped
as deep20, football as inplay2; 100 KB to 5 MB with --quick), and a plain tar of them as the
exchange ships its downloads.

  decoder   the core's codecs alone (bench/bzip2_decode.cpp, built into build/bench): CPU
            seconds of libbz2 and of our decoder side by side in one run, the best of
            --repeat turns each: at most 0.65x libbz2's, aim 0.4x
  archive   in a child process of its own each, by CPU seconds (the best of --repeat):
            vantrel.replay iterating every book, and vantrel.market_summaries, against
            decompressing every member with Python's bz2 module: at most 0.9x and 0.8x

Results: tables on screen and bench/out/bzip2.json.
"""

from __future__ import annotations

import argparse
import bz2
import json
import os
import subprocess
import sys
import tarfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import BENCH, DATA, REPO  # noqa: E402
from tools import recordings  # noqa: E402
from tools.recordings.archives import exchange_tar  # noqa: E402

SIZES = [("deep20", 100_000), ("inplay2", 1_000_000), ("deep20", 5_000_000),
         ("inplay2", 12_000_000), ("deep20", 30_000_000)]
QUICK = SIZES[:3]
DECODER_TARGET, DECODER_AIM = 0.65, 0.4
REPLAY_TARGET, SUMMARIES_TARGET = 0.9, 0.8

CHILD = {
    "bz2": "import bz2, tarfile\n"
           "with tarfile.open(PATH) as tar:\n"
           "    for m in tar:\n"
           "        if m.isfile(): bz2.decompress(tar.extractfile(m).read())\n",
    "replay": "import vantrel\n"
              "for book in vantrel.replay(PATH): pass\n",
    "market_summaries": "import vantrel\n"
                        "vantrel.market_summaries(PATH)\n",
}


def inputs(quick: bool) -> tuple[list[Path], Path]:
    folder = DATA / "bzip2"
    folder.mkdir(parents=True, exist_ok=True)
    files = []
    for n, (shape, size) in enumerate(QUICK if quick else SIZES):
        path = folder / f"1.{100 + n}.{shape}-{size // 1000}k.bz2"
        if not path.exists():
            text = "".join(recordings.iter_lines(shape, target_bytes=size, seed=n + 1,
                                                 market_id=f"1.{100 + n}")).encode()
            tmp = path.with_suffix(".tmp")
            tmp.write_bytes(bz2.compress(text, 9))
            tmp.rename(path)
        files.append(path)
    archive = folder / ("quick.tar" if quick else "full.tar")
    if not archive.exists():
        members = [(f"PRO/2024/May/1/3{n}/{p.name[:-4]}", bz2.decompress(p.read_bytes()))
                   for n, p in enumerate(files)]
        exchange_tar(archive.with_suffix(".tmp"), members)
        archive.with_suffix(".tmp").rename(archive)
    return files, archive


def build_driver() -> Path:
    build = REPO / "build" / "bench"  # as bench/README.md builds load_core
    env = dict(os.environ, PATH=f"{REPO / '.venv' / 'bin'}:{os.environ['PATH']}")
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DVANTREL_BENCH=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "bzip2_decode"], check=True,
                   env=env, stdout=subprocess.DEVNULL)
    return build / "bzip2_decode"


def mark(ratio: float, target: float) -> str:
    return "ok" if ratio <= target else "MISS"


def decoder_rows(driver: Path, files: list[Path], repeat: int) -> list[dict]:
    out = subprocess.run([str(driver), "--repeat", str(repeat), *map(str, files)], check=True,
                         capture_output=True, text=True).stdout
    rows = [json.loads(line) for line in out.splitlines()]
    print(f"\ndecoder alone, CPU seconds (best of {repeat}); target <= {DECODER_TARGET}x, "
          f"aim {DECODER_AIM}x")
    print(f"{'file':34} {'text MB':>8} {'libbz2':>8} {'ours':>8} {'ratio':>6}  {'MB/s':>6}")
    for row in rows:
        ratio = row["ours"] / row["libbz2"]
        row["ratio"] = ratio
        mbs = row["text"] / 1e6 / row["ours"]
        note = "" if row["same_size"] and not row["handed_to_libbz2"] else "  (differs!)"
        print(f"{Path(row['file']).name:34} {row['text'] / 1e6:8.2f} {row['libbz2']:8.3f} "
              f"{row['ours']:8.3f} {ratio:6.2f}  {mbs:6.1f} {mark(ratio, DECODER_TARGET)}{note}")
    total = sum(r["ours"] for r in rows) / sum(r["libbz2"] for r in rows)
    print(f"{'all':34} {'':8} {'':8} {'':8} {total:6.2f}")
    return rows


def child_cpu(work: str, archive: Path, repeat: int) -> float:
    code = (f"import time\nPATH = {str(archive)!r}\nstart = time.process_time()\n"
            f"{CHILD[work]}print(time.process_time() - start)\n")
    return min(float(subprocess.run([sys.executable, "-c", code], check=True,
                                    capture_output=True, text=True).stdout)
               for _ in range(repeat))


def archive_rows(archive: Path, repeat: int) -> dict:
    with tarfile.open(archive) as tar:
        members = sum(1 for m in tar if m.isfile())
    cpu = {work: child_cpu(work, archive, repeat) for work in CHILD}
    print(f"\n{archive.name}: {members} members, CPU seconds (best of {repeat}) against "
          f"Python's bz2 decompressing them")
    for work, target in (("replay", REPLAY_TARGET), ("market_summaries", SUMMARIES_TARGET)):
        ratio = cpu[work] / cpu["bz2"]
        print(f"  {work:18} {cpu[work]:8.3f}  bz2 {cpu['bz2']:8.3f}  {ratio:5.2f}x "
              f"(target <= {target}x) {mark(ratio, target)}")
    return cpu


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    files, archive = inputs(args.quick)
    driver = build_driver()
    results = {"decoder": decoder_rows(driver, files, args.repeat),
               "archive": archive_rows(archive, args.repeat)}
    out = BENCH / "out"
    out.mkdir(exist_ok=True)
    (out / "bzip2.json").write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
