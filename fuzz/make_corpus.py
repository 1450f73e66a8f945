"""Writes seed inputs for the fuzz targets: stream-shaped lines, awkward JSON, and gzip files
with every header field, so the fuzzers start from inputs that reach deep code at once.

    python fuzz/make_corpus.py OUT_DIR    # creates OUT_DIR/{json,reader,replay,sources,tables}/
"""

import bz2
import gzip
import hashlib
import io
import json
import lzma
import random
import struct
import sys
import tarfile
import zipfile
import zlib
from pathlib import Path

MARKET = "1.234567"


def definition(runners, **extra):
    d = {
        "bspMarket": True,
        "turnInPlayEnabled": True,
        "persistenceEnabled": True,
        "marketBaseRate": 5.0,
        "eventId": "30512345",
        "eventTypeId": "7",
        "numberOfWinners": 1,
        "bettingType": "ODDS",
        "marketType": "WIN",
        "marketTime": "2021-03-04T15:30:00.000Z",
        "suspendTime": "2021-03-04T15:30:00.000Z",
        "bspReconciled": False,
        "complete": True,
        "inPlay": False,
        "crossMatching": True,
        "runnersVoidable": False,
        "numberOfActiveRunners": len(runners),
        "betDelay": 0,
        "status": "OPEN",
        "venue": "Kempton",
        "countryCode": "GB",
        "discountAllowed": True,
        "timezone": "Europe/London",
        "openDate": "2021-03-04T13:00:00.000Z",
        "version": 3456789012,
        "name": "2m Hcap Chs",
        "eventName": "Kemp 4th Mar",
        "regulators": ["MR_INT"],
        "eachWayDivisor": 4.0,
        "runners": [
            {
                "adjustmentFactor": 12.5,
                "status": "ACTIVE",
                "sortPriority": i + 1,
                "id": sid,
                "name": f"Horse {i}",
                "hc": 0.0 if i % 3 else -1.5,
            }
            for i, sid in enumerate(runners)
        ],
    }
    d.update(extra)
    return d


def stream_lines(rng, messages=12):
    runners = [rng.randrange(10_000, 40_000_000) for _ in range(4)]
    pt = 1614870000000
    lines = [
        {
            "op": "mcm",
            "clk": "AAA",
            "pt": pt,
            "mc": [{"id": MARKET, "img": True, "marketDefinition": definition(runners)}],
        }
    ]
    for n in range(messages):
        pt += rng.randrange(1, 5000)
        rc = []
        for sid in rng.sample(runners, rng.randrange(1, len(runners) + 1)):
            change = {"id": sid}
            for key in ("atb", "atl", "trd", "spb", "spl"):
                if rng.random() < 0.5:
                    change[key] = [
                        [round(rng.uniform(1.01, 50), 2), rng.choice([0, round(rng.uniform(0, 900), 2)])]
                        for _ in range(rng.randrange(1, 4))
                    ]
            if rng.random() < 0.3:
                change[rng.choice(["bdatb", "bdatl"])] = [
                    [level, round(rng.uniform(1.01, 50), 2), round(rng.uniform(0, 900), 2)]
                    for level in rng.sample(range(10), rng.randrange(1, 5))
                ]
            if rng.random() < 0.3:
                change["ltp"] = round(rng.uniform(1.01, 50), 2)
            if rng.random() < 0.2:
                change["tv"] = round(rng.uniform(0, 1e5), 2)
            if rng.random() < 0.1:
                change["spn"] = rng.choice([3.5, "NaN", None, "Infinity"])
            if rng.random() < 0.1:
                change["hc"] = rng.choice([0.25, -0.125, 1e300])
            rc.append(change)
        mc = {"id": MARKET, "rc": rc}
        if n % 5 == 4:
            mc["marketDefinition"] = definition(runners, status=rng.choice(["OPEN", "SUSPENDED"]), inPlay=True)
        if n % 7 == 6:
            mc["img"] = True
        if rng.random() < 0.2:
            mc["tv"] = 12345.5
        lines.append({"op": "mcm", "pt": pt, "mc": [mc]})
    lines.append({"op": "mcm", "pt": pt + 1, "mc": [{"id": "1.999", "rc": [{"id": 1, "atb": [[2, 2]]}]}]})
    lines.append({"pt": pt + 2, "id": MARKET, "rc": [{"id": runners[0], "atl": [[3, 1]]}]})
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


def gzip_member(data, *, name=None, comment=None, extra=None, hcrc=False, mtime=0):
    flags = 0
    header = bytearray(b"\x1f\x8b\x08\x00" + struct.pack("<I", mtime) + b"\x00\x03")
    if extra is not None:
        flags |= 4
        header += struct.pack("<H", len(extra)) + extra
    if name is not None:
        flags |= 8
        header += name + b"\x00"
    if comment is not None:
        flags |= 16
        header += comment + b"\x00"
    if hcrc:
        flags |= 2
    header[3] = flags
    if hcrc:
        header += struct.pack("<H", zlib.crc32(bytes(header)) & 0xFFFF)
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    return bytes(header) + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


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


def zstd_frame(data):
    """One zstd frame of raw blocks: the standard library has no zstd encoder, and a raw frame is
    still a frame the decoder has to walk."""
    out = bytearray(b"\x28\xb5\x2f\xfd")
    out += bytes([0xA0]) + struct.pack("<I", len(data))  # single segment, 4-byte content size
    blocks = [data[i : i + 65536] for i in range(0, len(data), 65536)] or [b""]
    for n, block in enumerate(blocks):
        last = 1 if n == len(blocks) - 1 else 0
        out += struct.pack("<I", (len(block) << 3) | last)[:3] + block
    return bytes(out)


def tar_bytes(members, fmt=tarfile.USTAR_FORMAT):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=fmt) as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            if data is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
    return buffer.getvalue()


def zip_bytes(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("2021/", b"")
        for name, data, method in members:
            archive.writestr(name, data, compress_type=method)
    return buffer.getvalue()


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


if __name__ == "__main__":
    main()
