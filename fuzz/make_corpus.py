"""Writes seed inputs for the fuzz targets: recordings from the project's generator with awkward
additions, awkward JSON, and gzip files with every header field, so the fuzzers start from
inputs that reach deep code at once.

    python fuzz/make_corpus.py OUT_DIR    # creates OUT_DIR/{json,reader,replay,sources,tables,bzip2}/
"""

import bz2
import gzip
import hashlib
import json
import lzma
import random
import sys
import tarfile
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tools import recordings  # noqa: E402
from tools.recordings import archives  # noqa: E402
from tools.recordings.archives import gzip_member, zstd_frame  # noqa: E402

MARKET = "1.234567"
# Handicaps a recording may carry: ordinary ones, and one past what any ladder holds.
ODD_HANDICAPS = (0.25, -0.125, 1e300)


def stream_lines(rng, messages=12):
    """A small market's recording from the generator (full and best-offers ladders, traded
    volume, starting prices and their ladders, handicaps, definitions going in play), with what
    a reader must also survive added: odd handicaps, null and string starting prices, images
    in mid-stream, a market seen only in deltas, a message without "op" and a heartbeat."""
    shape = recordings.Shape(
        name="fuzz", runners=4, messages=messages + 1, whole_life=True, depth=(2, 4),
        touch=(1, 4), levels=(1, 3), ladders=rng.choice(["full", "mixed"]), sp=0.4,
        handicaps=(0.0, -1.5, 0.0, 0.0), off_at=0.5, market_ms=1614871800000,
        start_ms=1614870000000, step_ms=2500, jitter_ms=2000)
    lines = recordings.messages(shape, seed=rng.randrange(1 << 30), market_id=MARKET)
    lines[0]["mc"][0]["marketDefinition"]["eachWayDivisor"] = 4.0
    for n, line in enumerate(lines[1:], 1):
        mc = line["mc"][0]
        for change in mc.get("rc", []):
            if rng.random() < 0.1:
                change["hc"] = rng.choice(ODD_HANDICAPS)
            if rng.random() < 0.1:
                change["spn"] = rng.choice([3.5, "NaN", None, "Infinity"])
        if n % 7 == 6:
            mc["img"] = True
        if rng.random() < 0.2:
            mc["tv"] = 12345.5
        if rng.random() < 0.3:
            del line["clk"]
    pt = lines[-1]["pt"]
    lines.append({"op": "mcm", "pt": pt + 1, "mc": [{"id": "1.999", "rc": [{"id": 1, "atb": [[2, 2]]}]}]})
    runner = lines[0]["mc"][0]["rc"][0]["id"]
    lines.append({"pt": pt + 2, "id": MARKET, "rc": [{"id": runner, "atl": [[3, 1]]}]})
    lines.append({"op": "heartbeat", "pt": pt + 3})
    return [json.dumps(line, separators=(",", ":")) for line in lines]


