#!/usr/bin/env python3
"""Mutation harness for the package's readers: damaged recordings and archives of every format
through `replay`, every table and `vantrel export`, in child processes held to time and memory
limits.

Each input is a generated recording or archive with a few mutations (flipped bits, bytes set,
a zeroed block, a cut, bytes inserted or removed, a spliced piece of another input), and now
and then an attack whose outcome is known: bytes appended after the data (junk, or zeros), or
a plain tar's member overwritten in place with a smaller member's bytes. For each, the harness
checks that:
- every run ends with books or a named error (`ReplayError`), never another exception, a crash,
  a hang or the memory limit;
- with `errors="skip"` no good member of an archive is lost: a member whose bytes the mutations
  left alone (and which can still be found) comes out whole, as it did before the damage;
- what passed a checksum (gzip, bzip2, xz, zstd, zip members) without any error reads exactly
  as before the damage, and junk appended after checksummed data is never read past without
  a word;
- a catalogue of the archive before an overwrite never reads the overwritten member, and names
  it;
- `vantrel export` (one job, and for a sample two) and `vantrel.dask` read what `replay` reads.

Every third input also gets an attack on one recording's text before it is packed: publish
times written as floats (which must read as before), a time that is no publish time or a
damaged line (which must fail that recording alone, naming its own line, the same way in
`replay` and every table), among blank lines and CR LF ends. Its replay is also shared by four
threads, which must hand out every book once and tell the others why they were refused.

    python fuzz/mutate.py --inputs 10000 --jobs 2      # the long run
    python fuzz/mutate.py --inputs 100 --seed 7        # a short one, as the tests run it

It prints the counts; a finding is printed with the input's seed, and `--keep DIR` keeps the
inputs that gave one. Exit status 1 when anything was found.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import io
import json
import multiprocessing
import os
import random
import re
import shutil
import sys
import tarfile
import tempfile
import threading
import time
import warnings
import zipfile
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT))

MEMORY_LIMIT = 3 << 30  # address space of a worker
INPUT_SECONDS = 60  # a whole input's checks, all runs together
EXPORT_TWO_JOBS_EVERY = 25  # seeds between runs of `export --jobs 2` on a tar
ATTACK_EVERY = 3  # seeds between attacks on a recording's text
CHECKSUMMED = ("gzip", "bzip2", "xz", "zstd")


# ---------------------------------------------------------------------------------------------
# Inputs


@dataclass
class Base:
    """A generated input before damage. `members` are (name, extent) for a plain tar or a zip:
    the byte range of the archive that holds the member, headers included; `index` the byte
    range of a zip's central directory and end record."""

    kind: str
    data: bytes
    members: list[tuple[str, tuple[int, int]]] = field(default_factory=list)
    index: tuple[int, int] | None = None


def _recording(rng: random.Random, market_id: str) -> bytes:
    from tools.recordings import iter_lines

    return "".join(iter_lines("sample", messages=rng.randint(5, 40), runners=rng.randint(2, 6),
                              seed=rng.randrange(1 << 30), market_id=market_id)).encode()


def _event_file(rng: random.Random) -> bytes:
    from tools.recordings.archives import event_text

    return event_text([_recording(rng, f"1.{rng.randrange(10**9)}") for _ in range(3)])


