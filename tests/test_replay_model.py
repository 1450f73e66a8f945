"""Differential tests: vantrel's replay against the pure-Python model in helpers/reference_model.py.

Random stream files (seeded `random`) are written with adversarial but valid content; for each
file the snapshots that vantrel yields must export (`to_dict`) exactly what the model gives,
floats and key order included, and the objects vantrel reuses between consecutive snapshots
must be exactly those whose change counters did not move in the model.
"""

from __future__ import annotations

import dataclasses
import gzip
import json
import os
import random
from pathlib import Path

import pytest

import vantrel

from helpers.reference_model import load_messages, replay, replay_file

pytestmark = pytest.mark.filterwarnings(
    "ignore:datetime.datetime.utcfromtimestamp:DeprecationWarning"
)

DATA_DIR = Path(os.environ.get("VANTREL_DATA_DIR", "/work/shared/data"))

# ---------------------------------------------------------------------------------------------
# Exact comparison


def exact(value):
    """A form of a to_dict result that compares equal only when types, float bit patterns
    (so -0.0 differs from 0.0) and dict key order are the same."""
    return repr(value)


def first_difference(expected, actual, path="$"):
    """Path and the two values at the first place where the two trees differ."""
    if type(expected) is not type(actual):
        return path, expected, actual
    if isinstance(expected, dict):
        if list(expected) != list(actual):
            return path + " (keys)", list(expected), list(actual)
        for key in expected:
            found = first_difference(expected[key], actual[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(expected, list):
        if len(expected) != len(actual):
            return path + " (length)", expected, actual
        for i, (e, a) in enumerate(zip(expected, actual)):
            found = first_difference(e, a, f"{path}[{i}]")
            if found:
                return found
        return None
    if repr(expected) != repr(actual):
        return path, expected, actual
    return None


def assert_same_export(path, expected_dicts, actual_dicts):
    for index, (expected, actual) in enumerate(zip(expected_dicts, actual_dicts)):
        if exact(expected) != exact(actual):
            where, e, a = first_difference(expected, actual)
            pytest.fail(
                f"{path}: snapshot {index} differs at {where}: model {e!r}, vantrel {a!r}"
            )
    assert len(actual_dicts) == len(expected_dicts), (
        f"{path}: vantrel yielded {len(actual_dicts)} snapshots, model {len(expected_dicts)}"
    )


def check_identity(path, books, snapshots):
    """Reuse across consecutive snapshots matches the model's counters."""
    for index in range(1, len(books)):
        prev_book, book = books[index - 1], books[index]
        prev_model, model = snapshots[index - 1], snapshots[index]
        where = f"{path}: snapshot {index}"
        assert book is not prev_book and book.runners is not prev_book.runners, where

        same_definition = model.definition_generation == prev_model.definition_generation
        if book.market_definition is None:
            assert model.market_definition is None, where
        else:
            assert (book.market_definition is prev_book.market_definition) == same_definition, (
                f"{where}: market_definition identity, generation "
                f"{prev_model.definition_generation} -> {model.definition_generation}"
            )

        previous = {
            key: (stamp, runner)
            for key, stamp, runner in zip(prev_model.runner_keys, prev_model.runner_stamps, prev_book.runners)
        }
        for key, stamp, runner in zip(model.runner_keys, model.runner_stamps, book.runners):
            if key not in previous:
                continue
            old_stamp, old_runner = previous[key]
            same_cache = old_stamp.serial == stamp.serial
            same_runner = same_cache and old_stamp.change_counter == stamp.change_counter
            assert (runner is old_runner) == same_runner, (
                f"{where}: Runner {key} identity, counters {old_stamp} -> {stamp}"
            )
            assert (runner.ex is old_runner.ex) == same_runner, f"{where}: Runner {key} ex"
            for attr, counter in (
                ("available_to_back", "atb_counter"),
                ("available_to_lay", "atl_counter"),
                ("traded_volume", "trd_counter"),
            ):
                same_list = same_cache and getattr(old_stamp, counter) == getattr(stamp, counter)
                assert (getattr(runner.ex, attr) is getattr(old_runner.ex, attr)) == same_list, (
                    f"{where}: Runner {key} {attr} identity, counters {old_stamp} -> {stamp}"
                )


def replay_both(path):
    """Every snapshot of one file from vantrel and from the model, with the reuse rules checked."""
    messages = load_messages(path)
    snapshots = list(replay(messages))
    iterator = vantrel.iter_prices_file(path)
    assert len(iterator) == len(messages), f"{path}: kept messages"
    books = list(iterator)
    assert len(books) == len(snapshots), f"{path}: vantrel {len(books)} snapshots, model {len(snapshots)}"
    check_identity(path, books, snapshots)
    return books, snapshots


def check_file(path):
    """Replays one file on both sides: every snapshot's full export and the reuse rules."""
    path = str(path)
    books, snapshots = replay_both(path)
    assert_same_export(path, [s.to_dict() for s in snapshots], [b.to_dict() for b in books])
    return len(books)


def new_parts_exports(books, snapshots):
    """Per snapshot, the export of only what is new in it, from both sides.

    Long recordings repeat most of the state from one snapshot to the next, and exporting
    every snapshot whole costs minutes. Once `check_identity` has shown that vantrel reuses
    exactly the objects the model reuses, comparing each new object once covers everything:
    each snapshot is exported with its `runners` list cut down to the new `Runner` objects and
    with the price lists those share with the previous snapshot emptied for the moment (the
    export reads the lists as they are). Everything is put back afterwards.
    """
    previous_keys: dict = {}
    for book, snapshot in zip(books, snapshots):
        runners = list(book.runners)
        keep, views, emptied = [], [], []
        for key, stamp, runner, view in zip(snapshot.runner_keys, snapshot.runner_stamps, runners, snapshot.runners):
            old = previous_keys.get(key)
            if old is not None and old[0] == stamp.serial and old[1] == stamp.change_counter:
                continue  # the same Runner object as before
            replace = {}
            for attr, counter in (("available_to_back", 2), ("available_to_lay", 3), ("traded_volume", 4)):
                if old is not None and old[0] == stamp.serial and old[counter] == stamp[counter]:
                    shared = getattr(runner.ex, attr)
                    emptied.append((shared, list(shared)))
                    shared.clear()
                    replace[attr] = ()
            keep.append(runner)
            views.append(view._replace(**replace))
        previous_keys = {key: stamp for key, stamp in zip(snapshot.runner_keys, snapshot.runner_stamps)}
        book.runners[:] = keep
        try:
            actual = book.to_dict()
        finally:
            book.runners[:] = runners
            for shared, items in emptied:
                shared[:] = items
        yield dataclasses.replace(snapshot, runners=views).to_dict(), actual


def check_long_file(path):
    """check_file for long recordings: identity in full, exports of the new parts only."""
    path = str(path)
    books, snapshots = replay_both(path)
    for index, (expected, actual) in enumerate(new_parts_exports(books, snapshots)):
        if exact(expected) != exact(actual):
            where, e, a = first_difference(expected, actual)
            pytest.fail(f"{path}: snapshot {index} differs at {where}: model {e!r}, vantrel {a!r}")
    # The last snapshot whole, as a check of the cut-down exports.
    assert_same_export(path, [snapshots[-1].to_dict()], [books[-1].to_dict()])
    return len(books)


# ---------------------------------------------------------------------------------------------
# Writing JSON text by hand: duplicate keys and exact number literals


class Raw:
    """A JSON literal written exactly as given (for example "5.0", "1.5e3", "-0.0")."""

    def __init__(self, text):
        self.text = text


class Obj:
    """A JSON object written with its items in order, duplicates kept (the later one wins)."""

    def __init__(self, items):
        self.items = list(items)


def dumps(value, spaced=False, ascii_only=True):
    """JSON text of a value; `ascii_only` writes non-ASCII text as \\u escapes."""
    colon, comma = (": ", ", ") if spaced else (":", ",")
    if isinstance(value, Raw):
        return value.text
    if isinstance(value, Obj):
        items = value.items
    elif isinstance(value, dict):
        items = list(value.items())
    else:
        items = None
    if items is not None:
        inner = comma.join(
            json.dumps(k, ensure_ascii=ascii_only) + colon + dumps(v, spaced, ascii_only) for k, v in items
        )
        return "{" + inner + "}"
    if isinstance(value, (list, tuple)):
        return "[" + comma.join(dumps(v, spaced, ascii_only) for v in value) + "]"
    if isinstance(value, float):
        assert value == value and abs(value) != float("inf")
        return repr(value)
    return json.dumps(value, ensure_ascii=ascii_only)  # str, int, bool, None


# ---------------------------------------------------------------------------------------------
# Random stream files

VALID_TIMES = [
    "2024-05-01T13:00:00.000Z",
    "2024-05-01T13:00:00Z",
    "2023-12-31T23:59:59.5Z",
    "2024-02-29T00:00:00.123456Z",
]

STRINGS = ["", "x", "OPEN", "ACTIVE", "a\u00e9\u4e2d", "\U0001F40E", "tab\there", "q\"uote", "nul\u0000byte"]

# Numbers as literal text: integers and doubles of every form.
INTEGER_LITERALS = [
    "0", "1", "2", "5", "-1", "-7", "-0", "3", "10", "2147483647", "2147483648", "-2147483649",
    "4294967301",  # 2**32 + 5
    "9223372036854775807", "-9223372036854775808",
    "9223372036854775808",  # 2**63: unsigned, not an integer for the cache
    "18446744073709551615", "18446744073709551616", "-9223372036854775809",
]
DOUBLE_LITERALS = [
    "0.0", "-0.0", "2.0", "5.0", "1.5", "1.5e3", "1E2", "2.5e-3", "0.1", "1e308", "-1e308",
    "5e-324", "1.7976931348623157e308", "123456789.125", "3.3333333333333335", "1e16", "-12.75",
]
WRONG_TYPES = ['"x"', '""', '"5"', "true", "false", "null", "[]", "{}", "[1, 2]", '{"a": 1}']


class Gen:
    def __init__(self, rng: random.Random):
        self.r = rng
        self.spaced = rng.random() < 0.3
        self.ascii_only = rng.random() < 0.5
        # Prices 0.0 and -0.0 are different ladder levels that compare equal, so their read-out
        # order is not defined: a file uses one of the two, never both.
        self.neg_zero_price = rng.random() < 0.2
        # Ids that differ only after a NUL character are different markets.
        ids = ["1.100", "1.200", "1.300", "1.\u00e9", "x"] if rng.random() < 0.8 else ["1.1\u0000a", "1.1\u0000b", "1.1"]
        self.market_ids = rng.sample(ids, k=rng.randint(1, 3))
        self.selection_ids = rng.sample([1, 2, 3, 10, 47, 2**40, -5, 0], k=rng.randint(2, 6))
        self.pt = rng.randint(1, 1_800_000_000_000)

    def chance(self, p):
        return self.r.random() < p

    def pick(self, seq):
        return self.r.choice(seq)

    # -- values of one kind; `bad` is the chance of a wrong type --

    def wrong(self):
        return Raw(self.pick(WRONG_TYPES + DOUBLE_LITERALS[:4]))

    def integer(self, bad=0.25):
        if self.chance(bad):
            return self.pick([self.wrong(), Raw(self.pick(DOUBLE_LITERALS)), Raw(self.pick(INTEGER_LITERALS))])
        return self.pick([self.r.randint(-3, 20), Raw(self.pick(INTEGER_LITERALS))])

    def boolean(self, bad=0.2):
        if self.chance(bad):
            return self.pick([Raw("0"), Raw("1"), Raw('"true"'), Raw("null"), Raw("[]")])
        return self.chance(0.5)

    def string(self, bad=0.2, pool=STRINGS):
        if self.chance(bad):
            return self.pick([Raw("5"), Raw("5.0"), Raw("null"), Raw("true"), Raw("[]"), Raw('{"s": "x"}')])
        return self.pick(pool)

    def time(self):
        if self.chance(0.2):  # wrong types only: every present text must be a valid time
            return self.pick([Raw("0"), Raw("1714568400000"), Raw("null"), Raw("false"), Raw("[]")])
        return self.pick(VALID_TIMES)

    def number(self, bad=0.2):
        if self.chance(bad):
            return Raw(self.pick(WRONG_TYPES + ['"NaN"', '"2.5"']))
        return self.pick([
            Raw(self.pick(DOUBLE_LITERALS)), Raw(self.pick(INTEGER_LITERALS)),
            round(self.r.uniform(0, 1000), 2), self.r.randint(0, 50), 0, 2, 2.0,
        ])

    def sp(self):
        return self.pick([
            self.number(bad=0), Raw('"NaN"'), Raw('"Infinity"'), Raw('""'), Raw("null"), Raw("true"),
            Raw("[]"), Raw("{}"), Raw('"3.5"'), 3.5,
        ])

    def price(self):
        if self.chance(0.08):
            if self.neg_zero_price:
                return Raw("-0.0")
            return self.pick([Raw('"x"'), Raw("null"), Raw("0"), Raw("0.0"), Raw("[]"), Raw("true")])
        return self.pick([
            1.01, 1.5, 2, 2.0, Raw("2.0"), 3, 3.5, 4.2, 10, 1000, Raw("1.5e3"), Raw("1E3"),
            Raw("18446744073709551615"), Raw("-1.5"), 1.02, 1.03, 100,
        ])

    def size(self):
        return self.pick([
            0, Raw("0.0"), Raw("-0.0"), 5, 5.0, Raw("5.0"), 10.25, 12, 0.01, 99999.99, Raw("2.5e2"),
            Raw("null"), Raw('"x"'), Raw("18446744073709551616"), Raw("-3"), 7.5, 1,
        ])

    # How often a ladder change is wide: past the pairs the engine applies one by one, it merges
    # the rest in a pass of its own.
    wide_ladders = 0.0

    def ladder(self):
        if self.chance(0.08):
            return self.wrong()
        elements = []
        count = self.r.randint(33, 400) if self.chance(self.wide_ladders) else self.r.randint(0, 5)
        for _ in range(count):
            if self.chance(0.1):
                elements.append(self.pick([Raw("7"), [self.price()], Raw('"a"'), [], Raw("null"), Raw('{"p": 1}')]))
            elif self.chance(0.1):
                elements.append([self.price(), self.size(), self.pick([1, Raw('"extra"'), Raw("null")])])
            else:
                elements.append([self.price(), self.size()])
        return elements

    def handicap(self):
        return self.pick([
            0, 0.0, Raw("-0.0"), 0.5, -0.5, 0.125, -0.125, 0.001, 0.004, 0.005, 0.015, -0.015,
            2.675, 1, Raw("1.0"), -2.25, 1e300, -1e300, Raw("9223372036854775808"), Raw('"1"'),
            Raw("null"), Raw("true"), 0.2849999999999999, 1.005,
        ])

    def selection_id(self):
        if self.chance(0.1):
            return self.pick([Raw("10.0"), Raw('"10"'), Raw("null"), Raw("9223372036854775808"), Raw("true"), Raw("[]")])
        return self.pick(self.selection_ids)

    def obj(self, items, dup_p=0.1):
        """An object from (key, value-factory) items; sometimes with a duplicated key whose
        earlier or later value differs."""
        r = self.r
        out = [(k, make()) for k, make in items]
        r.shuffle(out)
        if out and r.random() < dup_p:
            for _ in range(r.randint(1, 2)):
                k, make = r.choice(items)
                out.insert(r.randint(0, len(out)), (k, make()))
        return Obj(out)

    def subset(self, table, p):
        return [(k, f) for k, f in table if self.chance(p)]

    # -- runner change, definition, market change --

    def runner_change(self):
        table = [
            ("hc", self.handicap),
            ("status", lambda: self.string(pool=["ACTIVE", "REMOVED", "WINNER", "LOSER", "active", "", "ACTIVE\u0000x"])),
            ("adjustmentFactor", self.number),
            ("ltp", self.number),
            ("tv", self.number),
            ("removalDate", lambda: self.string(pool=VALID_TIMES + ["soon", ""])),
            ("atb", self.ladder), ("atl", self.ladder), ("trd", self.ladder),
            ("spb", self.ladder), ("spl", self.ladder),
            ("spn", self.sp), ("spf", self.sp),
            ("bdatb", self.ladder), ("con", lambda: True),
        ]
        items = self.subset(table, 0.3)
        if not self.chance(0.05):
            items.append(("id", self.selection_id))
        return self.obj(items)

    def definition_runner(self):
        if self.chance(0.08):
            return Raw(self.pick(["7", "null", '"x"', "[]", "[1]"]))
        table = [
            ("hc", self.handicap),
            ("sortPriority", self.integer),
            ("status", lambda: self.string(pool=["ACTIVE", "REMOVED", "WINNER", "LOSER", "HIDDEN"])),
            ("adjustmentFactor", self.number),
            ("removalDate", lambda: self.string(pool=VALID_TIMES + ["whenever"])),
            ("name", self.string),
            ("bsp", lambda: self.pick([self.number(), Raw('"NaN"'), Raw("null"), 3.2])),
            ("ltp", self.number), ("atb", self.ladder), ("spn", self.sp),
        ]
        items = self.subset(table, 0.4)
        if not self.chance(0.07):
            items.append(("id", self.selection_id))
        return self.obj(items)

    def definition(self):
        if self.chance(0.08):
            return Raw(self.pick(["{}", "null", "5", "[]", '"def"']))
        s = self.string
        table = [
            ("status", lambda: s(pool=["OPEN", "SUSPENDED", "CLOSED", ""])),
            ("betDelay", self.integer), ("bspReconciled", self.boolean), ("complete", self.boolean),
            ("crossMatching", self.boolean), ("inPlay", self.boolean), ("runnersVoidable", self.boolean),
            ("numberOfWinners", self.integer),
            ("eventId", lambda: self.pick([s(), Raw("123"), "123"])), ("eventTypeId", s),
            ("eventName", s), ("marketType", s), ("marketTime", self.time), ("countryCode", s),
            ("venue", s), ("raceType", s), ("bspMarket", self.boolean),
            ("persistenceEnabled", self.boolean), ("eachWayDivisor", self.number), ("timezone", s),
            ("turnInPlayEnabled", self.boolean), ("bettingType", s), ("name", s),
            ("discountAllowed", self.boolean), ("marketBaseRate", self.number),
            ("regulators", lambda: self.pick([
                ["MR_INT"], ["A", Raw("1"), "B"], [], Raw('"A"'), Raw("null"), [Raw("null"), "", "\u00e9"],
            ])),
            ("openDate", self.time), ("suspendTime", self.time), ("settledTime", self.time),
            ("version", self.integer), ("numberOfActiveRunners", self.integer),
            ("keyLineDefinition", lambda: Raw('{"kl": []}')),
        ]
        items = self.subset(table, 0.35)
        if self.chance(0.75):
            runners = [self.definition_runner() for _ in range(self.r.randint(0, 5))]
            items.append(("runners", lambda: runners if not self.chance(0.05) else self.wrong()))
        return self.obj(items)

    def market_id(self):
        if self.chance(0.12):
            return self.pick([Raw('""'), Raw("1.1"), Raw("100"), Raw("null"), Raw("[]")])
        ids = self.market_ids
        return ids[0] if self.chance(0.7) else self.pick(ids)

    def change_items(self):
        table = [
            ("img", lambda: self.pick([True, True, False, Raw("1"), Raw('"true"'), Raw("null")])),
            ("marketDefinition", self.definition),
            ("status", lambda: self.string(pool=["OPEN", "SUSPENDED", "CLOSED"])),
            ("betDelay", self.integer), ("bspReconciled", self.boolean), ("complete", self.boolean),
            ("crossMatching", self.boolean), ("inPlay", self.boolean),
            ("runnersVoidable", self.boolean), ("tv", self.number), ("version", self.integer),
            ("lastMatchTime", self.integer), ("con", lambda: True),
        ]
        items = self.subset(table, 0.12)
        if self.chance(0.85):
            items.append(("rc", lambda: (
                [self.runner_change() for _ in range(self.r.randint(0, 4))]
                + ([Raw(self.pick(["7", "null", "[]", '"rc"']))] if self.chance(0.1) else [])
            ) if not self.chance(0.05) else self.wrong()))
        if not self.chance(0.1):
            items.append(("id", self.market_id))
        return items

    def market_change(self):
        if self.chance(0.05):
            return Raw(self.pick(["[1, 2]", "5", "null", '"mc"', "{}"]))
        return self.obj(self.change_items())

    # -- lines --

    def next_pt(self):
        self.pt += self.r.randint(0, 500)
        return self.pt

    def bad_pt(self):
        return Raw(self.pick([
            "0", "-5", '"123"', "1.5e3", "1714568400000.0", "9223372036854775808", "18446744073709551616",
            "null", "true", "[]", "-9223372036854775808",
        ]))

    def line(self):
        kind = self.r.random()
        if kind < 0.62:  # an ordinary message
            mc = [self.market_change() for _ in range(self.r.choice([0, 1, 1, 1, 2, 3]))]
            items = [("op", lambda: "mcm"), ("clk", lambda: "AAA"), ("pt", self.next_pt), ("mc", lambda: mc)]
            return self.obj(items, dup_p=0.03)
        if kind < 0.77:  # the line is itself one market change
            items = self.change_items()
            if not any(k in ("rc", "marketDefinition") for k, _ in items):
                items.append(("rc", lambda: [self.runner_change()]))
            items.append(("pt", self.next_pt))
            if self.chance(0.3):
                items.append(("mc", lambda: self.pick([Raw("5"), Raw("{}"), Raw("null"), Raw('"mc"')])))
            return self.obj(items, dup_p=0.0)
        if kind < 0.83:  # a duplicated key: the later value wins
            pt1, pt2 = self.next_pt(), self.bad_pt()
            mc = [self.market_change()]
            return Obj(self.pick([
                [("pt", pt2), ("mc", mc), ("pt", pt1)],
                [("pt", pt1), ("mc", mc), ("pt", pt2)],
                [("pt", pt1), ("mc", Raw("5")), ("mc", mc)],
                [("pt", pt1), ("mc", mc), ("mc", Raw("null"))],
            ]))
        if kind < 0.90:  # a bad publish time: skipped whatever it holds
            items = [("pt", self.bad_pt), ("mc", lambda: [self.market_change()])]
            if self.chance(0.3):
                items = [("pt", self.bad_pt), ("rc", lambda: [self.runner_change()]), ("id", self.market_id)]
            if self.chance(0.15):
                items = [("mc", lambda: [self.market_change()])]
            return self.obj(items, dup_p=0.0)
        if kind < 0.95:  # an object that carries no market change
            return self.pick([
                {"op": "heartbeat", "pt": self.next_pt()}, {"pt": self.next_pt(), "mc": Raw("{}")},
                {"pt": self.next_pt(), "mc": Raw("5"), "id": "1.100"}, {}, {"op": "status", "statusCode": "SUCCESS"},
            ])
        return Raw(self.pick(["[1, 2]", "5", "null", '"text"', "true", '[{"pt": 5, "mc": []}]', "-0.0"]))


def write_random_file(directory: Path, seed: int, wide_ladders: float = 0.0) -> Path:
    rng = random.Random(seed)
    gen = Gen(rng)
    gen.wide_ladders = wide_ladders
    lines = []
    for _ in range(rng.randint(1, 30)):
        text = dumps(gen.line(), gen.spaced, gen.ascii_only)
        if rng.random() < 0.1:
            text = rng.choice([" ", "\t", "\u00a0", "\u3000"]) + text + rng.choice([" ", "\t\t", "\u2028", ""])
        lines.append(text)
        if rng.random() < 0.05:
            lines.append(rng.choice(["", "   ", "\t", "\u00a0"]))
    newline = "\r\n" if rng.random() < 0.15 else "\n"
    data = newline.join(lines)
    if rng.random() < 0.7:
        data += newline
    raw = data.encode("utf-8")
    choice = rng.random()
    if choice < 0.15:
        path = directory / f"s{seed}.json.gz"
        path.write_bytes(gzip.compress(raw, mtime=0))
    elif choice < 0.2:
        path = directory / f"s{seed}.gzip"
        path.write_bytes(gzip.compress(raw, mtime=0))
    else:
        path = directory / f"s{seed}{rng.choice(['', '.json', '.txt', '.GZ', '.gz.txt'])}"
        path.write_bytes(raw)
    return path


# ---------------------------------------------------------------------------------------------
# Tests

N_RANDOM_FILES = int(os.environ.get("VANTREL_MODEL_FILES", "400"))
SEED = int(os.environ.get("VANTREL_MODEL_SEED", "20240501"))


def test_random_files_match_model(tmp_path):
    yielded = 0
    for i in range(N_RANDOM_FILES):
        path = write_random_file(tmp_path, SEED + i)
        yielded += check_file(path)
    assert yielded > N_RANDOM_FILES  # the generator produces files that replay something


def test_random_files_of_wide_ladder_changes_match_model(tmp_path):
    """Changes of dozens to hundreds of pairs, out of order, prices named again and again."""
    for i in range(N_RANDOM_FILES // 8):
        check_file(write_random_file(tmp_path, SEED + i, wide_ladders=0.3))


def _write(tmp_path, lines, name="f.txt"):
    path = tmp_path / name
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


def test_hand_written_cases_match_model(tmp_path):
    lines = [
        '{"pt": 1, "mc": [{"rc": [{"id": 1}]}]}',  # no cache yet: consumed without yielding
        '{"pt": 2, "mc": []}',
        '{"pt": 3, "mc": [{"id": "1.1", "rc": [{"id": 10, "atb": [[2, 5]], "hc": 0.5}]}]}',
        '{"pt": 4, "mc": [{"id": "1.2", "tv": 99, "rc": [{"id": 11}]}]}',  # another market: skipped
        '{"pt": 5, "mc": [{"tv": 12, "rc": [{"id": 10, "hc": 0.5, "atb": [[2.0, 5.0]], "atl": [[3, 1]]}]}]}',
        '{"pt": 6, "mc": [{"id": "1.1", "marketDefinition": {}, "rc": [{"id": 2, "hc": -0.5}]}]}',
        '{"pt": 7, "id": "1.1", "rc": [{"id": 10, "hc": 0.5, "spn": 3.5}], "mc": 5}',
        '{"pt": 8, "mc": [{"id": "1.1", "img": true, "rc": [{"id": 10, "hc": 0.5, "atb": [[2, 5]]}]}]}',
        '{"pt": 9, "mc": [{"betDelay": 4294967301, "version": 5.0, "lastMatchTime": 7}]}',
        '{"pt": 10, "mc": [{"id": "1.1", "marketDefinition": {"runners": [{"id": 5, "bsp": "NaN"}, 7, {"hc": 1}]}}]}',
    ]
    path = _write(tmp_path, lines)
    assert check_file(path) == 8
    snapshots = list(replay_file(str(path)))
    assert [s.publish_time for s in snapshots] == [3, 3, 5, 6, 7, 8, 9, 10]


@pytest.mark.parametrize("tail, kept", [(b"", 3), (b"\0" * 16, 3), (b"garbage", 3)])
def test_gzip_members_are_all_read(tmp_path, tail, kept):
    """Concatenated members are joined, a line may span two; other trailing bytes are ignored."""
    path = tmp_path / "three.json.gz"
    first = b'{"pt": 5, "mc": [{"id": "1.1", "rc": [{"id": 1, "ltp": 2}]}]}\n{"pt": 6, "mc": '
    second = b'[{"id": "1.1", "rc": [{"id": 1, "ltp": 3}]}]}\n'
    third = b'{"pt": 7, "mc": [{"id": "1.1", "rc": [{"id": 1, "ltp": 4}]}]}'
    members = [gzip.compress(m, mtime=0) for m in (first, second, third)]
    path.write_bytes(b"".join(members) + tail)
    assert check_file(path) == kept


def test_model_edge_cases(tmp_path):
    """The model itself agrees with the stream's rules on hand-picked cases."""
    from helpers.reference_model import PriceLadder, handicap_key, low32

    assert [handicap_key(h) for h in (0.125, -0.125, 0.001, 0.004, 0.5, -0.5)] == [13, -13, 0, 0, 50, -50]
    assert handicap_key(1e300) == 2**63 - 1 and handicap_key(-1e300) == -(2**63)
    assert low32(2**32 + 5) == 5
    ladder = PriceLadder(descending=True)
    assert ladder.update([[1.5, 10.0]]) and ladder.counter == 1
    assert not ladder.update([[1.5, 10.0]]) and ladder.counter == 1
    assert ladder.update([[3.0, 1], [2.0, 1]]) and ladder.to_price_sizes()[0] == (3.0, 1.0)
    assert not ladder.update([7, [1.5], "a"])
    path = _write(tmp_path, ['{"pt": 5, "id": "1.5", "rc": []}', '{"pt": 6, "mc": [{"id": "1.5"}]}'])
    assert [s.to_dict()["publishTime"] for s in replay_file(str(path))] == [5, 6]


@pytest.mark.skipif(not DATA_DIR.is_dir(), reason="recorded stream files not present")
@pytest.mark.parametrize(
    "name",
    sorted(p.name for p in DATA_DIR.iterdir() if p.is_file() and p.name != "README.md")
    if DATA_DIR.is_dir()
    else ["none"],
)
def test_recorded_files_match_model(name):
    assert check_long_file(DATA_DIR / name) > 0