JSON_SEEDS = [
    "{}",
    "[]",
    "null",
    "true",
    "false",
    '{"a":1,"a":2}',
    '{"k1":1,"k2":[1,2],"k1":{"x":null},"k3":"v"}',
    '{"abcdefg":1,"abcdef":2,"abcdefg":3}',
    "[1.5,10]",
    "[[1.01,2.5],[1000,16777215],[262143,0.001],[0.5,-1]]",
    "[-0,-0.0,0e0,1E+2,1e-2,9007199254740993,18446744073709551615,18446744073709551616]",
    "[-9223372036854775808,-9223372036854775809,123456789012345678901234567890]",
    "[1e308,1.7976931348623157e308,4.9e-324,2.2250738585072011e-308,1e-400,0.1e1]",
    '"\\u00e9\\ud83d\\ude00\\u0000\\/\\b\\f\\n\\r\\t\\"\\\\"',
    '"short"',
    '"a string that is longer than six bytes"',
    '"\u00e9t\u00e9 \u2603"',
    " \t\r\n{ \"a\" : [ 1 , 2 ] } \t",
    # Where the fast path hands over: pairs it cannot fold straight, triples, long numbers.
    "[[262144,1],[1,16777216],[1.2345,2],[01,2],[1, 2],[1 ,2],[1,2 ],[-1,2],[1,2,3],[1.5e1,2]]",
    "[1.2610804758204543,-28.010417654532947,1234567890123456789,12345678901234567890,0.1234567]",
    # Flat arrays of short numbers, read in one loop: every length, the fold's limits, the
    # longest short number, separators with and without a space, and where the loop stops.
    '{"bdatb":[[0,1.5,20.3],[1,1.49,5]],"bdatl":[[9,1000,0]],"x":[[],[7],[1,2,3,4,5]]}',
    '{"bdatb": [[0, 1.5, 20.3], [1, 1.49, 5]], "atb": [[2621.43, 9999999], [2621.44, 0.001]]}',
    "[[1234567,1.23456],[12345678,1],[123456.7,1],[1.0001,2],[0.5,0],[0,0.0]]",
    "[[1,2,-3],[1,2,3e0],[1,2,03],[1,2,3.],[1,  2,3],[1,\t2],[1 ,2],[1,2 ],[1,2,[3]],[1,2,null]]",
    '{"a":[1,2},"b":1}',
    '{"a":[1,2,3},"b":1}',
    "[1,\x01" "2]",
    "[1,2,",
    '{"marketType":1,"marketTime":2,"marketType":3}',
    "[" * 126 + "[1.5,2]" + "]" * 126,
    "[" * 127 + "[1.5,2]" + "]" * 127,
    "[" * 127 + "]" * 127,
    "[" * 128 + "]" * 128,
    '{"a":' * 126 + "1" + "}" * 126,
    # Rejections, one of each kind.
    "[1,]",
    '{"a":1,}',
    "[1 2]",
    '{"a" 1}',
    "{1:2}",
    "nul",
    "nux",
    "01",
    "1.",
    "1e",
    "-",
    "1e400",
    '"\\ud800"',
    '"\\udc00"',
    '"\\ud800\\u0041"',
    '"\\x"',
    '"\\u12"',
    '"a\x01b"',
    "{} x",
    "",
]


def reader_seeds(rng):
    text = "\n".join(stream_lines(rng, 4)).encode() + b"\n"
    plain = [
        text,
        b"a\r\nb\n\n  \t\n c \nlast",
        "\u00a0x\u3000\n\u2028y\u205f\n\u0085\n\ufeff{}\n".encode(),
        b"ok\n\xff\nnever\n",
        b"ok\n\xe2\x82\n",
        b"\xed\xa0\x80\n",
        b"\xf4\x90\x80\x80\n",
        b"\xc0\xaf\n",
        b"x" * 3000 + b"\n" + b"y" * 500,
    ]
    compressed = [
        gzip_member(text),
        gzip_member(text, name=b"stream.json", comment=b"recorded", extra=b"AB\x02\x00xy", hcrc=True),
        gzip_member(b"first\n") + gzip_member(b"second\n"),
        gzip_member(b"line\n") + b"\x00" * 16,
        gzip_member(b"z" * (3 << 19)),  # one line longer than the reader's window
        gzip_member(b"{}\n" * 100_000),
        gzip.compress(b""),
        gzip_member(text)[:-3],
        b"\x1f\x8b\x08\xe0" + b"\x00" * 6,
        b"not gzip at all\n",
    ]
    seeds = [bytes([0]) + s for s in plain]
    seeds += [bytes([6]) + s for s in plain[:3]]  # behind the near-window padding
    seeds += [bytes([1]) + s for s in compressed]
    seeds += [bytes([1 | (2 << 3)]) + compressed[0], bytes([2 << 3]) + plain[0]]
    return seeds


def tar_bytes(members, fmt=tarfile.USTAR_FORMAT):
    return archives.tar_bytes(members, tar_format=fmt)


def zip_bytes(members):
    return archives.zip_bytes([("2021/", b"")] + list(members), method="stored")