def _tar_extents(data: bytes) -> list[tuple[str, tuple[int, int]]]:
    out = []
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as tar:
        for info in tar:
            if info.isreg():
                end = info.offset_data + -(-info.size // 512) * 512
                out.append((info.name, (info.offset, end)))
    return out


def _zip_extents(data: bytes) -> tuple[list[tuple[str, tuple[int, int]]], tuple[int, int]]:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        infos = sorted(archive.infolist(), key=lambda i: i.header_offset)
        starts = [i.header_offset for i in infos]
        directory = archive.start_dir
    ends = starts[1:] + [directory]
    return [(i.filename, (s, e)) for i, s, e in zip(infos, starts, ends)], (directory, len(data))


def make_base(rng: random.Random) -> Base:
    from tools.recordings.archives import compress, tar_bytes, zip_bytes

    kind = rng.choice(["plain", "gzip", "bzip2", "zstd", "xz", "event", "tar", "tar", "tar",
                       "tar.gz", "tar.bz2", "zip"])
    if kind == "event":
        return Base(kind, compress(rng.choice(["plain", "gzip"]), _event_file(rng)))
    if kind in ("plain",) + CHECKSUMMED:
        return Base(kind, compress(kind, _recording(rng, f"1.{rng.randrange(10**9)}")))
    members = []
    for n in range(rng.randint(2, 6)):
        market_id = f"1.{rng.randrange(10**9)}"
        text = _recording(rng, market_id)
        # The exchange's layout: one bzip2 file per market; self-recorded archives hold gzip.
        packing = rng.choice(["bzip2", "bzip2", "gzip", "plain"])
        suffix = {"bzip2": ".bz2", "gzip": ".gz", "plain": ""}[packing]
        members.append((f"PRO/2024/Jan/{n}/{market_id}{suffix}", compress(packing, text)))
    if kind == "zip":
        method = rng.choice(["stored", "deflate", "bzip2", "lzma"])
        data = zip_bytes(members, method=method)
        extents, index = _zip_extents(data)
        return Base(f"zip-{method}", data, extents, index)
    if kind == "tar":
        data = tar_bytes(members)
        return Base(kind, data, _tar_extents(data))
    return Base(kind, tar_bytes(members, {"tar.gz": "gzip", "tar.bz2": "bzip2"}[kind]))


@dataclass
class Damage:
    data: bytes
    # Byte ranges of the original that were changed in place, and the first offset from which
    # the bytes moved (None when nothing moved).
    spans: list[tuple[int, int]]
    moved_from: int | None


def mutate(base: bytes, rng: random.Random, other: bytes) -> Damage:
    data = bytearray(base)
    spans: list[tuple[int, int]] = []
    moved_from: int | None = None

    def moved(at: int) -> None:
        nonlocal moved_from
        moved_from = at if moved_from is None else min(moved_from, at)

    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        if not data:
            break
        at = rng.randrange(len(data))
        op = rng.choice(["flip", "flip", "set", "zero-block", "cut", "insert", "remove", "splice"])
        if op == "flip":
            data[at] ^= 1 << rng.randrange(8)
            spans.append((at, at + 1))
        elif op == "set":
            n = rng.randint(1, 16)
            data[at:at + n] = bytes(rng.randrange(256) for _ in range(len(data[at:at + n])))
            spans.append((at, at + n))
        elif op == "zero-block":
            at -= at % 512
            data[at:at + 512] = bytes(len(data[at:at + 512]))
            spans.append((at, at + 512))
        elif op == "cut":
            del data[at:]
            moved(at)
        elif op == "insert":
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 700)))
            moved(at)
        elif op == "remove":
            del data[at:at + rng.randint(1, 700)]
            moved(at)
        else:
            start = rng.randrange(len(other))
            data[at:at + rng.randint(1, 2000)] = other[start:start + rng.randint(1, 2000)]
            moved(at)
    return Damage(bytes(data), spans, moved_from)


@dataclass
class Attack:
    """What an attack did: "junk" or "zeros" appended after the data, or "overwrite" of
    `member`'s data, in place, with another member's smaller stored bytes."""

    kind: str
    member: str | None = None


def attack(base: Base, damage: Damage, rng: random.Random) -> Attack | None:
    """Sometimes one more change, after the mutations or, half the time, in their place: what
    the mutations break would mostly hide what the attack did. A zip is left alone: bytes after
    its end record leave its directory unfound, by design."""
    roll = rng.random()
    overwrite = base.kind == "tar" and roll < 0.15
    if not overwrite and (base.kind.startswith("zip") or roll >= 0.3):
        return None
    if rng.random() < 0.5:
        damage.data, damage.spans, damage.moved_from = base.data, [], None
    if overwrite:
        return _overwrite(base, damage, rng)
    start = len(damage.data)
    if rng.random() < 0.3:
        tail = bytes(rng.randint(1, 4000))
    else:  # junk: a first byte that is not zero, so that it is never padding
        tail = bytes([rng.randrange(1, 256)] + [rng.randrange(256) for _ in range(rng.randint(0, 600))])
    damage.data = bytes(damage.data) + tail
    damage.spans.append((start, len(damage.data)))
    return Attack("zeros" if tail[0] == 0 else "junk")


def _overwrite(base: Base, damage: Damage, rng: random.Random) -> Attack | None:
    with tarfile.open(fileobj=io.BytesIO(base.data), mode="r:") as tar:
        files = sorted((info for info in tar if info.isreg()), key=lambda info: info.size)
    donor, target = files[0], files[-1]
    end = target.offset_data + target.size
    if donor.size >= target.size or end > len(damage.data):
        return None
    stream = base.data[donor.offset_data:donor.offset_data + donor.size]
    if rng.random() < 0.5:  # the rest of the member zeroed, rather than left as it was
        stream += bytes(target.size - donor.size)
    data = bytearray(damage.data)
    data[target.offset_data:target.offset_data + len(stream)] = stream
    damage.data = bytes(data)
    damage.spans.append((target.offset_data, end))
    return Attack("overwrite", target.name)


def good_members(base: Base, damage: Damage) -> list[str]:
    """Members of a plain tar or a zip that the damage left whole and findable."""

    def untouched(lo: int, hi: int) -> bool:
        if damage.moved_from is not None and damage.moved_from < hi:
            return False
        return all(e <= lo or s >= hi for s, e in damage.spans)

    if base.kind == "tar":
        return [name for name, (lo, hi) in base.members if untouched(lo, hi)]
    if base.kind.startswith("zip"):
        # Members are found through the directory at the end: damage there, or anything moved,
        # leaves none of them findable.
        if damage.moved_from is not None or not untouched(*base.index):
            return []
        return [name for name, (lo, hi) in base.members if untouched(lo, hi)]
    return []


# ---------------------------------------------------------------------------------------------
# Attacks on a recording's text, made before it is packed, so that what the package must make
# of them is known exactly


@dataclass
class TextAttack:
    """What was done to one recording: `line` is the line its error must name (None when it must
    read as before), `words` what that error must say, `member` the archive member it is (None
    for a lone file)."""

    name: str
    line: int | None
    words: str
    member: str | None = None


PT = re.compile(rb'"pt": ?(\d+)')
# Times a message may not carry ({n} is its own), and None for a message without one.
BAD_TIMES = ("0", "-1", "-0.0", "{n}.25", '"{n}"', "null", "[{n}]", "253402300800000", "1e300",
             "18446744073709551616", None)


def _float_time(n: bytes, rng: random.Random) -> bytes:
    """A whole number of milliseconds as a recorder writing floats has it."""
    return rng.choice([n + b".0", n[:1] + b"." + n[1:] + b"e" + str(len(n) - 1).encode(),
                       n + b"000E-3"])


def attack_text(text: bytes, rng: random.Random) -> tuple[bytes, TextAttack]:
    lines = text.splitlines()
    # Blank lines, which count as lines in an error as an editor counts them.
    for _ in range(rng.choice([0, 0, 1, 3])):
        lines.insert(rng.randrange(len(lines) + 1), rng.choice([b"", b"  ", b"\t"]))
    timed = [i for i, line in enumerate(lines) if PT.search(line)]
    at = rng.choice(timed)
    name = rng.choice(["float times", "bad time", "damaged line"])
    attack = TextAttack(name, at + 1, "")
    if name == "float times":
        attack.line = None
        every = rng.choice([1, 2, 5])
        for i in timed[::every]:
            lines[i] = PT.sub(lambda m: m[0][:-len(m[1])] + _float_time(m[1], rng), lines[i], count=1)
    elif name == "bad time":
        bad = rng.choice(BAD_TIMES)
        n = PT.search(lines[at])[1].decode()
        if bad is None:
            lines[at] = PT.sub(b'"no time": 0', lines[at], count=1)
            attack.words = 'message has no publish time ("pt")'
        else:
            literal = bad.replace("{n}", n).encode()
            lines[at] = PT.sub(lambda m: m[0][:-len(m[1])] + literal, lines[at], count=1)
            attack.words = "publish time "
    else:
        # Any proper prefix of an object is no JSON.
        lines[at] = lines[at][:rng.randrange(1, len(lines[at]))]
        attack.words = " at column "
    ends = rng.choice([b"\n", b"\n", b"\r\n"])
    return ends.join(lines) + ends, attack