def sources_seeds(rng):
    text = "\n".join(stream_lines(rng, 3)).encode() + b"\n"
    small = b'{"op":"mcm","pt":1}\n'
    members = [
        ("PRO/2021/Mar/4/30512345/1.1.bz2", bz2.compress(small)),
        ("PRO/2021/Mar/4/30512345/1.2", small),
        ("PRO/2021/Mar/4/30512345/1.3.xz", lzma.compress(small)),
        ("PRO/2021/Mar/4/30512345/1.4.zst", zstd_frame(small)),
        ("PRO/2021/Mar/4/30512345/1.5.gz", gzip_member(small)),
    ]
    plain_tar = tar_bytes([("PRO/2021/", None)] + members)
    long_tar = tar_bytes([("x" * 150 + "/1.6", small)], tarfile.GNU_FORMAT)
    pax_tar = tar_bytes([("\u00e9" * 120 + "/1.7", small)], tarfile.PAX_FORMAT)
    return [
        text,
        bz2.compress(text),
        bz2.compress(text[:50]) + bz2.compress(text[50:]),
        lzma.compress(text),
        lzma.compress(text[:50]) + lzma.compress(text[50:]),
        zstd_frame(text[:50]) + zstd_frame(text[50:]),
        gzip_member(text),
        plain_tar,
        long_tar,
        pax_tar,
        gzip_member(plain_tar),
        bz2.compress(plain_tar),
        lzma.compress(long_tar),
        zstd_frame(pax_tar),
        tar_bytes([]),
        tar_bytes([("inner.tar", plain_tar[:2048])]),
        zip_bytes(
            [
                ("stored", small, zipfile.ZIP_STORED),
                ("deflated", text, zipfile.ZIP_DEFLATED),
                ("bzip2", small, zipfile.ZIP_BZIP2),
                ("lzma", small, zipfile.ZIP_LZMA),
                ("1.8.bz2", bz2.compress(small), zipfile.ZIP_STORED),
            ]
        ),
        zip_bytes([]),
    ]


def bzip2_seeds(rng):
    """Streams as they are (mode byte 0, pieces of every size) and text for the target to
    compress and damage (mode byte 1 with a level), from recordings and awkward runs."""
    text = "\n".join(stream_lines(rng, 6)).encode() + b"\n"
    runs = b"a" * 300 + b"b" * 4 + b"c" * 5 + b"d" * 259 + b"e"
    streams = [
        bz2.compress(text, 1),
        bz2.compress(text, 9) + bz2.compress(b"", 9) + bz2.compress(runs, 3),
        bz2.compress(runs, 1),
        bz2.compress(b"x"),
        bz2.compress(b""),
        bz2.compress(text, 9)[:-7],
        bz2.compress(text, 1) + b"trailing",
    ]
    seeds = [bytes([(n % 4) << 4 | (n % 3) << 6]) + s for n, s in enumerate(streams)]
    for level, body in ((1, text), (7, runs), (2, text[:200] + runs)):
        seeds.append(bytes([1 | level << 1]) + rng.randrange(1 << 32).to_bytes(4, "little") + body)
    return seeds


def write_dir(directory, seeds):
    directory.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        data = seed.encode() if isinstance(seed, str) else seed
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    out = Path(sys.argv[1])
    rng = random.Random(20240601)
    replay = ["\n".join(stream_lines(rng, rng.randrange(2, 20))) for _ in range(12)]
    replay.append("\n".join(stream_lines(rng, 3)[:2] + ["{bad json"]))
    write_dir(out / "json", JSON_SEEDS + [line for text in replay[:3] for line in text.split("\n")])
    write_dir(out / "reader", reader_seeds(rng))
    write_dir(out / "replay", replay)
    write_dir(out / "tables", replay)
    write_dir(out / "sources", sources_seeds(rng))
    write_dir(out / "bzip2", bzip2_seeds(rng))


if __name__ == "__main__":
    main()