def make_attacked(rng: random.Random) -> tuple[str, bytes, bytes, TextAttack]:
    """(kind, the input, the input with one recording attacked, the attack)."""
    from tools.recordings.archives import compress, tar_bytes, zip_bytes

    kind = rng.choice(["plain", "gzip", "bzip2", "zstd", "xz", "event", "tar", "zip"])
    if kind not in ("tar", "zip"):
        text = _event_file(rng) if kind == "event" else _recording(rng, f"1.{rng.randrange(10**9)}")
        packing = rng.choice(["plain", "gzip"]) if kind == "event" else kind
        attacked, attack = attack_text(text, rng)
        return kind, compress(packing, text), compress(packing, attacked), attack
    members = []
    for n in range(rng.randint(2, 4)):
        market_id = f"1.{rng.randrange(10**9)}"
        members.append((f"PRO/2024/Jan/{n}/{market_id}.bz2", _recording(rng, market_id)))
    target = rng.randrange(len(members))
    text, attack = attack_text(members[target][1], rng)
    attack.member = members[target][0]
    packed = [(name, compress("bzip2", data)) for name, data in members]
    changed = list(packed)
    changed[target] = (attack.member, compress("bzip2", text))
    if kind == "tar":
        return kind, tar_bytes(packed), tar_bytes(changed), attack
    method = rng.choice(["stored", "deflate"])
    return kind, zip_bytes(packed, method=method), zip_bytes(changed, method=method), attack


# The words a thread is refused with while another is inside the same replay.
SHARED_REFUSAL = ("this replay is being iterated by another thread; an iterator is not shared "
                  "between threads at once")


def _shared_by_threads(path: str) -> list[str]:
    """One replay shared by four threads: every book handed out once, and the others told why
    they were refused."""
    import vantrel

    def book_key(book: object) -> tuple:
        return (book.market_id, book.publish_time_epoch)  # type: ignore[attr-defined]

    alone = sorted(book_key(b) for b in vantrel.replay(path, errors="skip"))
    shared = vantrel.replay(path, errors="skip")
    taken: list[tuple] = []
    refusals: set[str] = set()
    failures: list[str] = []

    def take() -> None:
        while True:
            try:
                book = next(shared)
            except StopIteration:
                return
            except RuntimeError as exc:
                refusals.add(str(exc))
                time.sleep(0)
                continue
            except Exception as exc:
                failures.append(f"{type(exc).__name__}: {exc}")
                return
            taken.append(book_key(book))

    threads = [threading.Thread(target=take) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(INPUT_SECONDS)
    findings = [f"shared iterator raised {failure}" for failure in failures]
    if any(thread.is_alive() for thread in threads):
        findings.append("shared iterator: no result from its threads")
    elif sorted(taken) != alone:
        findings.append(f"shared iterator: four threads took {len(taken)} books, one {len(alone)}")
    findings += [f"shared iterator refused a thread with {text!r}" for text in refusals - {SHARED_REFUSAL}]
    return findings


def _verdict(read, path: str) -> tuple[str | None, str] | None:
    """The member and reason of the ReplayError that `read(path)` raised, None when it raised
    nothing; any other exception goes on to the caller."""
    import vantrel

    try:
        read(path)
    except vantrel.ReplayError as exc:
        return exc.member, exc.reason
    return None


def check_attack(path: str, kind: str, attack: TextAttack, expected: list[tuple]) -> list[str]:
    """The attacked input against `expected`, the rows of the input before the attack."""
    what = f"{attack.name} in {attack.member or f'the {kind} file'}"
    try:
        return _attack_findings(path, what, attack, expected)
    except Exception as exc:  # an error that names nothing is a finding of its own
        return [f"{what}: raised {type(exc).__name__}: {exc}"]


def _attack_findings(path: str, what: str, attack: TextAttack, expected: list[tuple]) -> list[str]:
    import vantrel

    findings = []
    if attack.line is None:
        rows, error, _ = _summaries(path, "raise")
        if error is not None or _comparable(rows or []) != expected:
            findings.append(f"silent change: {what} read as {error or 'other rows'}")
        return findings
    readers = {"replay": lambda p: sum(1 for _ in vantrel.replay(p)),
               "prices": vantrel.prices_table, "trades": vantrel.trades_table,
               "markets": vantrel.market_summaries, "runners": vantrel.runner_summaries}
    verdicts = {name: _verdict(read, path) for name, read in readers.items()}
    for name, verdict in verdicts.items():
        if verdict is None:
            findings.append(f"silent loss: {what} on line {attack.line} read by {name} without error")
        elif (verdict[0] != attack.member or not verdict[1].startswith(f"line {attack.line}: ")
              or attack.words not in verdict[1]):
            findings.append(f"misnamed: {what} on line {attack.line}: {name} said {verdict}")
    if len(set(verdicts.values())) > 1:
        findings.append(f"verdicts of replay and the tables disagree on {what}: {verdicts}")
    rows, error, skipped = _summaries(path, "skip")
    others = [row for row in expected if attack.member is not None and row[0] != attack.member]
    if error is not None or _comparable(rows or []) != others:
        findings.append(f"silent loss: skipping {what} lost the recordings around it")
    if len(skipped) != 1 or f"line {attack.line}: " not in skipped[0]:
        findings.append(f"misnamed: skipping {what} on line {attack.line} warned {skipped}")
    return findings


def run_attack(seed: int, folder: str) -> dict:
    rng = random.Random(seed ^ 0x0A77AC4)
    kind, clean, attacked, attack = make_attacked(rng)
    path = os.path.join(folder, f"{seed}-attack-{kind}")
    with open(path, "wb") as f:
        f.write(clean)
    expected = _expected(path)
    with open(path, "wb") as f:
        f.write(attacked)
    # what every reader makes of it, then what this attack asks
    members = [row[0] for row in expected if row[0] is not None]
    good = [m for m in dict.fromkeys(members) if attack.line is None or m != attack.member]
    findings = check_input(path, kind, expected if attack.line is None else
                           [row for row in expected if row[0] in good], good,
                           (1,) if kind == "tar" else (), kind == "tar")["findings"]
    findings += check_attack(path, kind, attack, expected)
    try:
        findings += _shared_by_threads(path)
    except Exception as exc:  # from the replay alone, before any thread
        findings.append(f"replay with errors='skip' raised {type(exc).__name__}: {exc}")
    if not findings:
        os.unlink(path)
    return {"findings": findings, "attack": attack.name, "attack path": path}


# ---------------------------------------------------------------------------------------------
# What a worker does with one input


def _limit_worker() -> None:
    import ctypes

    # AddressSanitizer reserves terabytes of address space for itself: no limit there.
    if not hasattr(ctypes.CDLL(None), "__asan_init"):
        try:
            import resource

            resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
        except (ImportError, ValueError, OSError):  # not where address space limits exist
            pass
    warnings.simplefilter("ignore")


def _member_of(source: str) -> str | None:
    head, sep, rest = source.partition(" (member ")
    return rest[:-1] if sep else None


def _summaries(path: str, errors: str) -> tuple[list[dict] | None, str | None, list[str]]:
    import vantrel

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            rows = vantrel.market_summaries(path, errors=errors).to_pylist()
        except vantrel.ReplayError as exc:
            return None, str(exc), [str(w.message) for w in caught]
    return rows, None, [str(w.message) for w in caught]


def _comparable(rows: list[dict]) -> list[tuple]:
    return [(_member_of(r["source"]), r["market_id"], r["books"], r["last_publish_time"],
             r["total_matched"], r["status"]) for r in rows]


def check_input(path: str, kind: str, expected: list[tuple], good: list[str],
                export_jobs: tuple[int, ...], dask: bool, attacked: Attack | None = None,
                catalogue: object = None) -> dict:
    """Runs everything on one input; returns what a finding needs and the counts. `catalogue`
    is the undamaged input's, for an overwrite."""
    import vantrel

    findings: list[str] = []
    outcome = {}
    # replay, the books: ends with books or a named error
    try:
        books = sum(1 for _ in vantrel.replay(path))
        outcome["replay"] = f"books {books}"
    except vantrel.ReplayError as exc:
        outcome["replay"] = f"error {exc.reason}"
    except Exception as exc:  # anything else is a finding
        findings.append(f"replay raised {type(exc).__name__}: {exc}")
    # every table with both policies
    for name, build in (("prices", lambda p, e: vantrel.prices_table(p, errors=e)),
                        ("trades", lambda p, e: vantrel.trades_table(p, errors=e)),
                        ("runners", lambda p, e: vantrel.runner_summaries(p, errors=e))):
        for errors in ("raise", "skip"):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    build(path, errors)
            except vantrel.ReplayError:
                if errors == "skip":
                    findings.append(f"{name} with errors='skip' raised")
            except Exception as exc:
                findings.append(f"{name} errors={errors!r} raised {type(exc).__name__}: {exc}")
    rows, error, skipped = None, None, []
    try:
        rows, error, skipped = _summaries(path, "skip")
        raise_rows, raise_error, _ = _summaries(path, "raise")
    except Exception as exc:
        findings.append(f"market_summaries raised {type(exc).__name__}: {exc}")
        return {"findings": findings, "outcome": outcome}
    if error is not None:
        findings.append(f"market_summaries with errors='skip' raised: {error}")
    got = _comparable(rows or [])
    # No good member lost
    for member in good:
        want = [row for row in expected if row[0] == member]
        have = [row for row in got if row[0] == member]
        if want != have:
            findings.append(f"silent loss: good member {member} gave {have}, not {want}")
    # What passed its checks without a word reads as before
    checksummed = kind in CHECKSUMMED + ("tar.gz", "tar.bz2")
    if raise_error is None and not skipped and checksummed:
        if got != expected:
            findings.append("silent change: a checksummed input read without error differs")
        if attacked is not None and attacked.kind == "junk":
            findings.append("silent pass: junk appended after checksummed data read without a word")
    if attacked is not None and attacked.kind == "overwrite":
        findings.extend(_check_overwrite(path, attacked.member, catalogue))
    # export and dask read what replay reads
    for jobs in export_jobs:
        findings.extend(_check_export(path, jobs, got))
    if dask:
        findings.extend(_check_dask(path, got))
    return {"findings": findings, "outcome": outcome}


def _check_overwrite(path: str, member: str | None, catalogue: object) -> list[str]:
    """The catalogue made before `member` was overwritten must not read it, and must say so."""
    import vantrel

    source = f"{path} (member {member})"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            rows = vantrel.market_summaries(catalogue, errors="skip").to_pylist()
        except Exception as exc:
            return [f"catalogue with errors='skip' raised {type(exc).__name__}: {exc}"]
    findings = []
    if any(row["source"] == source for row in rows):
        findings.append(f"silent change: the catalogue read {member}, overwritten in place")
    if not any(source in str(w.message) for w in caught):
        findings.append(f"silent pass: the catalogue said nothing of {member}, overwritten")
    return findings


def _check_export(path: str, jobs: int, expected: list[tuple]) -> list[str]:
    import pyarrow.parquet as pq

    from vantrel import cli

    with tempfile.TemporaryDirectory(prefix="mutate-export-") as tmp:
        out = os.path.join(tmp, "markets.parquet")
        stderr = io.StringIO()
        try:
            from contextlib import redirect_stderr

            with redirect_stderr(stderr):
                status = cli.main(["export", path, "-o", out, "--table", "markets",
                                   "--errors", "skip", "--jobs", str(jobs)])
        except SystemExit as exc:
            status = exc.code
        except Exception as exc:
            return [f"export --jobs {jobs} raised {type(exc).__name__}: {exc}"]
        if status not in (0, None):
            return [f"export --jobs {jobs} --errors skip failed ({status}): "
                    f"{stderr.getvalue().strip()[-300:]}"]
        rows = _comparable(pq.read_table(out).to_pylist()) if os.path.exists(out) else []
    if rows != expected:
        return [f"export --jobs {jobs} read {len(rows)} markets, replay {len(expected)}"]
    return []


def _check_dask(path: str, expected: list[tuple]) -> list[str]:
    try:
        import vantrel.dask as vdask
    except ImportError:
        return []
    try:
        frame = vdask.market_summaries(path, errors="skip").compute(scheduler="synchronous")
    except Exception as exc:
        return [f"dask raised {type(exc).__name__}: {exc}"]
    rows = frame.to_dict("records")
    for row in rows:
        for key, value in row.items():
            if value is not None and type(value).__module__.startswith(("pandas", "numpy")):
                row[key] = None if str(value) in ("<NA>", "NaT", "nan") else value
    got = [(_member_of(r["source"]), r["market_id"], int(r["books"])) for r in rows]
    want = [row[:3] for row in expected]
    if got != want:
        return [f"dask read {len(got)} markets, replay {len(want)}"]
    return []


# ---------------------------------------------------------------------------------------------
# The run


def _expected(path: str) -> list[tuple]:
    rows, error, skipped = _summaries(path, "raise")
    if error is not None or skipped:
        raise RuntimeError(f"the undamaged input does not read: {error}")
    return _comparable(rows)


def run_seed(seed: int, folder: str) -> dict:
    """Makes the input of `seed`, damages it and checks it, all in the worker: what the parent
    gets back is the outcome. The damaged input is left in `folder` when it gave a finding."""
    rng = random.Random(seed)
    base = make_base(rng)
    other = make_base(random.Random(seed ^ 0x5A5A5A5A)).data
    path = os.path.join(folder, f"{seed}-{base.kind}")
    with open(path, "wb") as f:
        f.write(base.data)
    expected = _expected(path)
    damage = mutate(base.data, rng, other)
    attacked = attack(base, damage, rng)
    catalogue = None
    if attacked is not None and attacked.kind == "overwrite":
        import vantrel

        catalogue = vantrel.catalogue(path)
    with open(path, "wb") as f:
        f.write(damage.data)
    good = good_members(base, damage)
    tar = base.kind == "tar"
    export_jobs = ((1, 2) if seed % EXPORT_TWO_JOBS_EVERY == 0 else (1,)) if tar else ()
    # A file whose first bytes no longer name its format is no longer held to that format's
    # checksums (a file damaged into zeros alone is an empty tar, as tar itself reads it).
    still = base.kind if damage.data[:6] == base.data[:6] else "unknown"
    result = check_input(path, still, expected, good, export_jobs, tar, attacked, catalogue)
    if not result["findings"]:
        os.unlink(path)
    outcome = {**result, "seed": seed, "kind": base.kind, "good": len(good),
               "damage attack": attacked.kind if attacked else None,
               "export runs": len(export_jobs), "dask runs": int(tar), "path": path}
    if seed % ATTACK_EVERY == 0:
        text_attack = run_attack(seed, folder)
        outcome["findings"] = outcome["findings"] + text_attack.pop("findings")
        outcome.update(text_attack)
    return outcome


CATEGORIES = (("silent loss", "silent losses"), ("silent change", "silent changes"),
              ("silent pass", "silent passes"), ("misnamed", "misnamed errors"),
              ("export", "disagreements"), ("dask", "disagreements"),
              ("verdicts", "disagreements"), ("shared iterator", "shared iterator faults"),
              ("no result", "hangs"),
              ("died", "crashes"))
FINDINGS = ("unnamed errors",) + tuple(dict.fromkeys(c for _, c in CATEGORIES))


def _category(finding: str) -> str:
    return next((category for key, category in CATEGORIES if key in finding), "unnamed errors")


def _pool(workers: int) -> cf.ProcessPoolExecutor:
    context = multiprocessing.get_context("spawn")
    return cf.ProcessPoolExecutor(workers, mp_context=context, initializer=_limit_worker)


def _lost(seed: int, finding: str) -> dict:
    return {"seed": seed, "kind": "?", "good": 0, "export runs": 0, "dask runs": 0,
            "path": None, "findings": [finding]}


def _alone(seed: int, folder: str) -> dict:
    """An input that was in flight when a worker died, run again in a pool of its own, so that
    the one that brings a worker down is the one named."""
    pool = _pool(1)
    try:
        return pool.submit(run_seed, seed, folder).result(timeout=INPUT_SECONDS)
    except cf.TimeoutError:
        for child in multiprocessing.active_children():
            child.terminate()
        return _lost(seed, f"no result within {INPUT_SECONDS} s")
    except cf.process.BrokenProcessPool:
        return _lost(seed, "the worker died")
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _outcomes(seeds: list[int], jobs: int, folder: str) -> Iterator[dict]:
    """Every seed's outcome, from one pool of workers kept for the whole run (starting workers
    costs more than most inputs); a few inputs ahead per worker, each held to a time limit."""
    pool = _pool(jobs)
    flight: dict[cf.Future, tuple[int, float]] = {}
    queue = list(reversed(seeds))
    try:
        while queue or flight:
            while queue and len(flight) < 4 * jobs:
                seed = queue.pop()
                flight[pool.submit(run_seed, seed, folder)] = (seed, time.monotonic())
            done, _ = cf.wait(flight, timeout=1, return_when=cf.FIRST_COMPLETED)
            suspects = []
            for future in done:
                seed, _ = flight.pop(future)
                try:
                    yield future.result()
                except cf.process.BrokenProcessPool:
                    suspects.append(seed)
            # A worker queues a few inputs, so one in flight may wait for others: a limit of
            # twice an input's time before the whole flight is suspected of hanging.
            late = any(time.monotonic() - t > 2 * INPUT_SECONDS for _, t in flight.values())
            if suspects or late:
                for child in multiprocessing.active_children():
                    child.terminate()
                pool.shutdown(wait=True, cancel_futures=True)
                suspects += [seed for seed, _ in flight.values()]
                flight.clear()
                for seed in suspects:
                    yield _alone(seed, folder)
                pool = _pool(jobs)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def run(inputs: int, seed: int, jobs: int, keep: str | None, quiet: bool = False) -> Counter:
    counts: Counter = Counter()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="mutate-") as folder:
        for outcome in _outcomes(list(range(seed, seed + inputs)), jobs, folder):
            counts["inputs"] += 1
            counts[f"kind {outcome['kind']}"] += 1
            counts["good members checked"] += outcome["good"]
            counts["export runs"] += outcome["export runs"]
            counts["dask runs"] += outcome["dask runs"]
            if "attack" in outcome:
                counts[f"attack {outcome['attack']}"] += 1
            if outcome.get("damage attack"):
                counts[f"attack {outcome['damage attack']}"] += 1
            for finding in outcome["findings"]:
                counts[_category(finding)] += 1
                if not quiet:
                    print(f"seed {outcome['seed']} ({outcome['kind']}): {finding}", flush=True)
            for kept in (outcome["path"], outcome.get("attack path")):
                if keep and outcome["findings"] and kept and os.path.exists(kept):
                    os.makedirs(keep, exist_ok=True)
                    shutil.copy(kept, keep)
            counts["clean"] += not outcome["findings"]
    counts["seconds"] = round(time.monotonic() - started)
    return counts


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inputs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--keep", metavar="DIR", help="keep the inputs that gave a finding")
    args = parser.parse_args(argv)
    counts = run(args.inputs, args.seed, args.jobs, args.keep)
    print(json.dumps(dict(sorted(counts.items())), indent=1))
    return 1 if any(counts[k] for k in FINDINGS) else 0


if __name__ == "__main__":
    sys.exit(main())
